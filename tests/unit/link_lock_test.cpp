// The per-link lock and the guard that lets close wait for calls in
// progress, over the fake transport.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "fake_transport.h"
#include "link/link_table.h"
#include "test_support.h"

namespace {

struct LockedLink : ::testing::Test {
  FakeLink fake;
  TempLog log{"lock"};
  ViInt32 id = -1;
  std::string p;  // the slot's address as the log prints it
  void SetUp() override {
    id = fake_attach(&fake, true);
    ASSERT_GT(id, 0);
    p = vx_test_ptr(slot_of(id));
    vx_usb_startdebug(log.path.c_str());
  }
  void TearDown() override {
    vx_usb_stopdebug();
    vx_comm_close(id);
  }
  std::string lockLine(const char* name, const char* suffix = "") {
    return "vx_comm_lock(" + p + ", " + name + ")" + suffix;
  }
};

TEST_F(LockedLink, UncontendedCallWritesLockAndUnlockAroundTheWork) {
  ViInt32 n = 0;
  ASSERT_EQ(VI_SUCCESS, vx_comm_write(id, "abc", 3, &n));
  auto lines = log.lines();
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ(lockLine("vx_comm_write"), lines[1]);
  EXPECT_EQ("vx_comm_unlock(" + p + ", vx_comm_write)", lines[2]);
  EXPECT_EQ("vx_comm_write() returns: status=0, retCount=3", lines[3]);
}

TEST_F(LockedLink, SecondThreadWaitsAndLogsItsWait) {
  LinkSlot* s = slot_of(id);
  vx_link_lock(s, "holder");
  std::atomic<bool> done{false};
  std::thread other([&] {
    vx_comm_write(id, "x", 1, nullptr);
    done = true;
  });
  ASSERT_TRUE(eventually([&] { return log.text().find("locked, waiting") != std::string::npos; }));
  {
    std::lock_guard<std::mutex> hold(fake.m);
    EXPECT_TRUE(fake.writes.empty()) << "the waiting call reached the transport";
  }
  EXPECT_FALSE(done);
  vx_link_unlock(s, "holder");
  other.join();
  auto lines = log.lines();
  std::vector<std::string> want = {
      lockLine("holder"),
      "vx_comm_write(linkId=" + std::to_string(id) + ", buffer=",  // prefix checked below
      lockLine("vx_comm_write"),
      lockLine("vx_comm_write", ": locked, waiting"),
      "vx_comm_unlock(" + p + ", holder)",
      lockLine("vx_comm_write", ": got lock after waiting"),
      "vx_comm_unlock(" + p + ", vx_comm_write)",
      "vx_comm_write() returns: status=0, retCount=0",
  };
  ASSERT_EQ(want.size(), lines.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(0u, lines[i].find(want[i])) << lines[i];
}

TEST_F(LockedLink, LockIsRecursiveAndFreedOnlyAfterEveryRelease) {
  LinkSlot* s = slot_of(id);
  vx_link_lock(s, "outer");
  vx_link_lock(s, "inner");
  auto tryFromOther = [&] {
    vxp_lock_result r = VXP_LOCK_ERROR;
    std::thread t([&] {
      r = vxp_mutex_trylock(s->lockMutex);
      if (r == VXP_LOCKED) vxp_mutex_unlock(s->lockMutex);
    });
    t.join();
    return r;
  };
  EXPECT_EQ(VXP_BUSY, tryFromOther());
  vx_link_unlock(s, "inner");
  EXPECT_EQ(VXP_BUSY, tryFromOther());
  vx_link_unlock(s, "outer");
  EXPECT_EQ(VXP_LOCKED, tryFromOther());
  EXPECT_EQ(std::string::npos, log.text().find("waiting"));
}

TEST_F(LockedLink, LockOfAThreadThatEndedIsTakenAsFree) {
  std::thread([&] { vx_link_lock(slot_of(id), "ended"); }).join();
  ASSERT_EQ(VI_SUCCESS, vx_comm_write(id, "z", 1, nullptr));
  EXPECT_EQ(std::string::npos, log.text().find("waiting"));
}

// Close's lines in order, with the lock lines on a locked link only; the
// second close is refused and writes nothing.
TEST(LinkClose, LogsItsLinesInOrderAndOnlyOnce) {
  for (bool useLock : {false, true}) {
    SCOPED_TRACE(useLock ? "locked" : "unlocked");
    FakeLink fake;
    ViInt32 id = fake_attach(&fake, useLock);
    ASSERT_GT(id, 0);
    const std::string p = vx_test_ptr(slot_of(id));
    TempLog log{"close"};
    vx_usb_startdebug(log.path.c_str());
    ASSERT_EQ(VI_SUCCESS, vx_comm_close(id));
    EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_close(id));
    vx_usb_stopdebug();
    std::vector<std::string> want = {"vx_comm_close(linkId=" + std::to_string(id) + ")"};
    if (useLock) {
      want.push_back("vx_comm_lock(" + p + ", vx_comm_close)");
      want.push_back("vx_comm_unlock(" + p + ", vx_comm_close)");
    }
    want.push_back("vx_comm_close(): locking link list mutex");
    want.push_back("vx_comm_close(): got link list mutex");
    want.push_back("vx_comm_close() returns: status is always VI_SUCCESS");
    EXPECT_EQ(want, log.lines());
    EXPECT_EQ(1, fake.closeCalls);
  }
}

// A close interrupts a call in progress and returns within its bound even
// when the call does not end, but never releases the context under it:
// the call that leaves last finishes the close. Calls arriving once the
// close has begun are refused.
void close_never_frees_under_a_call(bool useLock) {
  FakeLink fake;
  std::atomic<bool> inRead{false}, release{false};
  int closesSeenByTheCall = -1;
  fake.onRead = [&] {
    inRead = true;
    for (int i = 0; i < 10000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::lock_guard<std::mutex> hold(fake.m);
    closesSeenByTheCall = fake.closeCalls;
  };
  fake.script("hello");
  ViInt32 id = fake_attach(&fake, useLock);
  ASSERT_GT(id, 0);
  char buf[16];
  ViStatus readStatus = VI_ERROR_SYSTEM_ERROR;
  std::thread reader([&] { readStatus = vx_comm_read(id, buf, sizeof buf, nullptr); });
  ASSERT_TRUE(eventually([&] { return inRead.load(); }));

  std::atomic<bool> closed{false};
  std::thread closer([&] {
    vx_comm_close(id);
    closed = true;
  });
  ASSERT_TRUE(eventually([&] { return vx_link_closing(slot_of(id)); }));
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_write(id, "late", 4, nullptr));
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_close(id));
  // This call ignores the interruption; the close still returns.
  EXPECT_TRUE(eventually([&] { return closed.load(); }));
  release = true;
  reader.join();
  closer.join();
  EXPECT_EQ(0, closesSeenByTheCall) << "the context was released under a call";
  EXPECT_EQ(VI_SUCCESS, readStatus);  // a call that ends well keeps its status
  EXPECT_EQ(1, fake.abortCalls);      // the call in progress was interrupted
  EXPECT_EQ(1, fake.closeCalls);      // by the call that left last
  EXPECT_TRUE(fake.writes.empty());
}

TEST(LinkClose, NeverFreesUnderACallOnUnlockedLink) { close_never_frees_under_a_call(false); }
TEST(LinkClose, NeverFreesUnderACallOnLockedLink) { close_never_frees_under_a_call(true); }

TEST(LinkClose, ReleasesAPendingLineStillHeld) {
  FakeLink fake;
  fake.script("one\ntwo\n");
  ViInt32 id = fake_attach(&fake);
  char buf[32];
  ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, buf, sizeof buf, nullptr));
  ASSERT_NE(nullptr, slot_of(id)->pendingData);
  ASSERT_EQ(VI_SUCCESS, vx_comm_close(id));
  EXPECT_EQ(nullptr, slot_of(id)->pendingData);  // and LeakSanitizer finds no leak
  EXPECT_EQ(0, fake.abortCalls);  // an idle link closes as it always did
}

TEST(LinkTable, ManyThreadsOnOneLockedLinkKeepTheirCallsWhole) {
  FakeLink fake;
  ViInt32 id = fake_attach(&fake, true);
  const int threads = 4, rounds = 50;
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      // Long enough that its line feed is a write of its own.
      std::string cmd = "T" + std::to_string(t) + std::string(600, 'x');
      for (int r = 0; r < rounds; ++r) vx_comm_puts(id, cmd.c_str(), 0, nullptr);
    });
  for (auto& t : pool) t.join();
  // Each command and its line feed are two writes that must stay together.
  ASSERT_EQ((size_t)(threads * rounds * 2), fake.writes.size());
  for (size_t i = 0; i < fake.writes.size(); i += 2) {
    EXPECT_EQ('T', fake.writes[i][0]);
    EXPECT_EQ("\n", fake.writes[i + 1]);
  }
  vx_comm_close(id);
}

}  // namespace
