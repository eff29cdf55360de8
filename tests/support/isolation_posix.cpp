#include <net/if.h>

#include <cstdlib>
#include <cstring>

#include "test_support.h"

bool vx_test_isolated() {
  const char* flag = getenv("VX_NETNS_ISOLATED");
  if (!flag || strcmp(flag, "1") != 0) return false;
  struct if_nameindex* list = if_nameindex();
  if (!list) return false;
  bool onlyLo = true;
  int n = 0;
  for (struct if_nameindex* i = list; i->if_index != 0; ++i, ++n)
    if (strcmp(i->if_name, "lo") != 0) onlyLo = false;
  if_freenameindex(list);
  return onlyLo && n == 1;
}

std::string vx_test_usb_serial(const std::string& serial) { return serial; }
