// The instrument search as a host sees it, against the simulator's LAN
// responder.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "api_util.h"

namespace {

// Search requests the responder has received so far, asked of one
// instrument over TCP; -1 when it does not answer. Opens and closes its own
// link, since a search is refused while one is open.
long lan_count(const std::string& addr) {
  ViInt32 id = open_link("TCP-" + addr);
  if (id <= 0) return -1;
  std::string reply = query(id, "LANCOUNT?");
  vx_comm_close(id);
  if (reply.empty()) return -1;
  return strtol(reply.c_str(), nullptr, 10);
}

struct Found {
  ViStatus status;
  std::string list;  // devices up to its NUL
  ViInt32 ret;
  double ms;
};

Found find(int tmoMs, int count = 4096, int iface = IFACE_LAN) {
  std::vector<char> devices((size_t)std::max(count, 1), '#');
  Found f;
  f.ret = -77;
  auto t0 = std::chrono::steady_clock::now();
  f.status = vx_comm_find(devices.data(), tmoMs, count, &f.ret, iface);
  f.ms = elapsed_ms(t0);
  f.list = std::string(devices.data(), strnlen(devices.data(), devices.size()));
  return f;
}

// Whole entries, sorted: replies of different instruments may arrive in
// either order.
std::vector<std::string> entries(const std::string& list) {
  std::vector<std::string> out;
  size_t p = 0, e;
  while ((e = list.find(';', p)) != std::string::npos) {
    out.push_back(list.substr(p, e - p + 1));
    p = e + 1;
  }
  EXPECT_EQ(p, list.size()) << "partial entry in " << list;
  std::sort(out.begin(), out.end());
  return out;
}

// The default instruments of the simulator, as the search lists them.
std::vector<std::string> default_entries() {
  std::vector<std::string> want;
  std::vector<std::string> addrs = vx_test_addrs();
  for (size_t k = 0; k < addrs.size(); ++k) {
    char entry[96];
    snprintf(entry, sizeof entry, "MODEL-%d:SNVX%016d:%s;", 100 + (int)k, (int)k, addrs[k].c_str());
    want.push_back(entry);
  }
  std::sort(want.begin(), want.end());
  return want;
}

TEST(FindApi, ListsEveryInstrumentWithAnAddressThatOpens) {
  Found f = find(300);
  EXPECT_EQ(VI_SUCCESS, f.status);
  EXPECT_EQ((ViInt32)f.list.size(), f.ret);
  std::vector<std::string> found = entries(f.list);
  EXPECT_EQ(default_entries(), found);

  for (const std::string& e : found) {
    size_t second = e.find(':', e.find(':') + 1);
    std::string model = e.substr(0, e.find(':'));
    std::string serial = e.substr(model.size() + 1, second - model.size() - 1);
    std::string address = e.substr(second + 1, e.size() - second - 2);
    ViInt32 id = open_link(address);  // a bare dotted address opens a TCP link
    ASSERT_GT(id, 0) << address;
    std::string idn = query(id, "*IDN?");
    vx_comm_close(id);
    EXPECT_NE(std::string::npos, idn.find("," + model + "," + serial + ",")) << idn;
  }
}

TEST(FindApi, SendsRequestsOnlyWhenAllowedAndAsOftenAsTheTimeoutSays) {
  const std::string a = sim_addr();
  long before = lan_count(a);
  ASSERT_GE(before, 0);

  Found f = find(0);
  EXPECT_EQ(VI_SUCCESS, f.status);
  EXPECT_EQ("", f.list);
  EXPECT_EQ(0, f.ret);
  long now = lan_count(a);
  EXPECT_EQ(0, now - before) << "tmoMs 0 sends nothing";

  before = now;
  f = find(30);
  EXPECT_EQ(default_entries(), entries(f.list));
  now = lan_count(a);
  EXPECT_EQ(1, now - before) << "tmoMs 30";

  before = now;
  f = find(1000, 4096, IFACE_USB | IFACE_VISA);
  EXPECT_EQ(VI_SUCCESS, f.status);
  EXPECT_EQ("", f.list);
  now = lan_count(a);
  EXPECT_EQ(0, now - before) << "the LAN search was not selected";

  before = now;
  ViInt32 id = open_link("TCP-" + a);
  ASSERT_GT(id, 0);
  f = find(1000);
  vx_comm_close(id);
  EXPECT_EQ(VI_SUCCESS, f.status);
  EXPECT_EQ(std::string(4096, '#'), f.list);
  EXPECT_EQ(-77, f.ret);
  EXPECT_LT(f.ms, 500.0);
  // The LANCOUNT? link of lan_count is opened only after the refused call.
  now = lan_count(a);
  EXPECT_EQ(0, now - before) << "a refused search sends nothing";
}

TEST(FindApi, TakesAsLongAsTheTimeout) {
  const int timeouts[] = {100, 500, 1000};
  const long requests[] = {2, 4, 5};  // sent at 0, 50, 150, 350 and 650 ms
  for (size_t i = 0; i < 3; ++i) {
    long before = lan_count(sim_addr());
    ASSERT_GE(before, 0);
    Found f = find(timeouts[i]);
    EXPECT_EQ(VI_SUCCESS, f.status);
    // A Windows tick moves in steps of up to 16 ms.
    EXPECT_GE(f.ms, timeouts[i] - 16.0);
    EXPECT_LT(f.ms, timeouts[i] + 300.0);
    printf("vx_comm_find(IFACE_LAN, tmoMs=%d) took %.1f ms\n", timeouts[i], f.ms);
    EXPECT_EQ(requests[i], lan_count(sim_addr()) - before) << "tmoMs " << timeouts[i];
  }
}

TEST(FindApi, LogsTheCallUnderBothNamesAndOnlyTheRefusalWhileALinkIsOpen) {
  TempLog log("find");
  char devices[64];
  ViInt32 n = -1;
  vx_usb_startdebug(log.path.c_str());
  EXPECT_EQ(VI_SUCCESS, vx_comm_find(devices, 0, sizeof devices, &n, IFACE_LAN));
  EXPECT_EQ(VI_SUCCESS, stdcall_vx_comm_find(devices, 0, 32, nullptr, 0x301));
  EXPECT_EQ(VI_SUCCESS_MAX_CNT, vx_comm_find(devices, 0, 0, &n, IFACE_LAN));  // no result line
  ViInt32 id = open_link("TCP-" + sim_addr());
  EXPECT_EQ(VI_SUCCESS, stdcall_vx_comm_find(devices, 0, 64, &n, IFACE_LAN));
  vx_comm_close(id);
  vx_usb_stopdebug();

  const std::string d = vx_test_ptr(devices), r = vx_test_ptr(&n);
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(12u, lines.size());
  EXPECT_EQ("vx_comm_find(devices=" + d + ", tmoMs=0, count=64, retCount=" + r + ", iface=1)", lines[0]);
  EXPECT_EQ("vx_comm_find() returns: status=0, retCount=0", lines[1]);
  EXPECT_EQ("vx_comm_find(devices=" + d + ", tmoMs=0, count=32, retCount=" + vx_test_ptr(nullptr) + ", iface=769)",
            lines[2]);
  EXPECT_EQ("vx_comm_find() returns: status=0, retCount=0", lines[3]);
  EXPECT_EQ("vx_comm_find(devices=" + d + ", tmoMs=0, count=0, retCount=" + r + ", iface=1)", lines[4]);
  EXPECT_EQ(0u, lines[5].find("vx_comm_open("));
  EXPECT_EQ("vx_comm_find(): returning since a link is open (debug)", lines[7]);
  EXPECT_EQ(0u, lines[8].find("vx_comm_close("));
}

// A link opened by another thread while a search runs, or just as one ends,
// must keep its connection: the search's socket start-up and clean-up must
// not take the link's socket with them.
TEST(FindApi, LinksOpenedAroundRunningSearchesKeepWorking) {
  std::atomic<bool> done{false};
  std::atomic<int> searches{0};
  std::thread searcher([&] {
    char devices[512];
    auto t0 = std::chrono::steady_clock::now();
    while (!done && elapsed_ms(t0) < 30000) {
      vx_comm_find(devices, 15, sizeof devices, nullptr, IFACE_LAN);
      searches++;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  int faults = 0;
  for (int round = 0; round < 60; ++round) {
    ViInt32 id = open_link("TCP-" + sim_addr(round % 2));
    if (id < 1) {
      faults++;
      continue;
    }
    std::string tag = "r" + std::to_string(round);
    if (query(id, "ECHO " + tag) != tag + "\n") faults++;
    vx_comm_close(id);
  }
  done = true;
  searcher.join();
  EXPECT_EQ(0, faults);
  EXPECT_GT(searches.load(), 0);
}

// ------------------------------------------- unusual replies (own entry) --

// Run by the find_lan_sizes test entry, whose simulator plays eight
// instruments on 127.0.0.2 to 127.0.0.9 with LAN replies of 127, 128, 0,
// 30, none, 80, 80 and 21 bytes; the two 80-byte ones carry the same model
// and serial.
struct FindLanSizes : ::testing::Test {
  void SetUp() override {
    if (vx_test_addrs().size() != 8) GTEST_SKIP() << "needs the simulator set up by the find_lan_sizes entry";
  }
};

const std::vector<std::string> kUsable = {
    "::127.0.0.9;",               // 21 bytes: no room for the model
    "MODEL-100:SN-A:127.0.0.2;",  // 127 bytes: taken
    "MODEL-103::127.0.0.5;",      // 30 bytes: model only
    "TWIN:TWIN-SN:127.0.0.7;",    // alike, but two instruments
    "TWIN:TWIN-SN:127.0.0.8;",
};

TEST_F(FindLanSizes, ListsTheUsableRepliesOnly) {
  Found f = find(300);
  EXPECT_EQ(VI_SUCCESS, f.status);
  EXPECT_EQ(kUsable, entries(f.list)) << "128 bytes, empty and silent instruments are not listed";
}

// Run by the find_lan_cards entry (tests/lan_cards.sh): one more instrument
// behind a second card, which 255.255.255.255 does not reach.
struct FindLanCards : ::testing::Test {
  void SetUp() override {
    if (!getenv("VX_TEST_CARD_ADDR")) GTEST_SKIP() << "needs the second card set up by tests/lan_cards.sh";
  }
};

TEST_F(FindLanCards, ListsTheInstrumentBehindTheSecondCardOnce) {
  std::vector<std::string> want = default_entries();
  want.push_back(std::string("CARD-2:SN-CARD2:") + getenv("VX_TEST_CARD_ADDR") + ";");
  std::sort(want.begin(), want.end());
  Found f = find(400);
  EXPECT_EQ(VI_SUCCESS, f.status);
  EXPECT_EQ(want, entries(f.list));
}

}  // namespace
