// The table of operations every transport supplies (open, close, read,
// write, setTimeout, clear, abort, the three instrument controls readStb,
// trigger, remote, endMessage, writeMore, lock, unlock and srqEnable),
// bound into a link's slot by vx_comm_open.
// Plain function pointers, each documented with its return convention and
// the locks its caller holds.
#ifndef VX_TRANSPORT_H
#define VX_TRANSPORT_H

#include <cstdint>

#include "vx_comm.h"

struct LinkSlot;

// How long an open may wait on the network, from the caller's open
// timeout: tmoMs > 0 waits at most max(tmoMs, 3000) ms (3 s lets one lost
// SYN be sent again), anything else has no limit of its own (0).
// A search that identifies instruments through these tables must end on
// time, so while it holds a cap on its thread (vx_open_cap_ms, nonzero)
// every open there waits at most that long, the 3 s floor left out.
inline thread_local uint32_t vx_open_cap_ms = 0;
inline uint32_t vx_open_wait_ms(ViInt32 tmoMs) {
  if (vx_open_cap_ms != 0) return tmoMs > 0 && (uint32_t)tmoMs < vx_open_cap_ms ? (uint32_t)tmoMs : vx_open_cap_ms;
  if (tmoMs <= 0) return 0;
  return tmoMs < 3000 ? 3000u : (uint32_t)tmoMs;
}

// Where a transport delivers the link's service requests. post may be
// called from any thread of the transport's (never with a lock the
// link's callers take around a transport operation); stb is the status
// byte the notification carried, or -1 when it carried none (the waiter
// then reads it with readStb).
struct SrqSink {
  void (*post)(SrqSink* sink, int stb);
  void* owner;  // the poster's own; transports leave it alone
};

struct TransportOps {
  // Makes the physical connection for `address` (prefix handling already
  // done). Allocates the transport's context and stores it in
  // slot->context; on failure releases everything it allocated, leaves
  // slot->context null and returns anything but VI_SUCCESS. `tmoMs` is the
  // caller's open timeout: a transport whose connection can wait on the
  // network bounds that wait by it (see vx_open_wait_ms). No lock held.
  ViStatus (*open)(const char* address, ViInt32 tmoMs, LinkSlot* slot);
  // Releases the context and everything the link holds. Called at most once,
  // only after a successful open; the result is not examined. The per-link
  // lock is held on links that have one.
  ViStatus (*close)(void* context);
  // Receives up to `count` bytes into `buffer`. Stores the bytes moved
  // through `retCount` when it is not null; VI_SUCCESS means at least one
  // byte for a request of one or more. Blocks up to the link timeout.
  ViStatus (*read)(void* context, void* buffer, ViInt32 count, ViInt32* retCount);
  // Sends up to `count` bytes; same count and success conventions as read.
  ViStatus (*write)(void* context, const void* buffer, ViInt32 count, ViInt32* retCount);
  // Sets the link timeout in milliseconds for later transfers.
  ViStatus (*setTimeout)(void* context, ViInt32 tmoMs);
  // Clears the device side of the link; never blocks for long.
  ViStatus (*clear)(void* context);
  // Interrupts the calls in progress on the link without releasing the
  // context, for a close that must not wait on a blocked call. Called from
  // the closing thread while other threads may be inside read, write,
  // setTimeout or clear on the same context. It is sticky: those calls
  // return promptly with a failure, and so does every later one, until
  // close. VISA closes the device session, which ends the calls blocked in
  // the VISA library as soon as that library lets them go. No lock held.
  void (*abort)(void* context);

  // The IEEE 488 controls. A route that cannot do one answers
  // VI_ERROR_NSUP_OPER and does nothing (bind the vx_transport_nsup_*
  // functions below), never a success. The per-link lock is held on links
  // that have one; each may block up to the link timeout.
  // Reads the status byte (a serial poll) into *stb, written only on
  // success.
  ViStatus (*readStb)(void* context, ViUInt16* stb);
  // Sends the device trigger (IEEE 488.1 GET; VXI-11 device_trigger).
  ViStatus (*trigger)(void* context);
  // Remote, local or lockout: `mode` is one of VISA's seven REN modes
  // (VI_GPIB_REN_*, checked by the caller).
  ViStatus (*remote)(void* context, ViUInt16 mode);

  // Marks the end of the message the writes since the last end have made,
  // for a caller that knows it (a block's last data byte). Message routes
  // (VXI-11 END, HiSLIP DataEnd) put it on the last byte written, which
  // they hold back for this; a write that ends in a line feed already ends
  // its message. Byte-stream routes have no message end to send and bind
  // vx_transport_stream_end. The per-link lock is held.
  ViStatus (*endMessage)(void* context);
  // Sends bytes of a message that goes on after them (a block's data before
  // its last byte): as write, but on a message route even a last byte that
  // is a line feed does not end the message; endMessage or a later write
  // ends it. Byte streams bind their write.
  ViStatus (*writeMore)(void* context, const void* buffer, ViInt32 count, ViInt32* retCount);

  // The exclusive lock on the instrument: lock waits up to `tmoMs` (0: not
  // at all) while another client holds it, VI_ERROR_RSRC_LOCKED when it
  // was not given; unlock gives it back. A route without locks binds the
  // vx_transport_nsup_* functions. The per-link lock is held.
  ViStatus (*lock)(void* context, ViInt32 tmoMs);
  ViStatus (*unlock)(void* context);

  // Service requests: on, the transport posts every request of the
  // instrument to `sink` from then on; off (sink null), it stops, and no
  // post runs once it returns. close stops them too, before it returns.
  // Enabling twice, or stopping what never started, succeeds. A route or
  // device without service requests binds vx_transport_nsup_srq. The
  // per-link lock is held.
  ViStatus (*srqEnable)(void* context, SrqSink* sink);
};

inline ViStatus vx_transport_nsup_readstb(void*, ViUInt16*) { return VI_ERROR_NSUP_OPER; }
inline ViStatus vx_transport_nsup_trigger(void*) { return VI_ERROR_NSUP_OPER; }
inline ViStatus vx_transport_nsup_remote(void*, ViUInt16) { return VI_ERROR_NSUP_OPER; }
inline ViStatus vx_transport_nsup_lock(void*, ViInt32) { return VI_ERROR_NSUP_OPER; }
inline ViStatus vx_transport_nsup_unlock(void*) { return VI_ERROR_NSUP_OPER; }
inline ViStatus vx_transport_nsup_srq(void*, SrqSink*) { return VI_ERROR_NSUP_OPER; }
// On a byte stream the bytes already sent are the whole message.
inline ViStatus vx_transport_stream_end(void*) { return VI_SUCCESS; }

#endif
