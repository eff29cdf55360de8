// Platform layer, host names to IPv4 addresses with a time limit.
// posix/resolve.cpp and win/resolve.cpp define the same function and the
// build picks one; nothing above platform/ knows which.
#ifndef VX_PLATFORM_RESOLVE_H
#define VX_PLATFORM_RESOLVE_H

#include <cstdint>

enum vxp_resolve_result {
  VXP_RESOLVED,
  VXP_RESOLVE_FAILED,     // no such name, or no IPv4 address for it
  VXP_RESOLVE_TIMED_OUT,  // no answer within the time given
  VXP_RESOLVE_BUSY,       // too many earlier lookups still wait on the resolver
};

// The system's resolver (hosts file, DNS, ...) asked for the first IPv4
// address of `host`; *addr receives it in network order. `ms` > 0: the
// lookup runs on a worker thread and the caller waits at most that long,
// since the resolver itself may wait on an unreachable name server for tens
// of seconds; a lookup given up on ends on its own, and at most
// VXP_RESOLVE_PENDING_MAX of them are left running at once. `ms` 0: the
// lookup runs on the caller's thread without a limit of its own. The
// library stays loaded while a worker runs. Callers pass only names the
// resource name reader accepted; numbers are read by vx_ipv4_parse, never
// here.
#define VXP_RESOLVE_PENDING_MAX 8
vxp_resolve_result vxp_resolve_ipv4(const char* host, uint32_t ms, uint32_t* addr);

#endif
