// Portmapper GETPORT, over TCP and as a datagram.
#include "transport/vxi11/portmap.h"

#include "platform/clock.h"

namespace {

const uint32_t kPortmapProg = 100000;
const uint32_t kPortmapVers = 2;
const uint32_t kGetPort = 3;
const uint32_t kProtoTcp = 6;
const size_t kReplyLimit = 1024;
const size_t kGetPortReply = 28;  // xid, REPLY, MSG_ACCEPTED, empty verifier (2), SUCCESS, port

void put_args(XdrWriter* w, uint32_t prog, uint32_t vers) {
  vx_xdr_put(w, prog);
  vx_xdr_put(w, vers);
  vx_xdr_put(w, kProtoTcp);
  vx_xdr_put(w, 0);
}

// A port word of a GETPORT reply; false when it cannot be one.
bool take_port(XdrReader* results, uint16_t* port) {
  const uint32_t value = vx_xdr_get(results);
  if (!results->ok || value > 65535) return false;
  *port = (uint16_t)value;
  return true;
}

}  // namespace

RpcStatus vx_portmap_getport(const vxp_address& addr, uint32_t prog, uint32_t vers, uint32_t waitMs, uint16_t* port) {
  *port = 0;
  const uint32_t start = vxp_tick_ms();
  RpcChannel ch;
  bool timedOut = false;
  if (!vx_rpc_channel_connect(&ch, addr, VX_PORTMAP_PORT, waitMs, &timedOut)) return timedOut ? RPC_TIMED_OUT : RPC_LOST;
  uint8_t args[16];
  XdrWriter w = vx_xdr_writer(args, sizeof args);
  put_args(&w, prog, vers);
  uint32_t left = 0;
  if (waitMs != 0) {
    const uint32_t spent = vxp_tick_ms() - start;
    left = spent >= waitMs ? 1 : waitMs - spent;
  }
  // Some instruments' portmappers send their reply without the
  // last-fragment bit; a successful one is 28 bytes, and complete then.
  const RpcCall call{kPortmapProg, kPortmapVers, kGetPort, args, w.length, nullptr, 0, left, kReplyLimit, kGetPortReply};
  XdrReader results;
  RpcStatus st = vx_rpc_call(&ch, &call, &results);
  if (st == RPC_OK && !take_port(&results, port)) st = RPC_LOST;
  vx_rpc_channel_close(&ch);
  return st;
}

void vx_portmap_request(uint8_t out[VX_PORTMAP_REQUEST_SIZE], uint32_t xid, uint32_t prog, uint32_t vers) {
  vx_rpc_put_call_header(out, xid, kPortmapProg, kPortmapVers, kGetPort);
  XdrWriter w = vx_xdr_writer(out + VX_RPC_CALL_HEADER, 16);
  put_args(&w, prog, vers);
}

bool vx_portmap_reply_port(const uint8_t* datagram, size_t length, uint32_t xid, uint16_t* port) {
  XdrReader results;
  if (vx_rpc_take_reply(datagram, length, xid, &results) != RPC_REPLY_OK) return false;
  return take_port(&results, port) && *port != 0;
}
