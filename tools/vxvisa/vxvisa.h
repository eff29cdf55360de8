// vxvisa: the project's own VISA library, a test fixture (not part of the
// product). It exports the VISA functions the product calls, with
// the VISA standard's signatures, and serves the resources of a table:
//
//   <name> tcp <IPv4>          reads and writes go to <IPv4>, TCP port 18;
//                              a read is one receive, VI_SUCCESS (or
//                              VI_SUCCESS_MAX_CNT when it fills the count)
//   <name> idn <text>          answers a write that starts "*IDN?" with
//                              <text> and a line feed, read with VI_SUCCESS
//                              (VI_SUCCESS_MAX_CNT when cut by the count)
//   <name> script <step>...    r:<status>:<n> and w:<status>:<n> steps give
//                              each viRead / viWrite its status and byte
//                              count, in order, the last one repeating; <n>
//                              is a number or "all" (the count asked)
//   <name> openfail <status>   viOpen fails with <status>
//   rmfail <status>            viOpenDefaultRM fails with <status>
//
// <status> is ok, term, max, tmo, warn or a decimal number. Names of the form
// "TCPIP0::<IPv4>::18::SOCKET" open as tcp without a table line. viFindRsrc
// searches the table's names. The table is read from the file that the
// environment variable VXVISA_TABLE names, at every viOpenDefaultRM, unless
// a program that links the fixture in sets it with vxvisa_set_table.
// VXVISA_FAIL="<k>:<status>[:<tag>]" makes the k-th call of the nine
// functions, counted from the first that saw this value, return <status>
// (a decimal number) and do nothing else. viClose of a session ends the
// calls blocked on it, as in any VISA library: a tcp read or write under way
// returns VI_ERROR_CONN_LOST. When VXVISA_MARKER names a file, loading the
// library writes it. viAssertTrigger (default protocol only) and
// viGpibControlREN (modes 0 to 6) are kept per device session; viReadSTB
// reports them as the triggers seen times 8 plus the last REN mode (7 while
// none was set). viLock (exclusive only) and viUnlock keep one lock per
// resource name across the process's sessions; viClose gives it back.
// "SRQ" written to any device (not passed on) is a service request: RQS
// (64) joins the next viReadSTB's status byte, and VI_EVENT_SERVICE_REQ is
// queued (at most 50) while viEnableEvent has it on with VI_QUEUE;
// viWaitOnEvent hands each out as an event context, viDisableEvent and
// viDiscardEvents work as in VISA. Handlers are not served.
#ifndef VXVISA_H
#define VXVISA_H

#include <string>

#include "transport/visa/visa_types.h"

// In-process use only (unit tests): the table as text, replacing the file.
void vxvisa_set_table(const std::string& text);
// Calls of each function so far (viRead, viWrite, viOpen, ...) by name.
int vxvisa_calls(const char* function);
// Sessions open now (resource managers, find lists and devices).
int vxvisa_open_sessions();
// Forgets every session, as unloading the library would.
void vxvisa_reset();

extern "C" {
ViStatus viOpenDefaultRM(ViSession* sesn);
ViStatus viFindRsrc(ViSession sesn, const ViChar* expr, ViFindList* findList, ViUInt32* retCnt, ViChar desc[]);
ViStatus viFindNext(ViFindList findList, ViChar desc[]);
ViStatus viOpen(ViSession sesn, const ViChar* name, ViAccessMode mode, ViUInt32 timeout, ViSession* vi);
ViStatus viClose(ViObject vi);
ViStatus viRead(ViSession vi, ViByte* buf, ViUInt32 cnt, ViUInt32* retCnt);
ViStatus viWrite(ViSession vi, const ViByte* buf, ViUInt32 cnt, ViUInt32* retCnt);
ViStatus viClear(ViSession vi);
ViStatus viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value);
ViStatus viReadSTB(ViSession vi, ViUInt16* status);
ViStatus viAssertTrigger(ViSession vi, ViUInt16 protocol);
ViStatus viGpibControlREN(ViSession vi, ViUInt16 mode);
ViStatus viEnableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism, ViEventFilter context);
ViStatus viDisableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
ViStatus viDiscardEvents(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
ViStatus viWaitOnEvent(ViSession vi, ViEventType inEventType, ViUInt32 timeout, ViEventType* outEventType,
                       ViEvent* outContext);
}

#endif
