#include <net/if.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "test_support.h"

// A name of VX_NETNS_OWN_IFACES: an interface the test's own script made
// inside the namespace after netns_run.sh found it holding lo alone.
static bool own_interface(const char* name) {
  const char* own = getenv("VX_NETNS_OWN_IFACES");
  std::istringstream in(own ? own : "");
  std::string each;
  while (in >> each)
    if (each == name) return true;
  return false;
}

bool vx_test_isolated() {
  const char* flag = getenv("VX_NETNS_ISOLATED");
  if (!flag || strcmp(flag, "1") != 0) return false;
  struct if_nameindex* list = if_nameindex();
  if (!list) return false;
  bool others = false;
  bool lo = false;
  for (struct if_nameindex* i = list; i->if_index != 0; ++i) {
    if (strcmp(i->if_name, "lo") == 0)
      lo = true;
    else if (!own_interface(i->if_name))
      others = true;
  }
  if_freenameindex(list);
  return lo && !others;
}

std::string vx_test_usb_serial(const std::string& serial) { return serial; }

bool vx_test_usb_needs_service() { return true; }
