// A HiSLIP link: its two connections (synchronous for data, asynchronous
// for status, clear and remote control), the message ids, and the
// exchanges on them. hislip_transport.cpp opens and binds it; everything
// that reads or writes messages after the connections exist is here.
#ifndef VX_HISLIP_LINK_H
#define VX_HISLIP_LINK_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/net.h"
#include "platform/thread.h"
#include "transport/hislip/hislip_message.h"
#include "transport/transport.h"
#include "vx_comm.h"

// A point in time to wait until; waitMs 0 is no limit.
struct HislipDeadline {
  uint32_t start;
  uint32_t waitMs;
};
HislipDeadline vx_hislip_deadline(uint32_t waitMs);

// One connection's receiving side: bytes received and not yet taken sit in
// buf[at, len), so a header cut by a timeout is kept whole for the next
// call. `skip` counts the body bytes of a message being dropped, taken
// before the next header.
struct HislipChannel {
  vxp_socket sock;
  uint8_t* buf;
  size_t cap, at, len;
  uint64_t skip;
};

struct HislipLink;

// Receives at least one and at most n bytes of channel c into p before the
// deadline. The sockets' reader; the fuzzer puts a reader from memory here.
// VI_ERROR_TMO when the deadline passes or (preemptable) a clear asks for
// the channel; VI_ERROR_CONN_LOST when the link is gone.
typedef ViStatus (*HislipReceive)(HislipLink* l, HislipChannel* c, uint8_t* p, size_t n, const HislipDeadline& dl,
                                  bool preemptable, size_t* got);

// Reply types below this are counted in HislipLink.asyncOwed.
#define VX_HISLIP_OWED_TYPES 32

// Most payload of an asynchronous reply an exchange keeps (the maximum
// message size's 8 bytes).
#define VX_HISLIP_MAIL_MAX 8

// Small writes without a line end wait for the next write (at most this).
#define VX_HISLIP_HELD_MAX 256
#define VX_HISLIP_PEER_SIZE 280

struct HislipLink {
  HislipChannel sync;
  HislipChannel async;
  HislipReceive receive;
  char peer[VX_HISLIP_PEER_SIZE];  // "host:port", for log lines
  uint64_t chunk;                  // Data payload bytes per message, from the server's maximum

  // The synchronous channel: held through a whole read, write or trigger,
  // and by a clear. Timed, so that a clear gives up on a call that does not
  // let go.
  std::mutex syncLock;
  // One exchange at a time on the asynchronous channel.
  std::mutex asyncLock;
  // Per reply type, the answers still to come to exchanges that timed out.
  // The server answers in order, so these come first. asyncLock's while
  // the exchanges read the channel themselves, mailLock's while the reader
  // runs.
  uint32_t asyncOwed[VX_HISLIP_OWED_TYPES];
  // Sends on the asynchronous channel: an exchange's, and the reader's
  // FatalError for a message it cannot frame.
  std::mutex asyncSendLock;

  // Service requests come on the asynchronous channel at any time. While
  // they are collected (vx_hislip_srq_enable) a reader thread alone
  // receives there: it posts each AsyncServiceRequest to `sink` and hands
  // replies, Error included, to the exchange waiting in the mail below.
  // Otherwise each exchange reads its own reply and drops a request.
  std::mutex readerSwitch;        // starting and joining the reader
  vxp_thread* reader;             // readerSwitch's
  bool readerMode;                // asyncLock's: exchanges take replies from the mail
  std::atomic<bool> readerStop;   // the reader ends at its next receive
  SrqSink* sink;                  // set before the reader starts
  std::mutex mailLock;
  std::condition_variable mailCv;
  // mailLock's: the exchange waiting (its reply type and log context) and
  // what the reader handed it.
  bool mailWaiting;
  uint8_t mailExpect;
  const char* mailContext;
  bool mailDelivered;
  ViStatus mailStatus;  // VI_SUCCESS, or the status of an Error
  HislipHeader mailHeader;
  uint8_t mailPayload[VX_HISLIP_MAIL_MAX];
  size_t mailLength;
  // One clear at a time.
  std::mutex clearLock;

  // Read without syncLock by the status query and remote control.
  std::atomic<uint32_t> nextId;  // the id of the next Data, DataEnd or Trigger
  std::atomic<bool> rmt;         // a whole reply was delivered since the last message
  std::atomic<bool> overlapped;
  std::atomic<int32_t> timeoutMs;  // 0: no limit
  std::atomic<bool> aborted;       // a close interrupted the link
  std::atomic<bool> dead;          // FatalError, a lost connection or a broken stream
  std::atomic<int> preempt;        // clears waiting for syncLock

  // syncLock's: the reply being read and the write held back.
  uint32_t lastId;  // id of the last Data, DataEnd or Trigger sent
  bool sentAny;     // one has been sent since Initialize or the last clear
  uint64_t inLeft;  // payload bytes of the current Data/DataEnd still to read
  bool inEnd;       // the current message is a DataEnd
  uint8_t held[VX_HISLIP_HELD_MAX];
  size_t heldLength;
};

// A link with unconnected channels and buffers; null when out of memory.
HislipLink* vx_hislip_new_link();
// Closes the sockets and frees the link.
void vx_hislip_free_link(HislipLink* l);

// The open's steps, on connected channels. Each logs why it failed as a
// "vx_comm_open() error" line.
bool vx_hislip_initialize(HislipLink* l, const char* subAddress, const HislipDeadline& dl, uint16_t* sessionId);
bool vx_hislip_async_initialize(HislipLink* l, uint16_t sessionId, const HislipDeadline& dl);
bool vx_hislip_max_message_size(HislipLink* l, const HislipDeadline& dl);

// The transport's operations, same conventions as TransportOps'.
ViStatus vx_hislip_read(HislipLink* l, uint8_t* buffer, size_t count, size_t* moved);
// `mayEnd` false: bytes of a message that goes on after them (writeMore).
ViStatus vx_hislip_write(HislipLink* l, const uint8_t* buffer, size_t count, size_t* moved, bool mayEnd = true);
ViStatus vx_hislip_clear(HislipLink* l);
ViStatus vx_hislip_status(HislipLink* l, ViUInt16* stb);
ViStatus vx_hislip_trigger(HislipLink* l);
ViStatus vx_hislip_remote(HislipLink* l, ViUInt16 mode);
// AsyncLock: an exclusive lock (no lock string), the server waiting up to
// tmoMs for it; and its release.
ViStatus vx_hislip_lock(HislipLink* l, ViInt32 tmoMs);
ViStatus vx_hislip_unlock(HislipLink* l);
// Sends what a write held back, the last piece as DataEnd when `end`
// (syncLock held).
ViStatus vx_hislip_flush(HislipLink* l, bool end);
// Ends the message on the bytes a write held back; nothing held means the
// last write ended a line with DataEnd already (syncLock held).
ViStatus vx_hislip_end(HislipLink* l);
// Ends both connections for good without closing the sockets.
void vx_hislip_cut(HislipLink* l);

// Service requests: a sink starts the reader of the asynchronous channel
// (after the exchange in progress), null stops it; no post runs once it
// returns. Enabling twice or stopping what never started succeeds.
ViStatus vx_hislip_srq_enable(HislipLink* l, SrqSink* sink);
// Ends the reader and waits for it (close, abort). Safe while other
// threads are in calls.
void vx_hislip_stop_reader(HislipLink* l);

#endif
