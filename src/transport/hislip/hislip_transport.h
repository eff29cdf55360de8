// HiSLIP links (IVI-6.1, TCPIP[board]::host::hislipN[,port]::INSTR): a
// synchronous and an asynchronous connection to the instrument's HiSLIP
// port, 4880 unless the name gives another.
#ifndef VX_HISLIP_TRANSPORT_H
#define VX_HISLIP_TRANSPORT_H

#include "transport/transport.h"

extern const TransportOps vx_hislip_ops;

#endif
