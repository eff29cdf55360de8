// The LAN transports' host lookup and its log lines (see host_address.h).
#include "transport/host_address.h"

#include <cstring>

#include "common/ipv4.h"
#include "log/call_log.h"
#include "platform/resolve.h"
#include "transport/resource_name.h"

bool vx_host_address(const char* host, uint32_t waitMs, vxp_address* addr) {
  uint32_t v4;
  if (vx_ipv4_parse(host, &v4)) {
    *addr = vxp_address_v4(v4);
    return true;
  }
  // A fully qualified name's final dot ("scope.lab.") is asked without it:
  // hosts files hold their names so, and a name server answers the same.
  char bare[VX_RNAME_HOST_SIZE];
  const size_t len = strnlen(host, sizeof bare);
  if (len > 1 && len < sizeof bare && host[len - 1] == '.' && !strchr(host, ':')) {
    memcpy(bare, host, len - 1);
    bare[len - 1] = '\0';
    host = bare;
  }
  vxp_resolve_result rc = vxp_resolve_host(host, waitMs, addr);
  if (rc == VXP_RESOLVED) return true;
  if (rc == VXP_RESOLVE_FAILED && strchr(host, ':'))
    writeLog("vx_comm_open() error: '%s' is no IPv6 address this system can use (a zone after '%%' must name one of "
             "its network interfaces)\n",
             host);
  else if (rc == VXP_RESOLVE_TIMED_OUT)
    writeLog("vx_comm_open() error: no address for host name '%s' within %u ms\n", host, (unsigned)waitMs);
  else if (rc == VXP_RESOLVE_BUSY)
    writeLog("vx_comm_open() error: host name '%s' not looked up: %d earlier lookups still wait for an answer\n", host,
             VXP_RESOLVE_PENDING_MAX);
  else
    writeLog("vx_comm_open() error: host name '%s' has no IPv4 or IPv6 address\n", host);
  return false;
}
