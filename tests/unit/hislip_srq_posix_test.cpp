// The HiSLIP link's reader of the asynchronous channel while service
// requests are collected, against a server played here over socket pairs:
// requests reach the sink and replies their exchange, however they mix.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net.h"
#include "srq_sink.h"
#include "transport/hislip/hislip_link.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string message(uint8_t type, uint8_t control, uint32_t parameter = 0, const std::string& payload = "") {
  uint8_t h[VX_HISLIP_HEADER_SIZE];
  vx_hislip_encode(h, type, control, parameter, payload.size());
  return std::string((const char*)h, sizeof h) + payload;
}
const std::string kRequest = message(HISLIP_ASYNC_SERVICE_REQUEST, 0);

// A link on two socket pairs; the test holds the server's ends.
struct Served {
  HislipLink* l = vx_hislip_new_link();
  int sync = -1, async = -1;
  TestSrqSink sink;

  Served() {
    int s[2], a[2];
    if (!l || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s) != 0) return;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, a) != 0) return;
    l->sync.sock = s[0];
    l->async.sock = a[0];
    sync = s[1];
    async = a[1];
    l->timeoutMs = 2000;
    snprintf(l->peer, sizeof l->peer, "test:4880");
  }
  ~Served() {
    if (l) vx_hislip_free_link(l);
    if (sync >= 0) close(sync);
    if (async >= 0) close(async);
  }
  bool ready() const { return l && async >= 0; }
  void serve(const std::string& bytes) const { ASSERT_EQ((ssize_t)bytes.size(), write(async, bytes.data(), bytes.size())); }
  // The type of the next message the client sent on the asynchronous channel.
  int next_sent() const {
    uint8_t h[VX_HISLIP_HEADER_SIZE];
    struct timeval tv = {3, 0};
    setsockopt(async, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    size_t have = 0;
    while (have < sizeof h) {
      ssize_t n = read(async, h + have, sizeof h - have);
      if (n <= 0) return -1;
      have += (size_t)n;
    }
    HislipHeader d;
    return vx_hislip_decode(h, &d) && d.length == 0 ? d.type : -1;
  }
};

// Requests before, between and after the replies of each exchange reach the
// sink; the reply, or the Error the server sends instead, its exchange.
TEST(HislipSrq, RequestsAndRepliesMixedOnTheAsynchronousChannel) {
  struct Row {
    const char* what;
    std::function<ViStatus(HislipLink*, ViUInt16*)> call;
    uint8_t sent;     // the message the call sends
    std::string reply;
    ViStatus status;
    int stb;  // what a status query returns, -1 for the others
  } rows[] = {
      {"status query", [](HislipLink* l, ViUInt16* stb) { return vx_hislip_status(l, stb); }, HISLIP_ASYNC_STATUS_QUERY,
       message(HISLIP_ASYNC_STATUS_RESPONSE, 0x42), VI_SUCCESS, 0x42},
      {"lock", [](HislipLink* l, ViUInt16*) { return vx_hislip_lock(l, 100); }, HISLIP_ASYNC_LOCK,
       message(HISLIP_ASYNC_LOCK_RESPONSE, VX_HISLIP_LOCK_FAILED), VI_ERROR_RSRC_LOCKED, -1},
      {"remote control", [](HislipLink* l, ViUInt16*) { return vx_hislip_remote(l, 1); },
       HISLIP_ASYNC_REMOTE_LOCAL_CONTROL, message(HISLIP_ASYNC_REMOTE_LOCAL_RESPONSE, 0), VI_SUCCESS, -1},
      {"Error instead of the reply", [](HislipLink* l, ViUInt16* stb) { return vx_hislip_status(l, stb); },
       HISLIP_ASYNC_STATUS_QUERY, message(HISLIP_ERROR, 1, 0, "unrecognized message type"), vx_hislip_error_status(1),
       -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Served s;
    ASSERT_TRUE(s.ready());
    ASSERT_EQ(VI_SUCCESS, vx_hislip_srq_enable(s.l, &s.sink.sink));
    s.serve(kRequest);
    EXPECT_EQ(1u, s.sink.wait_for(1).size());
    ViUInt16 stb = 0;
    std::future<ViStatus> call = std::async(std::launch::async, [&] { return row.call(s.l, &stb); });
    EXPECT_EQ(row.sent, s.next_sent());
    s.serve(kRequest + row.reply + kRequest);
    ASSERT_EQ(std::future_status::ready, call.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(row.status, call.get());
    if (row.stb >= 0) {
      EXPECT_EQ(row.stb, stb);
    }
    EXPECT_EQ(std::vector<int>(3, -1), s.sink.wait_for(3)) << "each request once, without a status byte";
  }
}

// The answer to a query that timed out comes later, after a request: it is
// not taken for the answer to the next query.
TEST(HislipSrq, ALateReplyIsNotTheNextQuerysWithTheReaderRunning) {
  Served s;
  ASSERT_TRUE(s.ready());
  s.l->timeoutMs = 1;  // the status query waits 1 s more than the link timeout
  ASSERT_EQ(VI_SUCCESS, vx_hislip_srq_enable(s.l, &s.sink.sink));
  ViUInt16 stb = 0;
  std::future<ViStatus> first = std::async(std::launch::async, [&] { return vx_hislip_status(s.l, &stb); });
  EXPECT_EQ(HISLIP_ASYNC_STATUS_QUERY, s.next_sent());
  ASSERT_EQ(std::future_status::ready, first.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ(VI_ERROR_TMO, first.get());
  s.serve(message(HISLIP_ASYNC_STATUS_RESPONSE, 1) + kRequest);
  s.l->timeoutMs = 2000;
  std::future<ViStatus> second = std::async(std::launch::async, [&] { return vx_hislip_status(s.l, &stb); });
  EXPECT_EQ(HISLIP_ASYNC_STATUS_QUERY, s.next_sent());
  s.serve(message(HISLIP_ASYNC_STATUS_RESPONSE, 2));
  ASSERT_EQ(std::future_status::ready, second.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ(VI_SUCCESS, second.get());
  EXPECT_EQ(2, stb);
  EXPECT_EQ(1u, s.sink.wait_for(1).size());
}

// The asynchronous connection ends while requests are collected: the link
// ends with it (the synchronous connection too, and every later call), and
// a post wakes a waiter, whose status query then reports the loss.
TEST(HislipSrq, ALostAsynchronousConnectionEndsTheLink) {
  Served s;
  ASSERT_TRUE(s.ready());
  ASSERT_EQ(VI_SUCCESS, vx_hislip_srq_enable(s.l, &s.sink.sink));
  close(s.async);
  s.async = -1;
  EXPECT_EQ(std::vector<int>{-1}, s.sink.wait_for(1));
  struct timeval tv = {3, 0};
  setsockopt(s.sync, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char c;
  EXPECT_EQ(0, read(s.sync, &c, 1)) << "the synchronous connection ended too";
  ViUInt16 stb = 0;
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_hislip_status(s.l, &stb));
  uint8_t buf[8];
  size_t moved = 0;
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_hislip_read(s.l, buf, sizeof buf, &moved));
}

// Once stopped, nothing is posted: a request is dropped by the exchange it
// comes in, as before requests were collected.
TEST(HislipSrq, StoppedRequestsAreDroppedByTheExchanges) {
  Served s;
  ASSERT_TRUE(s.ready());
  ASSERT_EQ(VI_SUCCESS, vx_hislip_srq_enable(s.l, &s.sink.sink));
  ASSERT_EQ(VI_SUCCESS, vx_hislip_srq_enable(s.l, nullptr));
  s.serve(kRequest);
  ViUInt16 stb = 0;
  std::future<ViStatus> call = std::async(std::launch::async, [&] { return vx_hislip_status(s.l, &stb); });
  EXPECT_EQ(HISLIP_ASYNC_STATUS_QUERY, s.next_sent());
  s.serve(kRequest + message(HISLIP_ASYNC_STATUS_RESPONSE, 0x40) + kRequest);
  ASSERT_EQ(std::future_status::ready, call.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ(VI_SUCCESS, call.get());
  EXPECT_EQ(0x40, stb);
  std::lock_guard<std::mutex> hold(s.sink.m);
  EXPECT_TRUE(s.sink.stbs.empty());
}

}  // namespace
