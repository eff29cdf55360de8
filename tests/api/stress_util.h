// Helpers of the stress, soak and fault suites (the stress_api test runs
// them against two TCP instruments and 100 USB instruments).
#ifndef VX_STRESS_UTIL_H
#define VX_STRESS_UTIL_H

#include <cstdio>
#include <string>

#include "api_util.h"
#include "pattern.h"

enum class Route { Tcp, Usb };

inline std::string route_name(const ::testing::TestParamInfo<Route>& info) {
  return info.param == Route::Tcp ? "Tcp" : "Usb";
}

// The k-th instrument of the route: TCP alternates between the simulated
// addresses; USB names the simulator's --usb-many instruments.
inline std::string route_address(Route route, int k) {
  if (route == Route::Tcp) return "TCP-" + sim_addr((size_t)k % vx_test_addrs().size());
  char serial[32];
  snprintf(serial, sizeof serial, "USB-VXUSB%013d", k);
  return serial;
}

// The statuses a call may return (VISA ones aside).
inline bool is_library_status(ViStatus s) {
  return s == VI_SUCCESS || s == VI_SUCCESS_MAX_CNT || s == VI_ERROR_TMO || s == VI_ERROR_CONN_LOST ||
         s == VI_ERROR_SYSTEM_ERROR;
}

// True when buf holds pattern positions 0..n-1.
inline bool is_pattern(const uint8_t* buf, size_t n) {
  std::string want(n, '\0');
  vxsim::pattern_fill(0, reinterpret_cast<uint8_t*>(&want[0]), n);
  return n == 0 || want.compare(0, n, reinterpret_cast<const char*>(buf), n) == 0;
}

// No link is left open: the next open gets linkId 1.
inline void expect_table_empty() {
  ViInt32 id = open_link("TCP-" + sim_addr(0));
  EXPECT_EQ(1, id) << "a link was left open";
  if (id > 0) vx_comm_close(id);
}

#endif
