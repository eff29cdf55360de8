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

std::string last_error(ViInt32 count = 1024, ViStatus* status = nullptr) {
  std::vector<char> buf(1024, 'x');
  ViStatus s = vx_comm_lastError(buf.data(), count);
  if (status) *status = s;
  return count < 1 ? std::string() : std::string(buf.data());
}

// The reason of a thread's last failed call: the call log's error lines,
// log or no log; emptied by the next call and kept per thread.
TEST(CallLog, LastErrorIsTheFailedCallsErrorLines) {
  // Without a log: an open of an address that cannot be.
  ViInt32 id = 0;
  ASSERT_EQ(VI_SUCCESS, vx_comm_open("TCP-300.1.1.1", 1000, &id));
  ASSERT_EQ(-1, id);
  const std::string reason = last_error();
  EXPECT_EQ(
      "vx_comm_open() error: '300.1.1.1' is not an IPv4 address (four decimal numbers of 0 to 255); "
      "failed opening a physical link",
      reason);
  // The same words as the log's lines, the repeated head said once.
  TempLog log("last");
  vx_usb_startdebug(log.path.c_str());
  vx_comm_open("TCP-300.1.1.1", 1000, &id);
  vx_usb_stopdebug();
  std::string joined;
  for (const std::string& l : log.lines())
    if (l.find(" error: ") != std::string::npos) joined += (joined.empty() ? l : "; " + l.substr(22));
  EXPECT_EQ(joined, last_error());
  EXPECT_EQ(reason, last_error()) << "reading it changes nothing";

  // Cut to fit as vx_comm_statusDesc is.
  ViStatus s = 0;
  EXPECT_EQ(reason.substr(0, 9), last_error(10, &s));
  EXPECT_EQ(VI_SUCCESS_MAX_CNT, s);
  EXPECT_EQ("", last_error(0, &s));
  EXPECT_EQ(VI_SUCCESS_MAX_CNT, s);
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_lastError(nullptr, 10));
  // Per thread: another thread's failure is not this one's.
  std::thread([] {
    EXPECT_EQ("", last_error());
    vx_comm_clear(0);
    EXPECT_EQ("vx_comm_clear() error: VI_ERROR_CONN_LOST", last_error());
  }).join();
  EXPECT_EQ(reason, last_error());

  // A successful open and call leave it empty; a failure without a line of
  // its own names its status.
  id = open_link("TCP-" + sim_addr());
  EXPECT_EQ("", last_error());
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 100));
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "HANG", 0, nullptr));
  char buf[16];
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_gets(id, buf, sizeof buf, nullptr));
  EXPECT_EQ("vx_comm_gets() error: VI_ERROR_TMO", last_error());
  vx_comm_close(id);
  EXPECT_EQ("", last_error());
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
