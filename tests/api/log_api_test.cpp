// The call log file as a host sees it.
#include <cstdio>
#include <cstring>
#include <regex>
#include <thread>
#include <vector>

#include "api_util.h"

extern std::string g_firstLogText;  // what the process's first message left (api_main.cpp)

namespace {

TEST(CallLog, FirstMessageOfTheProcessWritesTheBannerOnce) {
  std::regex want(
      "vx_comm_lib call log - 64 bit library\n0\\.00[0-9] vx_comm_clear\\(\\) error: "
      "VI_ERROR_CONN_LOST\n[0-9]+\\.[0-9]{3} vx_comm_clear\\(\\) error: VI_ERROR_CONN_LOST\n");
  EXPECT_TRUE(std::regex_match(g_firstLogText, want)) << g_firstLogText;
}

TEST(CallLog, OpenQueryCloseTraceWithStamps) {
  TempLog log("trace");
  vx_usb_startdebug(log.path.c_str());
  ViInt32 id = open_link("TCP-" + sim_addr());
  query(id, "*IDN?");
  vx_comm_close(id);
  vx_usb_stopdebug();
  std::string text = log.text();
  std::regex stamped("([0-9]+\\.[0-9]{3} [^\n]*\n|[^0-9][^\n]*\n)*");
  EXPECT_TRUE(std::regex_match(text, stamped)) << text;
  auto lines = log.lines();
  ASSERT_GE(lines.size(), 10u);
  EXPECT_EQ("vx_comm_open(address=TCP-" + sim_addr() + ", tmoMs=1000)", lines[0]);
  EXPECT_EQ("vx_comm_open() returns: linkId=" + std::to_string(id), lines[1]);
  EXPECT_EQ(0u, lines[2].find("vx_comm_puts(linkId=" + std::to_string(id) + ", cmd=*IDN?, count=0, retCount="));
  EXPECT_EQ("vx_comm_puts() returns: status=0, retCount=0", lines[3]);
  EXPECT_EQ(0u, lines[5].find("vx_comm_gets() returns: status=0, buf=VXSIM,MODEL-100,"));
  EXPECT_EQ("vx_comm_close() returns: status is always VI_SUCCESS", lines.back());
}

TEST(CallLog, StopRestartAndBadPaths) {
  TempLog a("a"), b("b");
  vx_usb_startdebug(a.path.c_str());
  vx_comm_clear(0);
  vx_usb_stopdebug();
  vx_comm_clear(0);  // not logged
  vx_usb_startdebug(b.path.c_str());
  vx_comm_setTmoMs(0, 1);
  vx_usb_startdebug("");  // empty text turns logging off
  vx_comm_clear(0);
  EXPECT_EQ(std::vector<std::string>{"vx_comm_clear() error: VI_ERROR_CONN_LOST"}, a.lines());
  EXPECT_EQ(std::vector<std::string>{"vx_comm_setTmoMs() error: VI_ERROR_CONN_LOST"}, b.lines());
  EXPECT_EQ(std::string::npos, b.text().find("call log -")) << "a later file gets no banner";

  // Starting again on the same path empties it.
  vx_usb_startdebug(a.path.c_str());
  EXPECT_EQ("", a.text());
  // A folder that does not exist: no error anywhere, calls still work.
  std::string missing = vx_test_temp_dir() + "/vx_no_such_dir_/x.log";
  vx_usb_startdebug(missing.c_str());
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_clear(0));
  vx_usb_stopdebug();
}

// The longest path that fits is 1022 characters. "./" steps pad the paths
// to exactly that length and one more while every name stays short, so the
// file system accepts both and only the library's limit can tell them apart.
TEST(CallLog, PathLimitIs1022Characters) {
  std::string dir = vx_test_temp_dir();
  auto padded = [&](const std::string& name, size_t total) {
    std::string head = dir + "/";
    while (head.size() + 2 + name.size() <= total) head += "./";
    if (head.size() + name.size() < total) head += "/";  // an odd remainder
    return head + name;
  };
  std::string fits = padded("vx_limit_fits.log", 1022), tooLong = padded("vx_limit_long.log", 1023);
  ASSERT_EQ(1022u, fits.size());
  ASSERT_EQ(1023u, tooLong.size());
  remove((dir + "/vx_limit_long.log").c_str());

  for (const std::string& path : {fits, tooLong}) {
    vx_usb_startdebug(path.c_str());
    vx_comm_clear(0);
    vx_usb_stopdebug();
  }
  FILE* f = fopen((dir + "/vx_limit_fits.log").c_str(), "r");
  ASSERT_NE(nullptr, f) << "a 1022-character path must be used";
  fclose(f);
  f = fopen((dir + "/vx_limit_long.log").c_str(), "r");
  EXPECT_EQ(nullptr, f) << "a 1023-character path must turn logging off";
  if (f) fclose(f);
  remove((dir + "/vx_limit_fits.log").c_str());
  remove((dir + "/vx_limit_long.log").c_str());
}

TEST(CallLog, LinesOfConcurrentThreadsNeverInterleave) {
  TempLog log("threads");
  vx_usb_startdebug(log.path.c_str());
  std::vector<std::thread> pool;
  const int threads = 8, rounds = 200;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([t] {
      for (int r = 0; r < rounds; ++r) t % 2 ? vx_comm_clear(0) : vx_comm_setTmoMs(-3, 7);
    });
  // Switching the log off and on, or to the same path again, while the
  // writers run must not tear a line either.
  std::thread switcher([&] {
    for (int r = 0; r < 50; ++r) {
      vx_usb_stopdebug();
      vx_usb_startdebug(log.path.c_str());
      vx_usb_startdebug(log.path.c_str());
    }
  });
  for (auto& th : pool) th.join();
  switcher.join();
  vx_usb_stopdebug();
  for (const std::string& l : log.lines())
    EXPECT_TRUE(l == "vx_comm_clear() error: VI_ERROR_CONN_LOST" || l == "vx_comm_setTmoMs() error: VI_ERROR_CONN_LOST")
        << l;
}

}  // namespace
