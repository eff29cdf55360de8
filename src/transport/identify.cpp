// The identification of a found instrument: the same open, write and read a
// caller's link would use, each step bounded by what is left of the time.
#include "transport/identify.h"

#include <cstring>

#include "link/link_table.h"
#include "platform/clock.h"
#include "transport/route.h"

namespace {

// Milliseconds left of waitMs since start; 0 when none.
uint32_t left_of(uint32_t start, uint32_t waitMs) {
  const uint32_t spent = vxp_tick_ms() - start;
  return spent >= waitMs ? 0 : waitMs - spent;
}

// The open with its wait capped at waitMs, the 3 s floor of a caller's open
// left out.
ViStatus open_within(const TransportOps* ops, const char* address, uint32_t waitMs, LinkSlot* slot) {
  const uint32_t before = vx_open_cap_ms;
  vx_open_cap_ms = waitMs;
  const ViStatus s = ops->open(address, (ViInt32)(waitMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : waitMs), slot);
  vx_open_cap_ms = before;
  return s;
}

// One line into reply: reads until a line feed (a message route also ends
// its reply there) while time is left. False when none came whole.
bool read_line(const TransportOps* ops, void* context, uint32_t start, uint32_t waitMs, char* reply, size_t size) {
  size_t have = 0;
  for (;;) {
    const uint32_t left = left_of(start, waitMs);
    if (left == 0 || have + 1 >= size) return false;
    if (ops->setTimeout(context, (ViInt32)left) != VI_SUCCESS) return false;
    ViInt32 got = 0;
    if (ops->read(context, reply + have, (ViInt32)(size - 1 - have), &got) != VI_SUCCESS || got <= 0) return false;
    have += (size_t)got;  // at most what was asked
    reply[have] = '\0';
    char* end = static_cast<char*>(memchr(reply, '\n', have));
    if (end) {
      if (end > reply && end[-1] == '\r') --end;
      *end = '\0';
      return true;
    }
  }
}

}  // namespace

bool vx_transport_identify(IdentifyCall* call, const char* name, uint32_t waitMs, char* reply, size_t size) {
  if (!reply || size < 2 || waitMs == 0) return false;
  reply[0] = '\0';
  const uint32_t start = vxp_tick_ms();
  TransportRoute route;
  vx_route_choose_native(name, &route);
  if (!route.ops) return false;
  const TransportOps* ops = route.ops;
  LinkSlot slot;
  slot.context = nullptr;
  if (open_within(ops, route.address, waitMs, &slot) != VI_SUCCESS || !slot.context) return false;
  {
    std::lock_guard<std::mutex> hold(call->lock);
    call->ops = ops;
    call->context = slot.context;
    if (call->cut) ops->abort(slot.context);
  }
  static const char kIdentify[] = "*IDN?\n";
  ViInt32 sent = 0;
  uint32_t left = left_of(start, waitMs);
  const bool ok = left > 0 && ops->setTimeout(slot.context, (ViInt32)left) == VI_SUCCESS &&
                  ops->write(slot.context, kIdentify, (ViInt32)(sizeof kIdentify - 1), &sent) == VI_SUCCESS &&
                  sent == (ViInt32)(sizeof kIdentify - 1) && read_line(ops, slot.context, start, waitMs, reply, size);
  {
    std::lock_guard<std::mutex> hold(call->lock);
    call->context = nullptr;
    // Out of time, the close says goodbye to nobody: its exchanges would
    // wait on an instrument that has not answered so far.
    if (call->cut || left_of(start, waitMs) == 0) ops->abort(slot.context);
  }
  ops->close(slot.context);
  if (!ok) reply[0] = '\0';
  return ok;
}

void vx_transport_identify_cut(IdentifyCall* call) {
  std::lock_guard<std::mutex> hold(call->lock);
  call->cut = true;
  if (call->context) call->ops->abort(call->context);
}
