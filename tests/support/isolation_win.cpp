#include <winsock2.h>
#include <iphlpapi.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "test_support.h"

// Every adapter the system reports must be a loopback one.
bool vx_test_isolated() {
  const char* flag = getenv("VX_NETNS_ISOLATED");
  if (!flag || strcmp(flag, "1") != 0) return false;
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buf(size);
  ULONG rc = GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, (IP_ADAPTER_ADDRESSES*)buf.data(), &size);
  if (rc == ERROR_BUFFER_OVERFLOW) {
    buf.resize(size);
    rc = GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, (IP_ADAPTER_ADDRESSES*)buf.data(), &size);
  }
  if (rc == ERROR_NO_DATA) return true;
  if (rc != NO_ERROR) return false;
  for (IP_ADAPTER_ADDRESSES* a = (IP_ADAPTER_ADDRESSES*)buf.data(); a; a = a->Next)
    if (a->IfType != IF_TYPE_SOFTWARE_LOOPBACK) return false;
  return true;
}

std::string vx_test_usb_serial(const std::string& serial) {
  std::string out = serial;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  return out;
}
