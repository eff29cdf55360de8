// Closing a link from another thread is how a host stops a call that is
// blocked on a silent instrument: the close must end that call, not wait
// for it. The simulator stalls each call for 20 s; both the blocked call and
// the close must be back long before that.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "api_util.h"

namespace {

const double kBoundMs = 5000;  // far below the 20 s stall

struct BlockedCall {
  const char* what;
  std::function<ViStatus(ViInt32)> call;
};

std::vector<char> g_big(64 << 20);

const BlockedCall kBlockedCalls[] = {
    {"reader waiting for a reply with no time limit",
     [](ViInt32 id) {
       char buf[64];
       ViStatus s = vx_comm_puts(id, "DELAY 20000 *IDN?", 0, nullptr);
       return s != VI_SUCCESS ? s : vx_comm_gets(id, buf, sizeof buf, nullptr);
     }},
    {"writer blocked on a peer that reads nothing",
     [](ViInt32 id) {
       ViStatus s = vx_comm_puts(id, "DEAF 20000", 0, nullptr);
       ViInt32 sent = 0;
       return s != VI_SUCCESS ? s : vx_comm_writeBlocking(id, g_big.data(), (ViInt32)g_big.size(), &sent);
     }},
    {"block read in the middle of its data",
     [](ViInt32 id) {
       ViInt32 got = 0;
       return vx_comm_readBlock(id, "BLOCK? 100000 pause=5000:20000", g_big.data(), 100000, &got);
     }},
    {"block read into a file",
     [](ViInt32 id) {
       std::string file = vx_test_temp_dir() + "/vx_close_block.bin";
       ViStatus s = vx_comm_readBlockFile(id, "BLOCK? 100000 pause=5000:20000", file.c_str());
       remove(file.c_str());
       return s;
     }},
};

}  // namespace

// The first call is traced: it still writes its result line, and the close
// its lines, in the usual order.
TEST(CloseApi, CloseEndsACallBlockedOnTheInstrument) {
  for (const BlockedCall& c : kBlockedCalls) {
    SCOPED_TRACE(c.what);
    const bool traced = &c == &kBlockedCalls[0];
    TempLog log("close_interrupt");
    if (traced) vx_usb_startdebug(log.path.c_str());
    ViInt32 id = open_link("TCP-" + sim_addr());
    ASSERT_GT(id, 0);
    ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 0));  // no limit: only the close can end it

    auto start = std::chrono::steady_clock::now();
    std::future<ViStatus> blocked = std::async(std::launch::async, c.call, id);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let it block
    ASSERT_EQ(blocked.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout) << "did not block";

    auto closing = std::chrono::steady_clock::now();
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
    EXPECT_LT(elapsed_ms(closing), kBoundMs) << "close waited for the blocked call";
    ASSERT_EQ(blocked.wait_for(std::chrono::milliseconds((int)kBoundMs)), std::future_status::ready);
    EXPECT_EQ(VI_ERROR_CONN_LOST, blocked.get());
    EXPECT_LT(elapsed_ms(start), 300 + 2 * kBoundMs);
    if (traced) {
      vx_usb_stopdebug();
      std::vector<std::string> lines = log.lines();
      auto at = [&](const std::string& text) {
        for (size_t i = 0; i < lines.size(); ++i)
          if (lines[i] == text) return (int)i;
        return -1;
      };
      int result = at("vx_comm_gets() returns: status=" + std::to_string(VI_ERROR_CONN_LOST) + ", buf=, retCount=0");
      int closeEntry = at("vx_comm_close(linkId=" + std::to_string(id) + ")");
      int closeLock = at("vx_comm_close(): locking link list mutex");
      EXPECT_GE(result, 0);
      EXPECT_GE(closeEntry, 0);
      EXPECT_LT(closeEntry, result);  // the close began, then the call left
      EXPECT_LT(result, closeLock);   // and only then did the close go on
    }

    EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_setTmoMs(id, 1000));  // and the link is gone
  }
}

