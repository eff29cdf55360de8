#include "link/srq_queue.h"

#include <chrono>

void vx_srq_post(SrqSink* sink, int stb) {
  vx_srq_queue* q = static_cast<vx_srq_queue*>(sink->owner);
  {
    std::lock_guard<std::mutex> hold(q->m);
    if (!q->collecting || q->closing) return;
    if (q->count == VX_SRQ_QUEUE_LENGTH) {
      if (q->dropped < INT32_MAX) ++q->dropped;
      return;
    }
    q->ring[(q->head + q->count) % VX_SRQ_QUEUE_LENGTH] = (int16_t)(stb < 0 || stb > 255 ? -1 : stb);
    ++q->count;
  }
  q->cv.notify_all();
}

void vx_srq_collect(vx_srq_queue* q, bool on) {
  {
    std::lock_guard<std::mutex> hold(q->m);
    q->collecting = on;
    if (!on) {
      q->head = q->count = 0;
      q->dropped = 0;
    }
  }
  if (!on) q->cv.notify_all();
}

bool vx_srq_collecting(vx_srq_queue* q) {
  std::lock_guard<std::mutex> hold(q->m);
  return q->collecting;
}

ViStatus vx_srq_wait(vx_srq_queue* q, ViInt32 tmoMs, int* stb, ViInt32* dropped) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(tmoMs < 0 ? 0 : tmoMs);
  std::unique_lock<std::mutex> hold(q->m);
  const uint32_t clears = q->clears;
  for (;;) {
    if (q->closing) return VI_ERROR_CONN_LOST;
    if (!q->collecting) return VI_ERROR_NENABLED;
    if (q->clears != clears) return VI_ERROR_ABORT;
    if (q->count > 0) {
      *stb = q->ring[q->head];
      q->head = (q->head + 1) % VX_SRQ_QUEUE_LENGTH;
      --q->count;
      *dropped = (ViInt32)q->dropped;
      q->dropped = 0;
      return VI_SUCCESS;
    }
    if (tmoMs < 0) {
      q->cv.wait(hold);
    } else {
      // Checked on every pass: a wake-up for another waiter does not
      // stretch this one's limit.
      if (Clock::now() >= deadline) return VI_ERROR_TMO;
      q->cv.wait_until(hold, deadline);
    }
  }
}

void vx_srq_interrupt(vx_srq_queue* q) {
  {
    std::lock_guard<std::mutex> hold(q->m);
    ++q->clears;
  }
  q->cv.notify_all();
}

void vx_srq_close(vx_srq_queue* q) {
  {
    std::lock_guard<std::mutex> hold(q->m);
    q->closing = true;
  }
  q->cv.notify_all();
}

void vx_srq_reset(vx_srq_queue* q) {
  std::lock_guard<std::mutex> hold(q->m);
  q->collecting = false;
  q->closing = false;
  q->head = q->count = 0;
  q->dropped = 0;
}
