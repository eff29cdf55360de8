// Which transport serves an address: the one choice vx_comm_open leaves to
// transport/, so that link/ knows nothing of addresses or protocols.
#ifndef VX_TRANSPORT_ROUTE_H
#define VX_TRANSPORT_ROUTE_H

#include "transport/transport.h"

struct TransportRoute {
  // The table to bind; null when nothing serves the address (`refusal`
  // then says why, for the call log).
  const TransportOps* ops;
  // The text handed to ops->open: the address after a "TCP-" prefix, the
  // whole address otherwise (a native VISA route reads the resource name
  // again with vx_rname_parse).
  const char* address;
  // Calls on the link take the per-link lock (direct USB links).
  bool perLinkLock;
  const char* refusal;
};

// "TCP-" and an IPv4 address, or text starting with a digit: TCP, port 18.
// "USB-" and a serial: direct USB. Anything else is a VISA resource name:
// with a usable VISA library loaded it goes to that library unchanged;
// without one, the names the library serves itself open natively
// (TCPIP::host::port::SOCKET over the TCP transport, hislipN INSTR over
// HiSLIP, other TCPIP INSTR over VXI-11) and every other name is refused.
// Prefixes are case-sensitive, as they always were; resource names are
// not.
void vx_route_choose(const char* address, TransportRoute* route);
// The library's own route for a TCPIP resource name, whether or not a VISA
// library is loaded (the mDNS search's identification).
void vx_route_choose_native(const char* name, TransportRoute* route);

#endif
