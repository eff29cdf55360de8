// Platform layer, host names (and IPv6 literals) to addresses with a time
// limit.
// posix/resolve.cpp and win/resolve.cpp define the same function and the
// build picks one; nothing above platform/ knows which.
#ifndef VX_PLATFORM_RESOLVE_H
#define VX_PLATFORM_RESOLVE_H

#include <cstdint>

#include "platform/net.h"

enum vxp_resolve_result {
  VXP_RESOLVED,
  VXP_RESOLVE_FAILED,     // no such name, no address for it, or a literal not understood
  VXP_RESOLVE_TIMED_OUT,  // no answer within the time given
  VXP_RESOLVE_BUSY,       // too many earlier lookups still wait on the resolver
};

// The system's resolver (hosts file, DNS, ...) asked for the first IPv4
// address of `host`, or its first IPv6 address when it has none; text with
// a ':' is read as an IPv6 literal (a zone after '%', "fe80::1%eth0").
// *addr receives the address. `ms` > 0: the
// lookup runs on a worker thread and the caller waits at most that long,
// since the resolver itself may wait on an unreachable name server for tens
// of seconds; a lookup given up on ends on its own, and at most
// VXP_RESOLVE_PENDING_MAX of them are left running at once. `ms` 0: the
// lookup runs on the caller's thread without a limit of its own. The
// library stays loaded while a worker runs. Callers pass only names the
// resource name reader accepted; dotted IPv4 numbers are read by
// vx_ipv4_parse, never here.
#define VXP_RESOLVE_PENDING_MAX 8
vxp_resolve_result vxp_resolve_host(const char* host, uint32_t ms, vxp_address* addr);

#endif
