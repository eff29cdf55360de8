// The few VISA types, values and function signatures this library uses,
// written from the VISA standard's published specification (VPP-4.3). No
// header of any VISA implementation is needed: the library is loaded at run
// time and reached only through the pointers below (nine required, the
// rest optional).
#ifndef VX_VISA_TYPES_H
#define VX_VISA_TYPES_H

#include <cstdint>
#include <type_traits>

#include "vx_comm.h"

typedef uint32_t ViUInt32;
typedef ViUInt32 ViSession;  // also the resource manager session
typedef ViUInt32 ViFindList;
typedef ViUInt32 ViObject;
typedef ViUInt32 ViAccessMode;
typedef ViUInt32 ViAttr;
// 64 bits wide in 64-bit builds, 32 bits in 32-bit ones.
typedef std::conditional<sizeof(void*) == 8, uint64_t, uint32_t>::type ViAttrState;
typedef char ViChar;
typedef unsigned char ViByte;

// The standard's calling convention is __stdcall on 32-bit Windows; every
// 64-bit target has a single convention, which is the one used here.
typedef ViStatus (*viOpenDefaultRM_fn)(ViSession* sesn);
typedef ViStatus (*viFindRsrc_fn)(ViSession sesn, const ViChar* expr, ViFindList* findList, ViUInt32* retCnt,
                                  ViChar desc[]);
typedef ViStatus (*viFindNext_fn)(ViFindList findList, ViChar desc[]);
typedef ViStatus (*viOpen_fn)(ViSession sesn, const ViChar* name, ViAccessMode mode, ViUInt32 timeout, ViSession* vi);
typedef ViStatus (*viClose_fn)(ViObject vi);
typedef ViStatus (*viRead_fn)(ViSession vi, ViByte* buf, ViUInt32 cnt, ViUInt32* retCnt);
typedef ViStatus (*viWrite_fn)(ViSession vi, const ViByte* buf, ViUInt32 cnt, ViUInt32* retCnt);
typedef ViStatus (*viClear_fn)(ViSession vi);
typedef ViStatus (*viSetAttribute_fn)(ViObject vi, ViAttr attr, ViAttrState value);
// Optional: a library without them still loads.
typedef ViStatus (*viReadSTB_fn)(ViSession vi, ViUInt16* status);
typedef ViStatus (*viAssertTrigger_fn)(ViSession vi, ViUInt16 protocol);
typedef ViStatus (*viGpibControlREN_fn)(ViSession vi, ViUInt16 mode);
// The key arguments are ViConstKeyId and ViChar[]; an exclusive lock passes
// null for both.
typedef ViStatus (*viLock_fn)(ViSession vi, ViAccessMode lockType, ViUInt32 timeout, const ViChar* requestedKey,
                              ViChar* accessKey);
typedef ViStatus (*viUnlock_fn)(ViSession vi);
// Service request events, taken from the queue mechanism; also optional.
typedef ViUInt32 ViEventType;
typedef ViUInt32 ViEventFilter;
typedef ViObject ViEvent;
typedef ViStatus (*viEnableEvent_fn)(ViSession vi, ViEventType eventType, ViUInt16 mechanism, ViEventFilter context);
typedef ViStatus (*viDisableEvent_fn)(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
typedef ViStatus (*viDiscardEvents_fn)(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
typedef ViStatus (*viWaitOnEvent_fn)(ViSession vi, ViEventType inEventType, ViUInt32 timeout,
                                     ViEventType* outEventType, ViEvent* outContext);

#define VI_ATTR_TMO_VALUE ((ViAttr)0x3FFF001AUL)
#define VI_NO_LOCK ((ViAccessMode)0)
#define VI_EXCLUSIVE_LOCK ((ViAccessMode)1)
#define VI_TRIG_PROT_DEFAULT ((ViUInt16)0)
#define VI_EVENT_SERVICE_REQ ((ViEventType)0x3FFF200BUL)
#define VI_QUEUE ((ViUInt16)1)
// The session's resource has no such event.
#define VX_VISA_ERROR_INV_EVENT ((ViStatus)0xBFFF0026UL)
// Buffer length the standard fixes for viFindRsrc and viFindNext names.
#define VI_FIND_BUFLEN 256

#endif
