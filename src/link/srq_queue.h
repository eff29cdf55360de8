// A link's service requests between the transport that receives them and
// the caller waiting for them: a bounded queue of status bytes, the count
// of those dropped while it was full, and the wake-ups a clear, a disable
// or a close give to a wait. Each link slot has one.
#ifndef VX_LINK_SRQ_QUEUE_H
#define VX_LINK_SRQ_QUEUE_H

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "transport/transport.h"
#include "vx_comm.h"

struct vx_srq_queue;
// The sink's post: queues the request while collecting.
void vx_srq_post(SrqSink* sink, int stb);

struct vx_srq_queue {
  SrqSink sink{vx_srq_post, this};  // what the transport posts to while collecting
  // One enable or disable at a time (links without a per-link lock too).
  std::mutex switchLock;
  std::mutex m;  // the rest
  std::condition_variable cv;
  bool collecting = false;
  bool closing = false;
  uint32_t clears = 0;  // a wait ends when this moves on
  int16_t ring[VX_SRQ_QUEUE_LENGTH] = {};  // status bytes, -1: none carried
  uint32_t head = 0, count = 0;
  uint32_t dropped = 0;  // since a wait last took one
};

// Starts or stops queueing what the sink receives. Stopping forgets what is
// queued and ends the waits.
void vx_srq_collect(vx_srq_queue* q, bool on);
bool vx_srq_collecting(vx_srq_queue* q);
// Takes the next request into *stb (-1: the notification carried no status
// byte) and the drop count into *dropped, waiting up to tmoMs (negative: no
// limit). VI_ERROR_NENABLED when not collecting, VI_ERROR_TMO, VI_ERROR_ABORT
// after vx_srq_interrupt, VI_ERROR_CONN_LOST after vx_srq_close.
ViStatus vx_srq_wait(vx_srq_queue* q, ViInt32 tmoMs, int* stb, ViInt32* dropped);
// Ends the waits in progress (a clear); what is queued stays.
void vx_srq_interrupt(vx_srq_queue* q);
// Ends the waits in progress and refuses later ones (a close begins).
void vx_srq_close(vx_srq_queue* q);
// Back to empty and not collecting, for the slot's next link.
void vx_srq_reset(vx_srq_queue* q);

#endif
