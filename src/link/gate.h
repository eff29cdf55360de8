// A gate for something that can be closed while other threads call into it;
// each link slot has one. Calls enter and leave; a close shuts the gate to
// new calls, may interrupt the ones inside, and waits until the last has
// left (or hands the rest of the close to it) before what they use is
// released. Lock-free: one atomic word. The loaded VISA library does not
// use it: it has its own counted use (VisaUse, visa_binding.h), which never
// waits.
#ifndef VX_LINK_GATE_H
#define VX_LINK_GATE_H

#include <atomic>
#include <cstdint>

struct vx_gate {
  std::atomic<uint32_t> word{0};  // state and call count; see gate.cpp
};

// CLOSED to OPENING: reserved, not yet open to calls. The caller serialises
// reservations (the link list mutex); false when the gate was not closed.
bool vx_gate_reserve(vx_gate* g);
// OPENING to OPEN (the thing behind it is ready), or back to CLOSED.
void vx_gate_open(vx_gate* g);
void vx_gate_unreserve(vx_gate* g);

// Registers a call; false unless the gate is OPEN. Every true is paired
// with one leave. Leave is true for the last call out of a close that was
// handed off (vx_gate_hand_off): that caller must finish the close.
bool vx_gate_enter(vx_gate* g);
bool vx_gate_leave(vx_gate* g);

// OPEN to CLOSING; only one caller wins, the others get false. *callsInside
// tells the winner whether calls were inside at that moment (none can enter
// after it).
bool vx_gate_begin_close(vx_gate* g, bool* callsInside);
// Waits up to limitMs until no call is inside a CLOSING gate; false when
// calls are still inside.
bool vx_gate_drain(vx_gate* g, uint32_t limitMs);
// After a drain that ran out: leaves the rest of the close to the last call
// inside. True when they all left meanwhile, so the closer finishes itself.
bool vx_gate_hand_off(vx_gate* g);
// CLOSING (drained) to CLOSED.
void vx_gate_finish_close(vx_gate* g);

bool vx_gate_is_closed(const vx_gate* g);   // CLOSED: free to reserve
bool vx_gate_is_closing(const vx_gate* g);  // CLOSING

// Back to CLOSED with no calls, whatever it held (at library attach, on
// the link table's slots).
void vx_gate_reset(vx_gate* g);

#endif
