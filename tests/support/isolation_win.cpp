#include <winsock2.h>
#include <iphlpapi.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "test_support.h"

// A name of VX_NETNS_OWN_IFACES: an interface the test's own script made
// inside the namespace after netns_run.sh found it holding lo alone.
static bool own_interface(const wchar_t* name) {
  const char* own = getenv("VX_NETNS_OWN_IFACES");
  if (!own || !name) return false;
  char narrow[256] = "";
  WideCharToMultiByte(CP_UTF8, 0, name, -1, narrow, sizeof narrow, nullptr, nullptr);
  const size_t len = strlen(narrow);
  for (const char* p = own; *p;) {
    const size_t word = strcspn(p, " ");
    if (word == len && len > 0 && strncmp(p, narrow, len) == 0) return true;
    p += word;
    while (*p == ' ') ++p;
  }
  return false;
}

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
      if (a->IfType != IF_TYPE_SOFTWARE_LOOPBACK && !own_interface(a->FriendlyName)) {
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

bool vx_test_usb_needs_service() { return false; }
