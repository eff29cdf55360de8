// Behaviour of the platform layer that the shared code relies on, checked the
// same way on Linux and on Windows.
#include "platform/clock.h"
#include "platform/mutex.h"
#include "platform/named_mutex.h"
#include "platform/net.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

// The clocks count milliseconds: the wall clock since 1970 as the C
// library's time() does, the tick the same intervals as the wall clock, and
// a sleep lasts what it was asked for.
TEST(Platform, ClocksCountMilliseconds) {
  const int64_t before = (int64_t)time(nullptr);
  const int64_t wall0 = vxp_wall_ms();
  const uint32_t tick0 = vxp_tick_ms();
  vxp_sleep_ms(50);
  const uint32_t tick1 = vxp_tick_ms();
  const int64_t wall1 = vxp_wall_ms();
  const int64_t after = (int64_t)time(nullptr);
  // A second of slack either way: time() may read a coarser clock.
  EXPECT_GE(wall0, (before - 1) * 1000);
  EXPECT_LT(wall1, (after + 2) * 1000);
  const int64_t wallElapsed = wall1 - wall0;
  const int64_t tickElapsed = (int64_t)(uint32_t)(tick1 - tick0);
  EXPECT_GE(wallElapsed, 40);  // Wine's clocks may be a few ms short
  // Windows' tick moves in steps of up to 16 ms, and a busy machine may
  // preempt between the readings; a wrong unit is off by far more.
  EXPECT_LT(tickElapsed > wallElapsed ? tickElapsed - wallElapsed : wallElapsed - tickElapsed, 100);
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
