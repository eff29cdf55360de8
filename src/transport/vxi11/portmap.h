// The portmapper (RFC 1833, version 2) on port 111: GETPORT over TCP for
// the port of a program on one host, and its UDP form, which the search
// broadcasts.
#ifndef VX_VXI11_PORTMAP_H
#define VX_VXI11_PORTMAP_H

#include <cstddef>
#include <cstdint>

#include "transport/vxi11/rpc_client.h"

#define VX_PORTMAP_PORT 111
#define VX_PORTMAP_REQUEST_SIZE (VX_RPC_CALL_HEADER + 16)

// The TCP port of program `prog` version `vers` on `addr` (either family),
// asked within waitMs (0: no limit). RPC_OK with *port 0 when the program
// is not registered.
RpcStatus vx_portmap_getport(const vxp_address& addr, uint32_t prog, uint32_t vers, uint32_t waitMs, uint16_t* port);

// A GETPORT call datagram for the TCP port of prog/vers.
void vx_portmap_request(uint8_t out[VX_PORTMAP_REQUEST_SIZE], uint32_t xid, uint32_t prog, uint32_t vers);
// The port a reply datagram to call `xid` gives; false for anything else,
// or a port of 0 or beyond 65535.
bool vx_portmap_reply_port(const uint8_t* datagram, size_t length, uint32_t xid, uint16_t* port);

#endif
