// Raw TCP: no framing of its own. vx_tcp_ops opens an instrument's IPv4
// address on port 18 ("TCP-" and bare dotted addresses); vx_tcp_socket_ops
// opens a TCPIP[board]::host::port::SOCKET resource name (a dotted address
// or a host name, any port) and is the same transport from then on.
#ifndef VX_TCP_TRANSPORT_H
#define VX_TCP_TRANSPORT_H

#include "transport/transport.h"

extern const TransportOps vx_tcp_ops;
extern const TransportOps vx_tcp_socket_ops;

#endif
