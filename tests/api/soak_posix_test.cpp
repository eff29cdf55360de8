// Open/close cycles and repeated searches must hand back every descriptor,
// thread and byte they took. The counts come from the environment so that
// CI runs a short soak and a person the long one:
//   VX_SOAK_CYCLES (default 2000)  open/close cycles per route
//   VX_SOAK_FINDS  (default 30)    USB searches
// The figures are printed ("soak: ...") for the record.
#include <dirent.h>
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "stress_util.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool kSanitized = true;  // the sanitizers' own memory keeps growing
#else
const bool kSanitized = false;
#endif

struct Usage {
  int fds = 0;
  int threads = 0;
  long rssKb = 0;
};

long status_field(const char* name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t n = strlen(name);
  while (std::getline(in, line))
    if (line.compare(0, n, name) == 0) return atol(line.c_str() + n);
  return -1;
}

Usage usage_now() {
  Usage u;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) u.fds++;
    closedir(d);
  }
  u.threads = (int)status_field("Threads:");
  u.rssKb = status_field("VmRSS:");
  return u;
}

// The workers finish in any order, so the entries do too.
std::multiset<std::string> entries(const std::string& list) {
  std::multiset<std::string> out;
  for (size_t at = 0, end; (end = list.find(';', at)) != std::string::npos; at = end + 1)
    out.insert(list.substr(at, end - at));
  return out;
}

int env_count(const char* name, int fallback) {
  const char* v = getenv(name);
  return v && atoi(v) > 0 ? atoi(v) : fallback;
}

// One open and close; every 500th link also answers a query.
void cycle(Route route, int k) {
  ViInt32 id = -1;
  ASSERT_EQ(VI_SUCCESS, vx_comm_open(route_address(route, k % 2).c_str(), 0, &id));
  ASSERT_GT(id, 0) << "cycle " << k;
  if (k % 500 == 0) {
    // A sanitized simulator may still be ending the sessions of the last
    // few hundred cycles: the timeout is an upper bound, not the measure.
    vx_comm_setTmoMs(id, 10000);
    std::string reply = query(id, "ECHO s");
    vx_comm_close(id);
    ASSERT_EQ("s\n", reply);
    return;
  }
  ASSERT_EQ(VI_SUCCESS, vx_comm_close(id));
}

struct OpenClose : ::testing::TestWithParam<Route> {};

TEST_P(OpenClose, CyclesGiveBackEveryDescriptorThreadAndByte) {
  Route route = GetParam();
  const int cycles = env_count("VX_SOAK_CYCLES", 2000);
  for (int k = 0; k < 200; ++k) ASSERT_NO_FATAL_FAILURE(cycle(route, k));  // the allocator settles
  Usage before = usage_now();
  auto start = std::chrono::steady_clock::now();
  for (int k = 0; k < cycles; ++k) ASSERT_NO_FATAL_FAILURE(cycle(route, k));
  double seconds = elapsed_ms(start) / 1000;
  Usage after = usage_now();
  printf("soak: %s %d open/close cycles in %.1f s: fds %d -> %d, threads %d -> %d, RSS %ld -> %ld kB\n",
         route == Route::Tcp ? "TCP" : "USB", cycles, seconds, before.fds, after.fds, before.threads, after.threads,
         before.rssKb, after.rssKb);
  EXPECT_EQ(before.fds, after.fds);
  EXPECT_EQ(before.threads, after.threads);
  // A leak of even 100 bytes a cycle shows over 2000 cycles.
  if (!kSanitized) {
    EXPECT_LT(after.rssKb - before.rssKb, 200 + cycles / 100) << "resident memory grew";
  }
}

TEST_P(OpenClose, MemoryPerOpenLink) {
  Route route = GetParam();
  for (int k = 0; k < 20; ++k) ASSERT_NO_FATAL_FAILURE(cycle(route, k));
  Usage before = usage_now();
  size_t heapBefore = mallinfo2().uordblks;
  std::vector<ViInt32> ids;
  for (int k = 0; k < 100; ++k) {
    ViInt32 id = open_link(route_address(route, k));
    ASSERT_GT(id, 0);
    ids.push_back(id);
  }
  Usage open = usage_now();
  size_t heapOpen = mallinfo2().uordblks;
  for (ViInt32 id : ids) vx_comm_close(id);
  Usage after = usage_now();
  size_t heapAfter = mallinfo2().uordblks;
  printf(
      "soak: 100 %s links: heap %+.0f bytes a link (%+.0f bytes after closing all), RSS %ld -> %ld -> %ld kB, "
      "fds %d -> %d -> %d, threads %d -> %d\n",
      route == Route::Tcp ? "TCP" : "USB", ((double)heapOpen - (double)heapBefore) / 100,
      ((double)heapAfter - (double)heapBefore), before.rssKb, open.rssKb, after.rssKb, before.fds, open.fds, after.fds,
      before.threads, after.threads);
  // TCP: the socket; USB: the bus connection, the wake-up of its wait and
  // the device reservation.
  EXPECT_EQ(before.fds + (route == Route::Tcp ? 100 : 300), open.fds);
  EXPECT_EQ(before.fds, after.fds);
  EXPECT_EQ(before.threads, open.threads);  // the library keeps no thread of its own
}

INSTANTIATE_TEST_SUITE_P(Soak, OpenClose, ::testing::Values(Route::Tcp, Route::Usb), route_name);

// Each USB search starts up to 64 worker threads; none may outlive it.
TEST(Soak, SearchesLeaveNoThreadOrDescriptorBehind) {
  const int finds = env_count("VX_SOAK_FINDS", 30);
  std::vector<char> list(1 << 16);
  ViInt32 n = 0;
  ASSERT_EQ(VI_SUCCESS, vx_comm_find(list.data(), 500, (ViInt32)list.size(), &n, IFACE_USB));
  const std::multiset<std::string> first = entries(list.data());
  ASSERT_FALSE(first.empty()) << "no USB instrument listed (or a link is open)";
  Usage before = usage_now();
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < finds; ++i) {
    ASSERT_EQ(VI_SUCCESS, vx_comm_find(list.data(), 500, (ViInt32)list.size(), &n, IFACE_USB));
    ASSERT_EQ(first, entries(list.data())) << "search " << i;
  }
  Usage after = usage_now();
  printf("soak: %d USB searches of %zu entries each in %.1f s: fds %d -> %d, threads %d -> %d, RSS %ld -> %ld kB\n",
         finds, first.size(), elapsed_ms(start) / 1000, before.fds, after.fds, before.threads, after.threads,
         before.rssKb, after.rssKb);
  EXPECT_EQ(before.fds, after.fds);
  EXPECT_EQ(before.threads, after.threads);
}

}  // namespace
