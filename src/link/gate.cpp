#include "link/gate.h"

#include "platform/clock.h"

namespace {

// The state sits in the low two bits, the hand-off mark in the next, and
// the number of calls inside above them, so that "is it open?" and "count me
// in" are one compare-and-swap, and the closer sees the count fall to zero
// in the same word.
enum : uint32_t { CLOSED = 0, OPENING = 1, OPEN = 2, CLOSING = 3 };
const uint32_t kStateMask = 3u;
const uint32_t kHandedOff = 4u;
const uint32_t kOneCall = 8u;
const uint32_t kCallMask = ~(kStateMask | kHandedOff);

uint32_t state_of(uint32_t w) { return w & kStateMask; }

bool move(vx_gate* g, uint32_t from, uint32_t to) {
  uint32_t w = g->word.load(std::memory_order_acquire);
  do {
    if (state_of(w) != from) return false;
  } while (!g->word.compare_exchange_weak(w, (w & ~kStateMask) | to, std::memory_order_acq_rel,
                                          std::memory_order_acquire));
  return true;
}

}  // namespace

bool vx_gate_reserve(vx_gate* g) { return move(g, CLOSED, OPENING); }
void vx_gate_open(vx_gate* g) { move(g, OPENING, OPEN); }
void vx_gate_unreserve(vx_gate* g) { move(g, OPENING, CLOSED); }

bool vx_gate_enter(vx_gate* g) {
  uint32_t w = g->word.load(std::memory_order_acquire);
  do {
    if (state_of(w) != OPEN) return false;
  } while (!g->word.compare_exchange_weak(w, w + kOneCall, std::memory_order_acq_rel, std::memory_order_acquire));
  return true;
}

// The last call to leave a close handed off finishes it: one atomic step
// decides, so exactly one of the closer and the leavers does.
bool vx_gate_leave(vx_gate* g) {
  const uint32_t w = g->word.fetch_sub(kOneCall, std::memory_order_acq_rel);
  return state_of(w) == CLOSING && (w & kHandedOff) != 0 && (w & kCallMask) == kOneCall;
}

bool vx_gate_begin_close(vx_gate* g, bool* callsInside) {
  uint32_t w = g->word.load(std::memory_order_acquire);
  do {
    if (state_of(w) != OPEN) return false;
  } while (!g->word.compare_exchange_weak(w, (w & ~kStateMask) | CLOSING, std::memory_order_acq_rel,
                                          std::memory_order_acquire));
  if (callsInside) *callsInside = (w & kCallMask) != 0;
  return true;
}

// The calls inside have been interrupted, so the wait is short; a sleep
// keeps it from burning a core meanwhile.
bool vx_gate_drain(vx_gate* g, uint32_t limitMs) {
  const uint32_t start = vxp_tick_ms();
  for (int spins = 0; g->word.load(std::memory_order_acquire) != CLOSING; ++spins) {
    if (spins >= 50 && vxp_tick_ms() - start >= limitMs) return false;
    vxp_sleep_ms(spins < 50 ? 0 : 1);
  }
  return true;
}

bool vx_gate_hand_off(vx_gate* g) {
  const uint32_t w = g->word.fetch_or(kHandedOff, std::memory_order_acq_rel);
  return (w & kCallMask) == 0;
}

// Drained: no call inside, so the word is CLOSING, perhaps with the mark.
void vx_gate_finish_close(vx_gate* g) { g->word.store(CLOSED, std::memory_order_release); }

bool vx_gate_is_closed(const vx_gate* g) { return state_of(g->word.load(std::memory_order_acquire)) == CLOSED; }
bool vx_gate_is_closing(const vx_gate* g) { return state_of(g->word.load(std::memory_order_acquire)) == CLOSING; }

void vx_gate_reset(vx_gate* g) { g->word.store(CLOSED, std::memory_order_release); }
