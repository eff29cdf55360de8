// The host part of a VISA resource name as an IPv4 address, for the opens
// of the LAN transports (SOCKET, VXI-11, HiSLIP).
#ifndef VX_HOST_ADDRESS_H
#define VX_HOST_ADDRESS_H

#include <cstdint>

// Dotted numbers as they are; a host name looked up within `waitMs` (0: no
// limit of our own). On failure writes the open's log line saying why
// (no answer in time, too many lookups pending, no IPv4 address).
bool vx_host_address(const char* host, uint32_t waitMs, uint32_t* addr);

#endif
