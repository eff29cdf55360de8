// Service requests over the fake transport: what the queue keeps, drops and
// hands over, the serial poll when a notification carried no status byte,
// and the wake-ups of a clear and a close. Arrival on each route is tested
// over the simulator.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fake_transport.h"
#include "test_support.h"

namespace {

void post(FakeLink& fake, int stb) {
  SrqSink* sink = nullptr;
  {
    std::lock_guard<std::mutex> hold(fake.m);
    sink = fake.srqSink;
  }
  ASSERT_NE(nullptr, sink);
  sink->post(sink, stb);
}

TEST(ServiceRequest, QueueKeepsOrderBoundsAndCountsDrops) {
  FakeLink fake;
  fake.stb = 0x61;
  ViInt32 id = fake_attach(&fake);
  ViUInt16 stb = 0;
  ViInt32 dropped = -1;
  EXPECT_EQ(VI_ERROR_NENABLED, vx_comm_waitSrq(id, 0, &stb, &dropped));
  ASSERT_EQ(VI_SUCCESS, vx_comm_enableSrq(id, 1));
  EXPECT_EQ(VI_SUCCESS, vx_comm_enableSrq(id, 1));  // once is enough
  // Three more than the queue holds; the first without a status byte.
  post(fake, -1);
  for (int i = 1; i < VX_SRQ_QUEUE_LENGTH + 3; ++i) post(fake, 0x40 | (i & 0x3F));
  ASSERT_EQ(VI_SUCCESS, vx_comm_waitSrq(id, 0, &stb, &dropped));
  EXPECT_EQ(0x61, stb);  // read by a serial poll
  EXPECT_EQ(3, dropped);
  for (int i = 1; i < VX_SRQ_QUEUE_LENGTH; ++i) {
    ASSERT_EQ(VI_SUCCESS, vx_comm_waitSrq(id, 0, &stb, &dropped));
    EXPECT_EQ(0x40 | (i & 0x3F), stb);
    EXPECT_EQ(0, dropped);
  }
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_waitSrq(id, 20, &stb, &dropped));
  // Disabling forgets what is queued.
  post(fake, 0x41);
  EXPECT_EQ(VI_SUCCESS, vx_comm_enableSrq(id, 0));
  EXPECT_EQ(VI_SUCCESS, vx_comm_enableSrq(id, 1));
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_waitSrq(id, 0, &stb, nullptr));
  EXPECT_EQ((std::vector<std::string>{"srq on", "readStb", "srq off", "srq on"}), fake.controls);
  vx_comm_close(id);
  EXPECT_EQ(nullptr, fake.srqSink);
}

TEST(ServiceRequest, RouteWithoutThemRefusesAndCollectsNothing) {
  FakeLink fake;
  fake.controlStatus = VI_ERROR_NSUP_OPER;
  ViInt32 id = fake_attach(&fake);
  ViUInt16 stb = 0;
  EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_enableSrq(id, 1));
  EXPECT_EQ(VI_ERROR_NENABLED, vx_comm_waitSrq(id, 0, &stb, nullptr));
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_waitSrq(id, 0, nullptr, nullptr));
  vx_comm_close(id);
}

// A wait holds no per-link lock: a write on the same link goes through
// while it waits; then a clear, or a close, ends it at once.
TEST(ServiceRequest, WaitLeavesTheLinkFreeAndEndsOnClearAndClose) {
  struct Row {
    const char* name;
    ViStatus (*end)(ViInt32 id);
    ViStatus expect;
  };
  const Row rows[] = {
      {"clear", vx_comm_clear, VI_ERROR_ABORT},
      {"clear_async", vx_comm_clear_async, VI_ERROR_ABORT},
      {"close", vx_comm_close, VI_ERROR_CONN_LOST},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeLink fake;
    ViInt32 id = fake_attach(&fake, true);
    ASSERT_EQ(VI_SUCCESS, vx_comm_enableSrq(id, 1));
    std::atomic<ViStatus> waited{1};
    std::thread waiter([&] {
      ViUInt16 stb = 0;
      waited = vx_comm_waitSrq(id, 10000, &stb, nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ViInt32 n = 0;
    EXPECT_EQ(VI_SUCCESS, vx_comm_write(id, "X\n", 2, &n));
    EXPECT_EQ(1, waited.load());
    EXPECT_EQ(VI_SUCCESS, row.end(id));
    EXPECT_TRUE(eventually([&] { return waited.load() != 1; }));
    waiter.join();
    EXPECT_EQ(row.expect, waited.load());
    vx_comm_close(id);
  }
}

}  // namespace
