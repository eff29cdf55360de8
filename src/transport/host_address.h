// The host part of a VISA resource name as an address (IPv4 or IPv6), for
// the opens of the LAN transports (SOCKET, VXI-11, HiSLIP).
#ifndef VX_HOST_ADDRESS_H
#define VX_HOST_ADDRESS_H

#include <cstdint>

#include "platform/net.h"

// Dotted numbers as they are; an IPv6 literal (the name reader took off its
// brackets) read by the system; a host name looked up within `waitMs` (0:
// no limit of our own), IPv4 first. On failure writes the open's log line
// saying why (no answer in time, too many lookups pending, no address, a
// literal this system cannot use).
bool vx_host_address(const char* host, uint32_t waitMs, vxp_address* addr);

#endif
