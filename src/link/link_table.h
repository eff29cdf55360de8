// The process-wide Link table: 100 fixed slots, a linkId being the slot
// index plus one, the per-link lock, and the guard that keeps a closing link
// from being freed under a call still running on it.
#ifndef VX_LINK_TABLE_H
#define VX_LINK_TABLE_H

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "link/gate.h"
#include "link/srq_queue.h"
#include "platform/mutex.h"
#include "transport/transport.h"
#include "vx_comm.h"

#define VX_LINK_COUNT 100

struct LinkSlot {
  void* context;  // the transport's own record; null while no transport owns one
  TransportOps ops;
  uint8_t* pendingData;  // PendingLine: stream bytes after the last line delivered
  int32_t pendingLength;
  int32_t blockSize;  // BlockState of the block being read
  int32_t blockConsumed;
  // Data bytes a vx_comm_writeBlockSize announced that the caller's raw
  // writes have not sent yet; no message ends before the last of them.
  int32_t blockOwed;
  int32_t useLock;  // 1: calls take the per-link lock (direct USB links)
  vxp_mutex* lockMutex;

  // Closed while the slot is free. It leaves that state only under the link
  // list mutex, so two opens never choose the same slot, and stays reserved
  // (taken, not yet a valid link) for the whole connection attempt. While
  // open it counts the calls in progress, which close interrupts and waits
  // for before it releases the context.
  vx_gate gate;
  // Guards PendingLine and BlockState against the unlocked clear and against
  // calls from several threads on links without a per-link lock.
  std::mutex stateLock;
  // The service requests received and not yet waited for.
  vx_srq_queue srq;
};

extern LinkSlot vx_link_table[VX_LINK_COUNT];

// The link list mutex; held only while a slot passes between free and taken.
void vx_link_list_lock();
void vx_link_list_unlock();

// Validates linkId and registers a call on the slot; null when the linkId is
// out of range, the slot is not open, or its close has begun. Every non-null
// result is paired with vx_link_leave. Takes no mutex.
LinkSlot* vx_link_enter(ViInt32 linkId);
void vx_link_leave(LinkSlot* slot);

// The end of a close: the transport's close, then the slot back to free.
// Run by the close, or by the last call to leave when the close handed it
// off (only the close itself writes the log lines of this part).
void vx_link_finish_close(LinkSlot* slot, bool logged);

// linkId of a slot (index plus one).
ViInt32 vx_link_id(const LinkSlot* slot);

// True while any slot is taken (opening, open or closing).
bool vx_link_any_taken();

// True once the close of the link has begun.
bool vx_link_closing(const LinkSlot* slot);

// The status an export reports for `status`: a failure of a call that a
// close interrupted (the link is closing) is VI_ERROR_CONN_LOST.
ViStatus vx_link_outcome(const LinkSlot* slot, ViStatus status);

// The per-link lock; no-ops on links without one. `name` is the export's
// name for the log lines.
void vx_link_lock(LinkSlot* slot, const char* name);
void vx_link_unlock(LinkSlot* slot, const char* name);

// Heap buffers a link keeps (the PendingLine) come from here, so that tests
// can make an allocation fail; malloc by default, released with free.
extern void* (*vx_link_alloc)(size_t size);

// Releases the PendingLine and zeroes the BlockState and blockOwed (caller
// holds stateLock).
void vx_link_reset_state(LinkSlot* slot);

#endif
