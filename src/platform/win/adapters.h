// Win32 side of the platform layer, shared by net.cpp and multicast.cpp:
// the system's list of network adapters.
#ifndef VX_PLATFORM_WIN_ADAPTERS_H
#define VX_PLATFORM_WIN_ADAPTERS_H

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <cstdlib>

// The adapters with their unicast addresses of `family` (AF_INET,
// AF_UNSPEC), for free(); null when the system gave none.
inline IP_ADAPTER_ADDRESSES* vxp_win_adapters(ULONG family) {
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  // The list can grow between the sizing call and the real one: a few tries.
  ULONG size = 16 * 1024;
  IP_ADAPTER_ADDRESSES* list = nullptr;
  ULONG rc = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
    free(list);
    list = (IP_ADAPTER_ADDRESSES*)malloc(size);
    if (!list) return nullptr;
    rc = GetAdaptersAddresses(family, flags, nullptr, list, &size);
  }
  if (rc != NO_ERROR) {
    free(list);
    return nullptr;
  }
  return list;
}

#endif
