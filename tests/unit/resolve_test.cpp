// Host name lookups with and without a time limit. The test namespace has
// no reachable name server: a name outside the hosts file fails, at once or
// after the resolver's own retries, which the limit cuts short.
#include "platform/resolve.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

namespace {

TEST(Resolve, HostsFileNamesAndIpv6LiteralsResolveOnTheWorkerAndInline) {
  const uint8_t v4[4] = {127, 0, 0, 1};
  const uint8_t v6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  for (uint32_t ms : {0u, 5000u}) {
    SCOPED_TRACE(ms);
    vxp_address addr{};
    EXPECT_EQ(VXP_RESOLVED, vxp_resolve_host("localhost", ms, &addr));
    EXPECT_EQ(4, addr.family);
    EXPECT_EQ(0, memcmp(v4, addr.bytes, 4));
    EXPECT_EQ(VXP_RESOLVED, vxp_resolve_host("::1", ms, &addr));
    EXPECT_EQ(6, addr.family);
    EXPECT_EQ(0, memcmp(v6, addr.bytes, 16));
    EXPECT_EQ(VXP_RESOLVE_FAILED, vxp_resolve_host("", ms, &addr));
    EXPECT_EQ(VXP_RESOLVE_FAILED, vxp_resolve_host("::1%no-such-card", ms, &addr));
  }
}

TEST(Resolve, AnUnknownNameFailsWithinTheLimit) {
  vxp_address addr{};
  addr.family = 7;
  const auto start = std::chrono::steady_clock::now();
  const vxp_resolve_result rc = vxp_resolve_host("no-such-host.invalid", 300, &addr);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_TRUE(rc == VXP_RESOLVE_FAILED || rc == VXP_RESOLVE_TIMED_OUT) << rc;
  EXPECT_LT(ms.count(), 300 + 1500);
  EXPECT_EQ(7, addr.family);
}

}  // namespace
