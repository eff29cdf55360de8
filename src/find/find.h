// Discovery: the find dispatcher's table of searches and the LAN search.
// Every search fills a text buffer of its own with Device list entries
// (model ":" serial ":" address ";") and reports the text's length.
#ifndef VX_FIND_H
#define VX_FIND_H

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/net.h"
#include "vx_comm.h"

// The signature all searches share: text buffer, tmoMs, capacity of the
// buffer in bytes, the length of the text (set to 0 first, may be null).
// The text is NUL-terminated whenever it holds an entry.
typedef ViStatus (*FindSearchFn)(char* text, int tmoMs, int capacity, int* length);

// One row of the dispatcher's table: the iface bits that select the search
// and the search itself. A row without a function selects no search, which
// contributes nothing, as a search that finds nothing would.
struct FindSearch {
  int mask;
  FindSearchFn run;
};

// Everything the dispatcher depends on, so that a test can hand it fake
// searches and a failing allocator. Rows run side by side, each on a thread
// of its own (on the caller's when none can be had), and are merged in
// table order.
struct FindSetup {
  const FindSearch* searches;
  size_t searchCount;  // at most VX_FIND_MAX_SEARCHES rows are used
  void* (*alloc)(size_t size);
  void (*release)(void* block);
};

#define VX_FIND_MAX_SEARCHES 8

// The product's table: LAN, USB, VISA.
extern const FindSetup vx_find_setup;

// vx_comm_find over the given setup.
ViStatus vx_find_run(const FindSetup* setup, char* devices, int tmoMs, int count, int* retCount, int iface);

// Appends model ":" serial ":" address ";" if it fits together with its NUL
// into the room left (capacity > *length). Otherwise the text keeps its old
// length, still NUL-terminated. The caller serialises appends to one text.
bool vx_find_append_entry(char* text, int capacity, int* length, const char* model, const char* serial,
                          const char* address);

// ------------------------------------------------------ probe workers --

// What the USB and VISA searches share among their workers: the text and
// its length, the discovery mutex that serialises appends (and the USB
// clears), and whether an entry did not fit.
struct ProbeResults {
  char* text;
  int capacity;
  int length;
  bool cutShort;
  std::mutex discovery;
};

struct VisaFunctions;

// One worker's record, the same for both searches: its target (a device
// path or a resource name), the timeout, the shared results and the handle
// it probes through (the VISA module the search holds; none for USB).
struct ProbeJob {
  const char* target;
  int tmoMs;
  ProbeResults* results;
  const VisaFunctions* visa;
  uint32_t addr;  // VXI-11 search: the responder (network order) and its
  uint16_t port;  // core channel's port; unused by the others
};

// Appends an entry to the shared text under the discovery mutex; one that
// does not fit makes the list cut short.
void vx_find_report(ProbeResults* results, const char* model, const char* serial, const char* address);

#define VX_FIND_FIELD_SIZE 32  // a field of an identification: 31 characters and a NUL

// Copies the text from `from` up to the next comma into `field`, cut to 31
// characters, and returns the position after that comma; null when `from`
// is null or has no comma (the field is then left as it was).
const char* vx_find_take_field(const char* from, char field[VX_FIND_FIELD_SIZE]);

// --------------------------------------------------------- broadcasts --

// The broadcast searches (LAN, VXI-11) send their request on one schedule:
// at 0, 50, 150, 350 and 650 ms after the start, to 255.255.255.255 (which
// leaves by the card of the default route only) and to the broadcast
// address of every other card (at most 16), and wait for replies
// VX_FIND_WAIT_MS at a time.
#define VX_FIND_WAIT_MS 10
#define VX_FIND_MAX_CARDS 16

struct BroadcastPlan {
  vxp_socket sock;  // VXP_BAD_SOCKET: nothing is sent
  uint16_t port;
  const void* request;
  size_t length;
  uint32_t cards[VX_FIND_MAX_CARDS];
  int cardCount;
  int sent;  // marks of the schedule passed so far
};

// Readies `sock` for broadcasting and finds the cards.
void vx_find_broadcast_begin(BroadcastPlan* plan, vxp_socket sock, uint16_t port, const void* request, size_t length);
// Sends the request to every address once the next mark has passed.
void vx_find_broadcast_due(BroadcastPlan* plan, uint64_t elapsedMs);

// ------------------------------------------------------------------ LAN --

// Where the LAN search sends and how it reads the time; vx_lan_scan uses
// port 9998 and the platform tick, tests their own port and clock.
struct LanScanSetup {
  uint16_t port;
  uint32_t (*tick)();
};

// Broadcasts empty UDP datagrams to 255.255.255.255 and lists every
// instrument that answers within tmoMs (compared as unsigned).
ViStatus vx_lan_scan(char* text, int tmoMs, int capacity, int* length);
ViStatus vx_lan_scan_with(const LanScanSetup* setup, char* text, int tmoMs, int capacity, int* length);

// Lists the sender of one reply of `received` bytes (1 to 127) from the
// IPv4 address `from` (network order): model at offset 21, serial at 51,
// each up to its NUL or the end. A sender already listed adds nothing;
// VI_SUCCESS_MAX_CNT when the entry does not fit.
ViStatus vx_lan_add_reply(const char* reply, size_t received, uint32_t from, char* text, int capacity, int* length);

// Nonzero when some entry of the first `length` characters of text ends in
// exactly this address.
int vx_lan_isListed(const char* address, const char* text, int length);

// ----------------------------------------------------------------- VISA --

// Lists the maker's instruments among the VISA library's USB INSTR
// resources, probing up to 64 of them in parallel workers.
// VI_ERROR_SYSTEM_ERROR when VISA is not loaded or its search fails;
// VI_SUCCESS_MAX_CNT when resources were left unprobed or an entry did not
// fit, so the list is cut short.
ViStatus vx_visa_scan(char* text, int tmoMs, int capacity, int* length);
// --------------------------------------------------------------- VXI-11 --

// Broadcasts the portmapper's GETPORT for the VXI-11 core channel (UDP,
// port 111) on every card for tmoMs (compared as unsigned) and asks each
// responder "*IDN?" over VXI-11 in a worker of its own, bounded by tmoMs.
// Entries model:serial:TCPIP0::a.b.c.d::inst0::INSTR; a responder that
// does not identify is listed with empty model and serial.
ViStatus vx_vxi11_scan(char* text, int tmoMs, int capacity, int* length);

// The search's responders so far: distinct senders of a reply to its call.
struct Vxi11Responder {
  uint32_t addr;  // network order
  uint16_t port;  // the core channel's, as the reply names it
};
struct Vxi11Responders {
  Vxi11Responder* list;
  int count, capacity;
  unsigned notKept;  // new senders that found the list full
};
// Takes one datagram from `from`: true when it answers call `xid` with a
// port and its sender is new, kept at the end of the list (or counted in
// notKept when the list is full). Anything else changes nothing.
bool vx_vxi11_take_datagram(Vxi11Responders* r, const uint8_t* datagram, size_t length, uint32_t from, uint32_t xid);

// ----------------------------------------------------------------- mDNS --

// Asks the DNS-SD responders on every IPv4 card for HiSLIP, VXI-11 and raw
// SCPI instruments (mdns_scan.cpp) for tmoMs (compared as unsigned).
// Entries model:serial:TCPIP0::a.b.c.d::hislip0::INSTR (hislip0,port when
// not 4880), ...::inst0::INSTR and ...::port::SOCKET (TCPIP0::[v6]::... for
// a host with an IPv6 address alone), model and serial from the TXT keys
// Model and SerialNumber, else from "*IDN?" over the entry's route (empty
// when neither names it).
ViStatus vx_mdns_scan(char* text, int tmoMs, int capacity, int* length);

// ------------------------------------------------------------------ USB --

// Probes every present direct USB instrument in a worker thread of its own
// and lists those that answer "*IDN?".
ViStatus vx_usbdev_scan(char* text, int tmoMs, int capacity, int* length);

// Probes every USBTMC interface the USB bus describes (any maker's) with
// class requests and "*IDN?"; the second leaves out the maker's own devices
// (for a call that lists them with IFACE_USB too).
ViStatus vx_usbtmc_scan(char* text, int tmoMs, int capacity, int* length);
ViStatus vx_usbtmc_scan_others(char* text, int tmoMs, int capacity, int* length);

#endif
