// Helpers of the suites that use the exported calls only.
#ifndef VX_API_UTIL_H
#define VX_API_UTIL_H

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "test_support.h"
#include "vx_comm.h"

inline std::string sim_addr(size_t i = 0) { return vx_test_addrs().at(i); }

inline ViInt32 open_link(const std::string& address) {
  ViInt32 id = -7;
  EXPECT_EQ(VI_SUCCESS, vx_comm_open(address.c_str(), 1000, &id));
  return id;
}

// Sends a command line and returns the reply line (empty on failure).
inline std::string query(ViInt32 id, const std::string& cmd, ViStatus* status = nullptr) {
  char buf[4096];
  ViInt32 n = 0;
  ViStatus s = vx_comm_puts(id, cmd.c_str(), 0, nullptr);
  if (s == VI_SUCCESS) s = vx_comm_gets(id, buf, sizeof buf, &n);
  if (status) *status = s;
  return s == VI_SUCCESS ? std::string(buf, (size_t)n) : std::string();
}

inline double elapsed_ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

// A link to the first simulated instrument, closed after the test.
struct SimLink : ::testing::Test {
  ViInt32 id = -1;
  void SetUp() override {
    id = open_link("TCP-" + sim_addr());
    ASSERT_GT(id, 0) << "is the simulator running? (tests/netns_run.sh --sim ...)";
  }
  void TearDown() override {
    if (id > 0) vx_comm_close(id);
  }
};

#endif
