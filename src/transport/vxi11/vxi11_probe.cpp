// The VXI-11 search's identification probe: a link of its own to "inst0" on
// the core channel the portmapper named, "*IDN?", one reply, the link
// destroyed; every step within the search's time.
#include <cstring>

#include "platform/clock.h"
#include "transport/vxi11/vxi11_core.h"
#include "transport/vxi11/vxi11_transport.h"

namespace {

// Milliseconds left of waitMs since start, at least 1.
uint32_t left_of(uint32_t start, uint32_t waitMs) {
  const uint32_t spent = vxp_tick_ms() - start;
  return spent >= waitMs ? 1 : waitMs - spent;
}

}  // namespace

Vxi11Probe vx_vxi11_identify(uint32_t addr, uint16_t port, uint32_t waitMs, char* reply, size_t size) {
  if (!reply || size < 2) return VXI11_PROBE_NONE;
  reply[0] = '\0';
  if (waitMs == 0) waitMs = 1;
  const uint32_t start = vxp_tick_ms();
  RpcChannel core;
  bool timedOut;
  if (!vx_rpc_channel_connect(&core, addr, port, waitMs, &timedOut)) return VXI11_PROBE_NONE;
  Vxi11Link link{0, 0, 0};
  Vxi11Result r = vx_vxi11_create_link(&core, "inst0", left_of(start, waitMs), &link);
  // Any answer to create_link, a refusal too, is a VXI-11 instrument's.
  Vxi11Probe found = r.rpc == RPC_OK ? VXI11_PROBE_UNIDENTIFIED : VXI11_PROBE_NONE;
  if (r.rpc == RPC_OK && r.error == VXI11_NO_ERROR) {
    static const uint8_t kIdentify[] = "*IDN?\n";
    uint32_t accepted = 0;
    uint32_t left = left_of(start, waitMs);
    r = vx_vxi11_write(&core, link.lid, kIdentify, sizeof kIdentify - 1, true, left, 0, left, &accepted);
    if (r.rpc == RPC_OK && r.error == VXI11_NO_ERROR && accepted == sizeof kIdentify - 1) {
      const uint8_t* data;
      uint32_t length, reason;
      left = left_of(start, waitMs);
      r = vx_vxi11_read(&core, link.lid, (uint32_t)(size - 1), left, 0, left, &data, &length, &reason);
      // A reply that fills the buffer may have been cut: not used.
      if (r.rpc == RPC_OK && r.error == VXI11_NO_ERROR && length > 0 && length < size - 1) {
        memcpy(reply, data, length);
        reply[length] = '\0';
        found = VXI11_PROBE_IDENTIFIED;
      }
    }
    if (r.rpc == RPC_OK) vx_vxi11_destroy_link(&core, link.lid, left_of(start, waitMs));
  }
  vx_rpc_channel_close(&core);
  return found;
}
