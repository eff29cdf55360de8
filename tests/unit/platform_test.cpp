// Behaviour of the platform layer that the shared code relies on, checked the
// same way on Linux and on Windows.
#include "platform/clock.h"
#include "platform/dl.h"
#include "platform/mutex.h"
#include "platform/named_mutex.h"
#include "platform/net.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Runs fn(arg) on a fresh thread and waits for it, so that a lock taken there
// is owned by a thread other than the test's.
void run_on_thread(vxp_thread_fn fn, void* arg) {
  vxp_thread* t = vxp_thread_start(fn, arg, 64 * 1024);
  ASSERT_NE(t, nullptr);
  vxp_thread_join(t);
}

struct MutexProbe {
  vxp_mutex* m;
  vxp_lock_result result;
};

void trylock_and_unlock(void* p) {
  MutexProbe* probe = static_cast<MutexProbe*>(p);
  probe->result = vxp_mutex_trylock(probe->m);
  if (probe->result == VXP_LOCKED) vxp_mutex_unlock(probe->m);
}

void trylock_and_keep(void* p) {
  MutexProbe* probe = static_cast<MutexProbe*>(p);
  probe->result = vxp_mutex_trylock(probe->m);
}

vxp_lock_result trylock_elsewhere(vxp_mutex* m) {
  MutexProbe probe = {m, VXP_LOCK_ERROR};
  run_on_thread(trylock_and_unlock, &probe);
  return probe.result;
}

}  // namespace

TEST(Platform, MutexIsRecursive) {
  vxp_mutex* m = vxp_mutex_create();
  ASSERT_NE(m, nullptr);
  ASSERT_TRUE(vxp_mutex_lock(m));
  ASSERT_EQ(vxp_mutex_trylock(m), VXP_LOCKED);
  EXPECT_EQ(trylock_elsewhere(m), VXP_BUSY);
  vxp_mutex_unlock(m);
  EXPECT_EQ(trylock_elsewhere(m), VXP_BUSY);  // one level is still held
  vxp_mutex_unlock(m);
  EXPECT_EQ(trylock_elsewhere(m), VXP_LOCKED);
  vxp_mutex_destroy(m);
}

TEST(Platform, MutexLeftByEndedThreadCanBeTaken) {
  vxp_mutex* m = vxp_mutex_create();
  ASSERT_NE(m, nullptr);
  MutexProbe probe = {m, VXP_LOCK_ERROR};
  run_on_thread(trylock_and_keep, &probe);
  ASSERT_EQ(probe.result, VXP_LOCKED);
  EXPECT_EQ(vxp_mutex_trylock(m), VXP_LOCKED);
  vxp_mutex_unlock(m);
  EXPECT_EQ(trylock_elsewhere(m), VXP_LOCKED);  // and it was really released
  vxp_mutex_destroy(m);
}

namespace {

std::string reservation_name(const char* tag) {
  char name[96];
  snprintf(name, sizeof name, "Global\\vx_test_%s_%lld", tag, (long long)vxp_wall_ms());
  return name;
}

struct ClaimProbe {
  const char* name;
  vxp_named_mutex* m;
};

void claim_on_thread(void* p) {
  ClaimProbe* probe = static_cast<ClaimProbe*>(p);
  probe->m = vxp_named_mutex_claim(probe->name);
}

enum { kClaimed = 0, kRefused = 3 };

}  // namespace

// A device reservation is the existence of the name: it belongs to no
// thread, holds against this and every other process, and ends when any
// thread closes it.
TEST(Platform, NamedMutexIsAReservationAcrossThreadsAndProcesses) {
  std::string name = reservation_name("reserve");
  ClaimProbe first = {name.c_str(), nullptr};
  run_on_thread(claim_on_thread, &first);  // the claiming thread ends here
  ASSERT_NE(first.m, nullptr);

  EXPECT_EQ(vxp_named_mutex_claim(name.c_str()), nullptr);  // same process, another thread
  ClaimProbe again = {name.c_str(), nullptr};
  run_on_thread(claim_on_thread, &again);
  EXPECT_EQ(again.m, nullptr);
  EXPECT_EQ(vx_test_run_self({"--claim", name}), kRefused);

  vxp_named_mutex_release(first.m);  // not the thread that claimed it
  EXPECT_EQ(vx_test_run_self({"--claim", name}), kClaimed);
  vxp_named_mutex* mine = vxp_named_mutex_claim(name.c_str());
  EXPECT_NE(mine, nullptr);
  vxp_named_mutex_release(mine);

  // Names differ only by their text.
  vxp_named_mutex* a = vxp_named_mutex_claim(reservation_name("a").c_str());
  vxp_named_mutex* b = vxp_named_mutex_claim(reservation_name("b").c_str());
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  vxp_named_mutex_release(a);
  vxp_named_mutex_release(b);
}

namespace {

struct StackProbe {
  int seed;
  unsigned sum;
};

// Uses 16 KiB of stack, far beyond the 2 KiB asked for below.
void use_stack(void* p) {
  StackProbe* probe = static_cast<StackProbe*>(p);
  volatile unsigned char buf[16 * 1024];
  for (size_t i = 0; i < sizeof buf; ++i) buf[i] = (unsigned char)(i + (size_t)probe->seed);
  unsigned sum = 0;
  for (size_t i = 0; i < sizeof buf; ++i) sum += buf[i];
  probe->sum = sum;
}

}  // namespace

TEST(Platform, ThreadWithSmallStackRunsOrdinaryCode) {
  StackProbe probe = {3, 0};
  vxp_thread* t = vxp_thread_start(use_stack, &probe, 2048);
  ASSERT_NE(t, nullptr);
  vxp_thread_join(t);
  // Each byte value 0..255 occurs 64 times whatever the seed.
  EXPECT_EQ(probe.sum, 64u * (255u * 256u / 2u));
}

TEST(Platform, TickFollowsSleep) {
  uint32_t start = vxp_tick_ms();
  vxp_sleep_ms(50);
  uint32_t elapsed = vxp_tick_ms() - start;
  // Windows' tick moves in steps of up to 16 ms and Wine's can lag by about
  // as much, so a reading may fall short of the 50 ms really slept.
  EXPECT_GE(elapsed, 30u);
  EXPECT_LT(elapsed, 2000u);  // a busy shared machine, but not a stuck clock
}

TEST(Platform, WallClockIsPlausible) {
  const int64_t year2020 = 1577836800000LL;  // 2020-01-01 UTC
  const int64_t year2100 = 4102444800000LL;
  int64_t now = vxp_wall_ms();
  EXPECT_GT(now, year2020);
  EXPECT_LT(now, year2100);
}

TEST(Platform, AddressText) {
  uint32_t a = vxp_inet_addr("192.168.10.200");
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&a);
  EXPECT_EQ(b[0], 192);  // network order: first octet first
  EXPECT_EQ(b[3], 200);
  EXPECT_EQ(vxp_inet_addr("192.168.1.256"), 0xffffffffu);
  char text[16];
  ASSERT_TRUE(vxp_inet_text(a, text, sizeof text));
  EXPECT_STREQ(text, "192.168.10.200");
  uint32_t widest = vxp_inet_addr("255.255.255.254");
  EXPECT_TRUE(vxp_inet_text(widest, text, 16));
  EXPECT_STREQ(text, "255.255.255.254");
  EXPECT_FALSE(vxp_inet_text(widest, text, 15));  // no room for the NUL
}

namespace {

struct KnownLibrary {
  const char* file;
  const char* symbol;
};

// Whichever system library this platform has; picked at run time so that the
// test needs no conditional compilation.
bool find_system_library(KnownLibrary* out) {
  static const KnownLibrary candidates[] = {{"libc.so.6", "strlen"}, {"kernel32.dll", "GetTickCount"}};
  for (const KnownLibrary& c : candidates) {
    void* lib = vxp_dl_open(c.file);
    if (lib) {
      vxp_dl_close(lib);
      *out = c;
      return true;
    }
  }
  return false;
}

}  // namespace

TEST(Platform, DynamicLoading) {
  EXPECT_EQ(vxp_dl_open("vx_no_such_library_4711.so"), nullptr);
  EXPECT_EQ(vxp_dl_open("vx_no_such_library_4711.dll"), nullptr);
  KnownLibrary known;
  ASSERT_TRUE(find_system_library(&known));
  void* lib = vxp_dl_open(known.file);
  ASSERT_NE(lib, nullptr);
  EXPECT_NE(vxp_dl_sym(lib, known.symbol), nullptr);
  EXPECT_EQ(vxp_dl_sym(lib, "vx_no_such_symbol_4711"), nullptr);
  vxp_dl_close(lib);
}

TEST(Platform, DatagramLongerThanBufferIsRefused) {
  const char* isolated = std::getenv("VX_NETNS_ISOLATED");
  if (!isolated || std::string(isolated) != "1")
    GTEST_SKIP() << "opens sockets; run inside the private network namespace wrapper (VX_NETNS_ISOLATED=1)";
  ASSERT_TRUE(vxp_net_startup());
  const uint32_t loopback = vxp_inet_addr("127.0.0.1");
  const uint16_t port = 39998;
  vxp_socket rx = vxp_udp_socket();
  vxp_socket tx = vxp_udp_socket();
  ASSERT_NE(rx, VXP_BAD_SOCKET);
  ASSERT_NE(tx, VXP_BAD_SOCKET);
  ASSERT_TRUE(vxp_bind(rx, loopback, port));
  ASSERT_TRUE(vxp_set_recv_timeout(rx, 2000));  // a lost datagram must not hang the test
  EXPECT_EQ(vxp_wait_readable(rx, 0), 0);

  unsigned char out[128];
  for (size_t i = 0; i < sizeof out; ++i) out[i] = (unsigned char)(i * 7 + 1);
  unsigned char in[127];
  uint32_t from = 0;

  ASSERT_EQ(vxp_sendto(tx, out, 128, loopback, port), 128);
  EXPECT_EQ(vxp_wait_readable(rx, 2000), 1);
  EXPECT_EQ(vxp_recvfrom(rx, in, sizeof in, &from), -1);

  // The refused datagram is gone; the next one fits exactly.
  ASSERT_EQ(vxp_sendto(tx, out, 127, loopback, port), 127);
  memset(in, 0, sizeof in);
  EXPECT_EQ(vxp_recvfrom(rx, in, sizeof in, &from), 127);
  EXPECT_EQ(from, loopback);
  EXPECT_EQ(memcmp(in, out, sizeof in), 0);

  EXPECT_EQ(vxp_socket_close(tx), 0);
  EXPECT_EQ(vxp_socket_close(rx), 0);
  vxp_net_cleanup();
}
