#include <winsock2.h>
#include <iphlpapi.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "test_support.h"

// Every adapter the system reports must be a loopback one. A query that
// fails (seen once under Wine right after another suite's wineserver ended)
// is asked again a few times before the answer counts as "not isolated";
// an adapter that is not a loopback one is never retried away.
bool vx_test_isolated() {
  const char* flag = getenv("VX_NETNS_ISOLATED");
  if (!flag || strcmp(flag, "1") != 0) return false;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (attempt > 0) Sleep(200);
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buf(size);
    ULONG rc = GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, (IP_ADAPTER_ADDRESSES*)buf.data(), &size);
    if (rc == ERROR_BUFFER_OVERFLOW) {
      buf.resize(size);
      rc = GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, (IP_ADAPTER_ADDRESSES*)buf.data(), &size);
    }
    if (rc == ERROR_NO_DATA) return true;
    if (rc != NO_ERROR) {
      fprintf(stderr, "isolation check: GetAdaptersAddresses failed (%lu)\n", (unsigned long)rc);
      continue;
    }
    for (IP_ADAPTER_ADDRESSES* a = (IP_ADAPTER_ADDRESSES*)buf.data(); a; a = a->Next) {
      if (a->IfType != IF_TYPE_SOFTWARE_LOOPBACK) {
        fprintf(stderr, "isolation check: adapter of type %lu is not a loopback one\n", (unsigned long)a->IfType);
        return false;
      }
    }
    return true;
  }
  return false;
}

std::string vx_test_usb_serial(const std::string& serial) {
  std::string out = serial;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  return out;
}
