// Raw transfers, clear and timeout over the fake transport.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_transport.h"
#include "link/link_table.h"
#include "test_support.h"

namespace {

struct Raw : ::testing::Test {
  FakeLink fake;
  ViInt32 id = -1;
  void SetUp() override { id = fake_attach(&fake); }
  void TearDown() override { vx_comm_close(id); }
};

TEST_F(Raw, BlockingReadStopsAtTheFirstFailureWithTheBytesSoFar) {
  fake.script(std::string(40, 'a'));
  fake.script(std::string(40, 'b'));
  fake.fail(VI_ERROR_TMO);
  char buf[100];
  ViInt32 n = -1;
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_readBlocking(id, buf, 100, &n));
  EXPECT_EQ(80, n);
  EXPECT_EQ((std::vector<ViInt32>{100, 60, 20}), fake.readCounts);
  EXPECT_EQ(std::string(40, 'a') + std::string(40, 'b'), std::string(buf, 80));
}

TEST_F(Raw, BlockingWriteResumesShortWrites) {
  fake.writeChunk = 3;
  ViInt32 n = 0;
  EXPECT_EQ(VI_SUCCESS, vx_comm_writeBlocking(id, "0123456789", 10, &n));
  EXPECT_EQ(10, n);
  EXPECT_EQ(4u, fake.writes.size());
  EXPECT_EQ("0123456789", fake.written());
}

TEST_F(Raw, BlockingTransfersOfNothingCallNothingAndLeaveRetCount) {
  char buf[4];
  for (ViInt32 count : {0, -1, (ViInt32)0x80000000}) {
    ViInt32 n = 77;
    EXPECT_EQ(VI_SUCCESS, vx_comm_readBlocking(id, buf, count, &n));
    EXPECT_EQ(VI_SUCCESS, vx_comm_writeBlocking(id, buf, count, &n));
    EXPECT_EQ(77, n);
  }
  EXPECT_TRUE(fake.readCounts.empty());
  EXPECT_TRUE(fake.writes.empty());
}

TEST_F(Raw, SingleCallsPassNullCountsThroughAndLogZero) {
  TempLog log("raw");
  vx_usb_startdebug(log.path.c_str());
  EXPECT_EQ(VI_SUCCESS, vx_comm_write(id, "hey", 3, nullptr));
  vx_usb_stopdebug();
  auto lines = log.lines();
  ASSERT_EQ(2u, lines.size());
  std::string tail = ", count=3, retCount=" + vx_test_ptr(nullptr) + ")";
  EXPECT_EQ(0u, lines[0].find("vx_comm_write(linkId=" + std::to_string(id) + ", buffer="));
  EXPECT_EQ(lines[0].size() - tail.size(), lines[0].rfind(tail));
  EXPECT_EQ("vx_comm_write() returns: status=0, retCount=0", lines[1]);
  EXPECT_EQ("hey", fake.written());
}

TEST_F(Raw, ClearEmptiesPendingLineAndBlockStateEvenWhenTheTransportFails) {
  LinkSlot* s = &vx_link_table[id - 1];
  for (ViStatus clearStatus : {VI_SUCCESS, VI_ERROR_SYSTEM_ERROR}) {
    fake.clearStatus = clearStatus;
    fake.script("first\nrest of it\n");
    char buf[64];
    ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, buf, sizeof buf, nullptr));
    ASSERT_NE(nullptr, s->pendingData);
    s->blockSize = 10;
    s->blockConsumed = 4;
    EXPECT_EQ(clearStatus, vx_comm_clear(id));
    EXPECT_EQ(nullptr, s->pendingData);
    EXPECT_EQ(0, s->pendingLength);
    EXPECT_EQ(0, s->blockSize);
    EXPECT_EQ(0, s->blockConsumed);
    // The next line comes from the transport, not from the old reply.
    fake.script("new\n");
    ViInt32 n = 0;
    ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, buf, sizeof buf, &n));
    EXPECT_EQ("new\n", std::string(buf, (size_t)n));
  }
}

TEST_F(Raw, ClearLogsItsInnerStepBetweenLockAndUnlock) {
  FakeLink locked;
  ViInt32 lid = fake_attach(&locked, true);
  std::string p = vx_test_ptr(&vx_link_table[lid - 1]), sid = std::to_string(lid);
  TempLog log("clear");
  vx_usb_startdebug(log.path.c_str());
  EXPECT_EQ(VI_SUCCESS, vx_comm_clear(lid));
  EXPECT_EQ(VI_SUCCESS, vx_comm_setTmoMs(lid, 250));
  vx_usb_stopdebug();
  std::vector<std::string> want = {
      "vx_comm_clear(linkId=" + sid + ")",
      "vx_comm_lock(" + p + ", vx_comm_clear)",
      "vx_comm_clear_async(linkId=" + sid + ")",
      "vx_comm_clear_async() returns: status=0",
      "vx_comm_unlock(" + p + ", vx_comm_clear)",
      "vx_comm_clear() returns: status=0",
      "vx_comm_setTmoMs(linkId=" + sid + ", tmoMs=250)",
      "vx_comm_lock(" + p + ", vx_comm_setTmoMs)",
      "vx_comm_unlock(" + p + ", vx_comm_setTmoMs)",
      "vx_comm_setTmoMs() returns: status=0",
  };
  EXPECT_EQ(want, log.lines());
  EXPECT_EQ(std::vector<ViInt32>{250}, locked.timeouts);
  EXPECT_EQ(1, locked.clearCalls);
  vx_comm_close(lid);
}

}  // namespace
