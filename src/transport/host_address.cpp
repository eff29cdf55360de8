// The LAN transports' host lookup and its log lines (see host_address.h).
#include "transport/host_address.h"

#include "common/ipv4.h"
#include "log/call_log.h"
#include "platform/resolve.h"

bool vx_host_address(const char* host, uint32_t waitMs, uint32_t* addr) {
  if (vx_ipv4_parse(host, addr)) return true;
  vxp_resolve_result rc = vxp_resolve_ipv4(host, waitMs, addr);
  if (rc == VXP_RESOLVED) return true;
  if (rc == VXP_RESOLVE_TIMED_OUT)
    writeLog("vx_comm_open() error: no address for host name '%s' within %u ms\n", host, (unsigned)waitMs);
  else if (rc == VXP_RESOLVE_BUSY)
    writeLog("vx_comm_open() error: host name '%s' not looked up: %d earlier lookups still wait for an answer\n", host,
             VXP_RESOLVE_PENDING_MAX);
  else
    writeLog("vx_comm_open() error: host name '%s' has no IPv4 address\n", host);
  return false;
}
