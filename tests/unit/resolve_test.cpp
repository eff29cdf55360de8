// Host name lookups with and without a time limit. The test namespace has
// no reachable name server: a name outside the hosts file fails, at once or
// after the resolver's own retries, which the limit cuts short.
#include "platform/resolve.h"

#include <gtest/gtest.h>

#include <chrono>

#include "common/ipv4.h"

namespace {

TEST(Resolve, HostsFileNamesResolveOnTheWorkerAndInline) {
  uint32_t loopback;
  ASSERT_TRUE(vx_ipv4_parse("127.0.0.1", &loopback));
  for (uint32_t ms : {0u, 5000u}) {
    SCOPED_TRACE(ms);
    uint32_t addr = 0;
    EXPECT_EQ(VXP_RESOLVED, vxp_resolve_ipv4("localhost", ms, &addr));
    EXPECT_EQ(loopback, addr);
    EXPECT_EQ(VXP_RESOLVE_FAILED, vxp_resolve_ipv4("", ms, &addr));
  }
}

TEST(Resolve, AnUnknownNameFailsWithinTheLimit) {
  uint32_t addr = 7;
  const auto start = std::chrono::steady_clock::now();
  const vxp_resolve_result rc = vxp_resolve_ipv4("no-such-host.invalid", 300, &addr);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_TRUE(rc == VXP_RESOLVE_FAILED || rc == VXP_RESOLVE_TIMED_OUT) << rc;
  EXPECT_LT(ms.count(), 300 + 1500);
  EXPECT_EQ(7u, addr);
}

}  // namespace
