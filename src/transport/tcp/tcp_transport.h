// Raw TCP to an instrument's IPv4 address, port 18: no framing of its own.
#ifndef VX_TCP_TRANSPORT_H
#define VX_TCP_TRANSPORT_H

#include "transport/transport.h"

extern const TransportOps vx_tcp_ops;

#endif
