// The VXI-11 transport's operations and its table. The library's byte
// stream maps onto the procedures: a read is one device_read asking for the
// bytes wanted, a write is device_writes of at most the link's maxRecvSize.
// END goes on the last byte of a write that ends a line (as a newline ends
// a command on a raw socket) and on the last byte of a block (endMessage).
#include "transport/lock_within.h"
#include "transport/vxi11/vxi11_transport.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "link/link_table.h"
#include "info/status_text.h"
#include "log/call_log.h"
#include "platform/clock.h"
#include "platform/listen.h"
#include "transport/host_address.h"
#include "transport/resource_name.h"
#include "transport/vxi11/intr_server.h"
#include "transport/vxi11/portmap.h"
#include "transport/vxi11/vxi11_core.h"

namespace {

const uint32_t kDefaultTimeoutMs = 1000;  // as a TCP link's first receive timeout
// The socket waits this much longer than the device's own lock and I/O
// timeouts together, so the device's timeout (error 11 or 15) arrives first.
const uint32_t kSocketMarginMs = 1000;
// maxRecvSize 0 says nothing; 1024 is what every VXI-11 device must take.
const uint32_t kMinChunk = 1024;
const uint32_t kMaxChunk = 1u << 20;
// Waits when the caller's open gave no bound: the connects have the
// system's, an RPC reply would have none.
const uint32_t kUnboundedOpenReplyMs = 10000;
// A close's flush of held-back bytes and its destroy_link share this wait,
// whatever the link timeout: the caller is done with the instrument.
const uint32_t kCloseWaitMs = 1000;
const uint32_t kAbortWaitMs = 500;
// How long close's abort waits for the aborted call to give up the core
// channel before it cuts the connection instead.
const uint32_t kAbortGraceMs = 300;
// How long a clear waits for a call in flight to end after device_abort.
const uint32_t kClearTakeoverMs = 2000;
const uint32_t kClearNoLimitMs = 5000;
// Small writes without a line end are joined to the next write.
const size_t kHeldMax = 256;

struct Vxi11Device {
  RpcChannel core;
  RpcChannel abortChannel;  // unconnected when the instrument offered none
  Vxi11Link link;
  uint32_t chunk;
  // One RPC at a time on each channel. The core one is timed so that a
  // clear can give up on a call that device_abort did not end.
  std::mutex coreLock;
  std::mutex abortLock;
  std::atomic<int32_t> timeoutMs;
  std::atomic<bool> aborted;  // close has interrupted the link: every call fails
  // The device refused a call that waits for a lock (waitlock flag, a
  // lock_timeout): later calls ask without the wait.
  std::atomic<bool> lockWaitRefused;
  bool lockHeld;  // core lock's: device_lock succeeded and no unlock since
  // Bytes of a device_read reply beyond what its read asked for.
  uint8_t* spare;
  size_t spareLength, spareAt;
  // A small write held back to go with the next one (no END on it anyway).
  uint8_t held[kHeldMax];
  size_t heldLength;
  char peer[256];  // the host as the name gave it, for the log
  // Service requests (core lock's): on, under this handle of the interrupt
  // channel's server; whether create_intr_chan succeeded on this link.
  bool srqOn;
  uint32_t srqHandle;
  bool intrChannel;
};

// io_timeout and the socket wait for a link timeout, as on a TCP link: 0 is
// no limit (the device gets the longest io_timeout VXI-11 has), anything
// else that many milliseconds as an unsigned number. Each call may wait
// that long for another link's lock too (lock_timeout, see lock_for), and
// then as long again for its I/O: the socket waits for both.
void waits_for(int32_t tmoMs, uint32_t* ioTimeout, uint32_t* waitMs) {
  const uint32_t t = (uint32_t)tmoMs;
  *ioTimeout = t == 0 ? UINT32_MAX : t;
  *waitMs = (t == 0 || t > (UINT32_MAX - kSocketMarginMs) / 2) ? 0 : 2 * t + kSocketMarginMs;
}

// What each Device_ErrorCode means to a VISA program, and its words in the
// log (docs/reference/links.md has the table).
struct ErrorMeaning {
  uint32_t code;
  ViStatus status;
  const char* text;
};
const ErrorMeaning kErrorMeanings[] = {
    {VXI11_SYNTAX, VI_ERROR_SYSTEM_ERROR, "syntax error"},
    {VXI11_NOT_ACCESSIBLE, VI_ERROR_RSRC_NFOUND, "device not accessible"},
    // The device has forgotten the link: nothing on it can work again.
    {VXI11_INVALID_LINK, VI_ERROR_CONN_LOST, "invalid link identifier"},
    {VXI11_PARAMETER, VI_ERROR_INV_PARAMETER, "parameter error"},
    {VXI11_NO_CHANNEL, VI_ERROR_SYSTEM_ERROR, "channel not established"},
    {VXI11_NOT_SUPPORTED, VI_ERROR_NSUP_OPER, "operation not supported"},
    {VXI11_OUT_OF_RESOURCES, VI_ERROR_RSRC_BUSY, "out of resources"},
    {VXI11_LOCKED, VI_ERROR_RSRC_LOCKED, "device locked by another link"},
    {VXI11_NO_LOCK_HELD, VI_ERROR_SYSTEM_ERROR, "no lock held by this link"},
    {VXI11_IO_TIMEOUT, VI_ERROR_TMO, "I/O timeout"},
    {VXI11_IO_ERROR, VI_ERROR_IO, "I/O error"},
    {VXI11_INVALID_ADDRESS, VI_ERROR_INV_RSRC_NAME, "invalid address"},
    // A call that a clear or close ended, as a timed-out one.
    {VXI11_ABORTED, VI_ERROR_TMO, "abort"},
    {VXI11_CHANNEL_ESTABLISHED, VI_ERROR_SYSTEM_ERROR, "channel already established"},
};

const ErrorMeaning* meaning_of(uint32_t error) {
  for (const ErrorMeaning& m : kErrorMeanings)
    if (m.code == error) return &m;
  return nullptr;
}

const char* error_text(uint32_t error) {
  const ErrorMeaning* m = meaning_of(error);
  return m ? m->text : "unknown error";
}

ViStatus status_of(const Vxi11Result& r) {
  switch (r.rpc) {
    case RPC_OK:
      break;
    case RPC_TIMED_OUT:
      return VI_ERROR_TMO;
    case RPC_LOST:
      return VI_ERROR_CONN_LOST;
    case RPC_PROC_UNAVAIL:
    case RPC_REFUSED:
      return VI_ERROR_SYSTEM_ERROR;
  }
  if (r.error == VXI11_NO_ERROR) return VI_SUCCESS;
  const ErrorMeaning* m = meaning_of(r.error);
  return m ? m->status : VI_ERROR_SYSTEM_ERROR;
}

struct Deadline {
  uint32_t start, waitMs;  // waitMs 0: none
  // What is left for the next step; `fallback` when there is no deadline.
  uint32_t left(uint32_t fallback) const {
    if (waitMs == 0) return fallback;
    uint32_t spent = vxp_tick_ms() - start;
    return spent >= waitMs ? 1 : waitMs - spent;
  }
};

Vxi11Device* new_device() {
  Vxi11Device* d = new (std::nothrow) Vxi11Device;
  if (!d) return nullptr;
  vx_rpc_channel_init(&d->core, VXP_BAD_SOCKET);
  vx_rpc_channel_init(&d->abortChannel, VXP_BAD_SOCKET);
  d->link = Vxi11Link{0, 0, 0};
  d->chunk = kMinChunk;
  d->timeoutMs = (int32_t)kDefaultTimeoutMs;
  d->aborted = false;
  d->lockWaitRefused = false;
  d->lockHeld = false;
  d->spare = nullptr;
  d->spareLength = d->spareAt = 0;
  d->heldLength = 0;
  d->peer[0] = '\0';
  d->srqOn = false;
  d->srqHandle = 0;
  d->intrChannel = false;
  return d;
}

void free_device(Vxi11Device* d) {
  vx_rpc_channel_close(&d->core);
  vx_rpc_channel_close(&d->abortChannel);
  delete[] d->spare;
  delete d;
}

// The status of a call on the link, with a log line for what the status
// alone does not say: late replies dropped, a call that had no reply, an
// error code the device answered (the last two are error lines, so they are
// the thread's reason for vx_comm_lastError).
ViStatus outcome(Vxi11Device* d, const char* proc, const Vxi11Result& r, uint32_t waitMs) {
  if (d->core.dropped > 0)
    writeLog("VXI-11 %s: dropped %u late reply(ies) to an earlier call that had timed out (xid %u)\n", d->peer,
             d->core.dropped, (unsigned)d->core.droppedXid);
  const ViStatus status = status_of(r);
  if (r.rpc == RPC_TIMED_OUT) {
    writeLog("VXI-11 error: %s: %s had no reply within %u ms%s; the link stays usable, and a reply that comes later is "
             "dropped\n",
             d->peer, proc, (unsigned)waitMs, d->core.cutReply ? " (its reply came in part)" : "");
  } else if (r.rpc == RPC_OK && r.error != VXI11_NO_ERROR) {
    const VxStatusText* t = vx_status_text(status);
    writeLog("VXI-11 error: %s: %s answered VXI-11 error %u (%s): %s\n", d->peer, proc, (unsigned)r.error,
             error_text(r.error), t ? t->name : "VI_ERROR_SYSTEM_ERROR");
  }
  return status;
}

// The lock_timeout of a call with this io_timeout: as long, so a call on an
// instrument another client holds waits for it up to the link timeout;
// none on a device that refused waiting for a lock.
uint32_t lock_for(const Vxi11Device* d, uint32_t ioTimeout) { return d->lockWaitRefused ? 0 : ioTimeout; }

// Some devices answer an error to the waiting form of a call (the waitlock
// flag, a lock_timeout other than 0) but take the form without it. True,
// with a log line and the device marked for every later call, when `r` is
// such an answer to a call that asked for a wait: it goes once more
// without.
bool refused_lock_wait(Vxi11Device* d, const char* proc, const Vxi11Result& r, uint32_t lockTimeout) {
  if (lockTimeout == 0 || r.rpc != RPC_OK) return false;
  if (r.error != VXI11_SYNTAX && r.error != VXI11_PARAMETER && r.error != VXI11_NOT_SUPPORTED) return false;
  d->lockWaitRefused = true;
  writeLog("VXI-11 %s: %s refused the wait for a lock (VXI-11 error %u, %s); asking again without it, here and on "
           "every later call\n",
           d->peer, proc, (unsigned)r.error, error_text(r.error));
  return true;
}

uint32_t chunk_for(uint32_t maxRecvSize) {
  if (maxRecvSize < kMinChunk) return kMinChunk;
  return maxRecvSize > kMaxChunk ? kMaxChunk : maxRecvSize;
}

// The core channel and the link on it; the abort channel when offered.
// Logs why it failed, as the caller's log shows nothing else.
bool connect_link(Vxi11Device* d, const vxp_address& addr, const char* hostText, const char* device,
                  const Deadline& dl) {
  snprintf(d->peer, sizeof d->peer, "%s", hostText);
  uint16_t port = 0;
  RpcStatus pm = vx_portmap_getport(addr, VX_VXI11_CORE_PROG, VX_VXI11_VERSION, dl.left(kUnboundedOpenReplyMs), &port);
  if (pm != RPC_OK || port == 0) {
    writeLog("vx_comm_open() error: no VXI-11 core channel at %s (portmapper %s)\n", hostText,
             pm == RPC_OK          ? "has none registered"
             : pm == RPC_TIMED_OUT ? "did not answer in time"
                                   : "not reached");
    return false;
  }
  bool timedOut = false;
  if (!vx_rpc_channel_connect(&d->core, addr, port, dl.left(0), &timedOut)) {
    writeLog("vx_comm_open() error: cannot connect to %s port %u%s\n", hostText, (unsigned)port,
             timedOut ? " in time" : "");
    return false;
  }
  Vxi11Result r = vx_vxi11_create_link(&d->core, device, dl.left(kUnboundedOpenReplyMs), &d->link);
  if (r.rpc != RPC_OK || r.error != VXI11_NO_ERROR) {
    if (r.rpc == RPC_OK)
      writeLog("vx_comm_open() error: %s refused a link to %s: VXI-11 error %u (%s)\n", hostText, device,
               (unsigned)r.error, error_text(r.error));
    else
      writeLog("vx_comm_open() error: create_link to %s on %s %s\n", device, hostText,
               r.rpc == RPC_TIMED_OUT ? "had no answer in time" : "failed");
    return false;
  }
  d->chunk = chunk_for(d->link.maxRecvSize);
  // Without an abort channel the link works; only a close or clear that
  // meets a blocked call has to cut the connection instead.
  if (d->link.abortPort != 0 &&
      !vx_rpc_channel_connect(&d->abortChannel, addr, d->link.abortPort, dl.left(0), &timedOut))
    writeLog("vx_comm_open() error: no abort channel at %s port %u; going on without\n", hostText,
             (unsigned)d->link.abortPort);
  return true;
}

// TCPIP[board]::host[::device]::INSTR, read again from the whole name; the
// device ("inst0" when left out, "gpib0,5", any other name) goes to
// create_link as written.
ViStatus vxi11_open(const char* address, ViInt32 tmoMs, LinkSlot* slot) {
  VxResourceName r;
  const char* why = nullptr;
  if (!vx_rname_parse(address, &r, &why) || r.interface != VX_RNAME_TCPIP || r.rclass != VX_RNAME_INSTR ||
      r.deviceKind == VX_LAN_HISLIP) {
    writeLog("vx_comm_open() error: '%s' is not a VXI-11 resource name (TCPIP[board]::host[::device]::INSTR): %s\n",
             address, why ? why : "another class or protocol");
    return VI_ERROR_SYSTEM_ERROR;
  }
  if (!vxp_net_startup()) return VI_ERROR_SYSTEM_ERROR;
  // One wait for the lookup, the portmapper, the connections and create_link.
  const Deadline dl{vxp_tick_ms(), vx_open_wait_ms(tmoMs)};
  vxp_address addr;
  Vxi11Device* d = nullptr;
  if (!vx_host_address(r.host, dl.left(0), &addr) || (d = new_device()) == nullptr ||
      !connect_link(d, addr, r.host, r.device, dl)) {
    if (d) free_device(d);
    vxp_net_cleanup();
    return VI_ERROR_SYSTEM_ERROR;
  }
  slot->context = d;
  return VI_SUCCESS;
}

// Sends what a write held back, with END when it ends the message, within
// the given waits; the core lock is held.
ViStatus flush_held_within(Vxi11Device* d, bool end, uint32_t io, uint32_t lock, uint32_t wait) {
  if (d->heldLength == 0) return VI_SUCCESS;
  uint32_t accepted = 0;
  Vxi11Result r =
      vx_vxi11_write(&d->core, d->link.lid, d->held, (uint32_t)d->heldLength, end, io, lock, wait, &accepted);
  if (accepted == 0 && refused_lock_wait(d, "device_write", r, lock))
    r = vx_vxi11_write(&d->core, d->link.lid, d->held, (uint32_t)d->heldLength, end, io, 0, wait, &accepted);
  ViStatus s = outcome(d, "device_write", r, wait);
  if (s == VI_SUCCESS && accepted != d->heldLength) s = VI_ERROR_TMO;
  d->heldLength = 0;
  return s;
}

// The same within the link timeout.
ViStatus flush_held(Vxi11Device* d, bool end) {
  uint32_t io, wait;
  waits_for(d->timeoutMs, &io, &wait);
  return flush_held_within(d, end, io, lock_for(d, io), wait);
}

// The core lock for one operation; false (with the status to return) when
// close has interrupted the link or the connection is gone.
bool take_core(Vxi11Device* d, std::unique_lock<std::mutex>* hold, ViStatus* status) {
  *hold = std::unique_lock<std::mutex>(d->coreLock);
  if (d->aborted || d->core.broken) {
    *status = VI_ERROR_CONN_LOST;
    return false;
  }
  return true;
}

// Service requests off: device_enable_srq false and, when this link made
// it, destroy_intr_chan (when `tell`, within the deadline), then the
// handle is given back whatever the device answered. The core lock is held.
ViStatus srq_stop(Vxi11Device* d, bool tell, const Deadline& dl) {
  ViStatus status = VI_SUCCESS;
  if (tell && !d->core.broken) {
    uint8_t handle[VX_INTR_HANDLE_SIZE];
    vx_intr_handle_bytes(d->srqHandle, handle);
    uint32_t wait = dl.left(0);
    status = outcome(d, "device_enable_srq",
                     vx_vxi11_enable_srq(&d->core, d->link.lid, false, handle, sizeof handle, wait), wait);
    if (d->intrChannel && !d->core.broken) {
      wait = dl.left(0);
      const ViStatus s = outcome(d, "destroy_intr_chan", vx_vxi11_destroy_intr_chan(&d->core, wait), wait);
      if (status == VI_SUCCESS) status = s;
    }
  }
  d->intrChannel = false;
  vx_intr_unregister(d->srqHandle);
  d->srqOn = false;
  return status;
}

// Service requests on: a handle of the interrupt channel's server for the
// sink, create_intr_chan naming this host's address on the link (that of
// the core channel's socket) and the server's port, then
// device_enable_srq with the handle. The core lock is held.
ViStatus srq_start(Vxi11Device* d, SrqSink* sink) {
  vxp_address local;
  uint16_t localPort = 0;
  if (!vxp_socket_local_address(d->core.sock, &local, &localPort)) {
    writeLog("VXI-11 error: %s: the link's own address is unknown (error %d); no service requests\n", d->peer,
             vxp_last_socket_error());
    return VI_ERROR_SYSTEM_ERROR;
  }
  if (local.family != 4) {
    writeLog("VXI-11 error: %s: service requests need an IPv4 link (create_intr_chan names this host by an IPv4 "
             "address): VI_ERROR_NSUP_OPER\n",
             d->peer);
    return VI_ERROR_NSUP_OPER;
  }
  uint32_t handle = 0;
  uint16_t port = 0;
  if (!vx_intr_register(sink, &handle, &port)) return VI_ERROR_SYSTEM_ERROR;
  const uint32_t hostAddr = (uint32_t)local.bytes[0] << 24 | (uint32_t)local.bytes[1] << 16 |
                            (uint32_t)local.bytes[2] << 8 | local.bytes[3];
  uint32_t io, wait;
  waits_for(d->timeoutMs, &io, &wait);
  ViStatus status = VI_SUCCESS;
  if (!d->intrChannel) {
    status = outcome(d, "create_intr_chan", vx_vxi11_create_intr_chan(&d->core, hostAddr, port, wait), wait);
    d->intrChannel = status == VI_SUCCESS;
  }
  if (status == VI_SUCCESS) {
    uint8_t bytes[VX_INTR_HANDLE_SIZE];
    vx_intr_handle_bytes(handle, bytes);
    status = outcome(d, "device_enable_srq",
                     vx_vxi11_enable_srq(&d->core, d->link.lid, true, bytes, sizeof bytes, wait), wait);
  }
  if (status != VI_SUCCESS) {
    if (d->intrChannel && !d->core.broken)
      outcome(d, "destroy_intr_chan", vx_vxi11_destroy_intr_chan(&d->core, wait), wait);
    d->intrChannel = false;
    vx_intr_unregister(handle);
    return status;
  }
  d->srqOn = true;
  d->srqHandle = handle;
  return VI_SUCCESS;
}

ViStatus vxi11_close(void* context) {
  Vxi11Device* d = static_cast<Vxi11Device*>(context);
  {
    std::lock_guard<std::mutex> hold(d->coreLock);
    if (!d->aborted && !d->core.broken) {
      // One short wait for both: a silent instrument under a link timeout
      // of 0 (none) must not hold the close for ever.
      // destroy_link gives back a lock the link holds; a device_unlock
      // first, for a device that forgets to.
      const Deadline dl{vxp_tick_ms(), kCloseWaitMs};
      flush_held_within(d, false, dl.left(0), 0, dl.left(0));
      if (d->lockHeld && !d->core.broken) vx_vxi11_unlock(&d->core, d->link.lid, dl.left(0));
      if (d->srqOn) srq_stop(d, true, dl);
      if (!d->core.broken) vx_vxi11_destroy_link(&d->core, d->link.lid, dl.left(0));
    }
    // Nothing is posted once close returns, whatever the device heard.
    if (d->srqOn) srq_stop(d, false, Deadline{0, 0});
  }
  free_device(d);
  vxp_net_cleanup();
  return VI_SUCCESS;
}

ViStatus vxi11_read(void* context, void* buffer, ViInt32 count, ViInt32* retCount) {
  Vxi11Device* d = static_cast<Vxi11Device*>(context);
  if (retCount) *retCount = 0;
  if (count <= 0) return VI_ERROR_TMO;  // as a TCP read of nothing
  std::unique_lock<std::mutex> hold;
  ViStatus status;
  if (!take_core(d, &hold, &status)) return status;
  if (d->spareAt < d->spareLength) {
    size_t n = d->spareLength - d->spareAt;
    if (n > (size_t)count) n = (size_t)count;
    memcpy(buffer, d->spare + d->spareAt, n);
    d->spareAt += n;
    if (retCount) *retCount = (ViInt32)n;
    return VI_SUCCESS;
  }
  status = flush_held(d, false);
  if (status != VI_SUCCESS) return status;
  uint32_t io, wait, length = 0, reason = 0;
  waits_for(d->timeoutMs, &io, &wait);
  const uint8_t* data = nullptr;
  const uint32_t lock = lock_for(d, io);
  Vxi11Result r = vx_vxi11_read(&d->core, d->link.lid, (uint32_t)count, io, lock, wait, &data, &length, &reason);
  if (refused_lock_wait(d, "device_read", r, lock))
    r = vx_vxi11_read(&d->core, d->link.lid, (uint32_t)count, io, 0, wait, &data, &length, &reason);
  status = outcome(d, "device_read", r, wait);
  // Bytes that came with a timeout are delivered; the next read sees it.
  if (r.rpc != RPC_OK || length == 0) return status == VI_SUCCESS ? VI_ERROR_TMO : status;
  size_t n = length;
  if (n > (size_t)count) {
    // More than asked (a device that miscounts): kept for the next reads.
    const size_t rest = n - (size_t)count;
    uint8_t* spare = new (std::nothrow) uint8_t[rest];
    if (!spare) return VI_ERROR_SYSTEM_ERROR;
    memcpy(spare, data + count, rest);
    delete[] d->spare;
    d->spare = spare;
    d->spareLength = rest;
    d->spareAt = 0;
    n = (size_t)count;
  }
  memcpy(buffer, data, n);
  if (retCount) *retCount = (ViInt32)n;
  return VI_SUCCESS;
}

// Sends `count` bytes in chunks of the link's size, what was held going in
// front of the first; END on the last when `end`. *sent counts the caller's
// bytes the device took. The core lock is held.
ViStatus send_chunks(Vxi11Device* d, const uint8_t* p, size_t count, bool end, size_t* sent) {
  uint32_t io, wait;
  waits_for(d->timeoutMs, &io, &wait);
  uint8_t first[kHeldMax * 2];
  *sent = 0;
  while (*sent < count) {
    const uint8_t* piece = p + *sent;
    size_t n = count - *sent;
    if (n > d->chunk) n = d->chunk;
    size_t prefix = 0;
    if (d->heldLength > 0) {
      if (n > kHeldMax) n = kHeldMax;
      memcpy(first, d->held, d->heldLength);
      memcpy(first + d->heldLength, piece, n);
      prefix = d->heldLength;
      piece = first;
    }
    const bool last = *sent + n == count;
    uint32_t accepted = 0;
    const uint32_t lock = lock_for(d, io);
    Vxi11Result r =
        vx_vxi11_write(&d->core, d->link.lid, piece, (uint32_t)(prefix + n), last && end, io, lock, wait, &accepted);
    if (accepted == 0 && refused_lock_wait(d, "device_write", r, lock))
      r = vx_vxi11_write(&d->core, d->link.lid, piece, (uint32_t)(prefix + n), last && end, io, 0, wait, &accepted);
    ViStatus status = outcome(d, "device_write", r, wait);
    if (accepted > prefix + n) accepted = (uint32_t)(prefix + n);
    d->heldLength = 0;  // sent, or lost with the call
    const size_t moved = accepted > prefix ? accepted - prefix : 0;
    *sent += moved;
    if (status != VI_SUCCESS) return status;
    if (accepted < prefix + n) {
      // A device that takes part of a chunk: the rest goes again, but a
      // device that takes nothing would keep this loop going for ever.
      if (moved == 0) return VI_ERROR_TMO;
      if (accepted < prefix) return VI_ERROR_TMO;
    }
  }
  return VI_SUCCESS;
}

// A write; `mayEnd` false for bytes of a message that goes on after them
// (writeMore), whose last byte ends nothing even when it is a line feed.
ViStatus write_bytes(void* context, const void* buffer, ViInt32 count, ViInt32* retCount, bool mayEnd) {
  Vxi11Device* d = static_cast<Vxi11Device*>(context);
  if (retCount) *retCount = 0;
  std::unique_lock<std::mutex> hold;
  ViStatus status;
  if (!take_core(d, &hold, &status)) return status;
  if (count <= 0) return VI_SUCCESS;
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  const size_t n = (size_t)count;
  const bool endsLine = mayEnd && p[n - 1] == '\n';
  // A write that ends no line keeps its last bytes back: they go with the
  // next write (a command and its line feed in one RPC), or carry END when
  // the caller ends the message there (vxi11_end).
  const size_t keep = endsLine ? 0 : (n < kHeldMax ? n : kHeldMax);
  if (keep == n && d->heldLength + n > kHeldMax) {
    status = flush_held(d, false);
    if (status != VI_SUCCESS) return status;
  }
  if (keep < n) {
    size_t sent = 0;
    status = send_chunks(d, p, n - keep, endsLine, &sent);
    if (retCount) *retCount = (ViInt32)sent;
    if (status != VI_SUCCESS) return status;
  }
  memcpy(d->held + d->heldLength, p + n - keep, keep);
  d->heldLength += keep;
  if (retCount) *retCount = count;
  return VI_SUCCESS;
}

ViStatus vxi11_write(void* context, const void* buffer, ViInt32 count, ViInt32* retCount) {
  return write_bytes(context, buffer, count, retCount, true);
}

ViStatus vxi11_write_more(void* context, const void* buffer, ViInt32 count, ViInt32* retCount) {
  return write_bytes(context, buffer, count, retCount, false);
}

// Ends the message on the bytes held back; nothing held means the last
// write ended a line and its END went with it.
ViStatus vxi11_end(void* context) {
  Vxi11Device* d = static_cast<Vxi11Device*>(context);
  std::unique_lock<std::mutex> hold;
  ViStatus status;
  if (!take_core(d, &hold, &status)) return status;
  return flush_held(d, true);
}

ViStatus vxi11_settmo(void* context, ViInt32 tmoMs) {
  static_cast<Vxi11Device*>(context)->timeoutMs = tmoMs;
  return VI_SUCCESS;
}

// device_abort on the abort channel: the device ends the call in flight on
// the core channel with error 23.
bool send_abort(Vxi11Device* d) {
  std::lock_guard<std::mutex> hold(d->abortLock);
  if (d->abortChannel.sock == VXP_BAD_SOCKET) return false;
  Vxi11Result r = vx_vxi11_abort(&d->abortChannel, d->link.lid, kAbortWaitMs);
  return r.rpc == RPC_OK;
}

// Clears the device (device_clear). A call blocked on the core channel in
// another thread holds it: device_abort ends that call first.
ViStatus vxi11_clear(void* context) {
  Vxi11Device* d = static_cast<Vxi11Device*>(context);
  std::unique_lock<std::mutex> hold(d->coreLock, std::try_to_lock);
  if (!hold.owns_lock()) {
    send_abort(d);
    if (!vx_lock_within(hold, kClearTakeoverMs)) return VI_ERROR_TMO;
  }
  if (d->aborted || d->core.broken) return VI_ERROR_CONN_LOST;
  d->heldLength = 0;  // half a command is what a clear throws away
  delete[] d->spare;
  d->spare = nullptr;
  d->spareLength = d->spareAt = 0;
  uint32_t io, wait;
  const int32_t tmo = d->timeoutMs;
  waits_for(tmo == 0 ? (int32_t)kClearNoLimitMs : tmo, &io, &wait);
  const uint32_t lock = lock_for(d, io);
  Vxi11Result r = vx_vxi11_generic(&d->core, VXI11_CLEAR, d->link.lid, io, lock, wait, nullptr);
  if (refused_lock_wait(d, "device_clear", r, lock))
    r = vx_vxi11_generic(&d->core, VXI11_CLEAR, d->link.lid, io, 0, wait, nullptr);
  return outcome(d, "device_clear", r, wait);
}

// One Device_GenericParms procedure under the core lock, after what a
// write held back (a command must reach the device before its status byte
// or trigger is asked for).
ViStatus generic_call(Vxi11Device* d, Vxi11Generic proc, uint8_t* stb) {
  std::unique_lock<std::mutex> hold;
  ViStatus status;
  if (!take_core(d, &hold, &status)) return status;
  status = flush_held(d, false);
  if (status != VI_SUCCESS) return status;
  uint32_t io, wait;
  waits_for(d->timeoutMs, &io, &wait);
  const char* name = proc == VXI11_READSTB   ? "device_readstb"
                     : proc == VXI11_TRIGGER ? "device_trigger"
                     : proc == VXI11_REMOTE  ? "device_remote"
                                             : "device_local";
  const uint32_t lock = lock_for(d, io);
  Vxi11Result r = vx_vxi11_generic(&d->core, proc, d->link.lid, io, lock, wait, stb);
  if (refused_lock_wait(d, name, r, lock)) r = vx_vxi11_generic(&d->core, proc, d->link.lid, io, 0, wait, stb);
  return outcome(d, name, r, wait);
}

ViStatus vxi11_readstb(void* context, ViUInt16* stb) {
  uint8_t value = 0;
  ViStatus status = generic_call(static_cast<Vxi11Device*>(context), VXI11_READSTB, &value);
  if (status == VI_SUCCESS) *stb = value;
  return status;
}

ViStatus vxi11_trigger(void* context) {
  return generic_call(static_cast<Vxi11Device*>(context), VXI11_TRIGGER, nullptr);
}

// VISA's REN modes as device_remote and device_local. VXI-11 has no
// lockout for a device (only a gateway's device_docmd could send LLO on its
// bus), so the two lockout modes are not supported rather than half done.
ViStatus vxi11_remote(void* context, ViUInt16 mode) {
  Vxi11Generic proc;
  switch (mode) {
    case VI_GPIB_REN_ASSERT:
    case VI_GPIB_REN_ASSERT_ADDRESS:
      proc = VXI11_REMOTE;
      break;
    case VI_GPIB_REN_DEASSERT:
    case VI_GPIB_REN_DEASSERT_GTL:
    case VI_GPIB_REN_ADDRESS_GTL:
      proc = VXI11_LOCAL;
      break;
    default:  // VI_GPIB_REN_ASSERT_LLO, VI_GPIB_REN_ASSERT_ADDRESS_LLO
      return VI_ERROR_NSUP_OPER;
  }
  return generic_call(static_cast<Vxi11Device*>(context), proc, nullptr);
}

// device_lock, waiting up to tmoMs for a lock another link holds; a
// device that refuses the wait is asked once without it.
ViStatus vxi11_lock(void* context, ViInt32 tmoMs) {
  Vxi11Device* d = static_cast<Vxi11Device*>(context);
  std::unique_lock<std::mutex> hold;
  ViStatus status;
  if (!take_core(d, &hold, &status)) return status;
  const uint32_t t = (uint32_t)tmoMs;
  const bool wait = t != 0 && !d->lockWaitRefused;
  const uint32_t waitMs = t > UINT32_MAX - kSocketMarginMs ? 0 : t + kSocketMarginMs;
  Vxi11Result r = vx_vxi11_lock(&d->core, d->link.lid, wait, wait ? t : 0, waitMs);
  if (refused_lock_wait(d, "device_lock", r, wait ? t : 0)) r = vx_vxi11_lock(&d->core, d->link.lid, false, 0, waitMs);
  status = outcome(d, "device_lock", r, waitMs);
  if (status == VI_SUCCESS) d->lockHeld = true;
  return status;
}

ViStatus vxi11_unlock(void* context) {
  Vxi11Device* d = static_cast<Vxi11Device*>(context);
  std::unique_lock<std::mutex> hold;
  ViStatus status;
  if (!take_core(d, &hold, &status)) return status;
  // Bytes written under the lock reach the device before it is given back.
  status = flush_held(d, false);
  if (status != VI_SUCCESS) return status;
  uint32_t io, wait;
  waits_for(d->timeoutMs, &io, &wait);
  status = outcome(d, "device_unlock", vx_vxi11_unlock(&d->core, d->link.lid, wait), wait);
  if (status == VI_SUCCESS) d->lockHeld = false;
  return status;
}

// Close meeting calls in flight: from now on every call fails; device_abort
// ends the one in flight, and if the core channel is not free soon after,
// the connection is cut, which ends it whatever the device does.
void vxi11_abort(void* context) {
  Vxi11Device* d = static_cast<Vxi11Device*>(context);
  d->aborted = true;
  std::unique_lock<std::mutex> hold(d->coreLock, std::try_to_lock);
  if (hold.owns_lock()) return;
  if (send_abort(d) && vx_lock_within(hold, kAbortGraceMs)) return;
  if (d->core.sock != VXP_BAD_SOCKET) vxp_socket_interrupt(d->core.sock);
}

ViStatus vxi11_srq(void* context, SrqSink* sink) {
  Vxi11Device* d = static_cast<Vxi11Device*>(context);
  std::unique_lock<std::mutex> hold(d->coreLock);
  const bool usable = !d->aborted && !d->core.broken;
  if (sink) {
    if (d->srqOn) return VI_SUCCESS;
    return usable ? srq_start(d, sink) : VI_ERROR_CONN_LOST;
  }
  if (!d->srqOn) return VI_SUCCESS;
  uint32_t io, wait;
  waits_for(d->timeoutMs, &io, &wait);
  const ViStatus status = srq_stop(d, usable, Deadline{vxp_tick_ms(), wait});
  return usable ? status : VI_ERROR_CONN_LOST;
}

}  // namespace

const TransportOps vx_vxi11_ops = {
    vxi11_open,     // open
    vxi11_close,    // close
    vxi11_read,     // read
    vxi11_write,    // write
    vxi11_settmo,   // setTimeout
    vxi11_clear,    // clear
    vxi11_abort,    // abort
    vxi11_readstb,  // readStb
    vxi11_trigger,  // trigger
    vxi11_remote,   // remote
    vxi11_end,         // endMessage
    vxi11_write_more,  // writeMore
    vxi11_lock,        // lock
    vxi11_unlock,      // unlock
    vxi11_srq,         // srqEnable
};
