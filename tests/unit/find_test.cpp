// The find dispatcher over fake searches, the duplicate test, and the LAN
// search against a responder played by the test on a port of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_transport.h"
#include "find/find.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "test_support.h"

namespace {

// ------------------------------------------------------- fake searches --

struct FakeSearch {
  std::string text;        // written when it fits with its NUL
  bool claimLength = false;  // report `claimed` without writing anything
  int claimed = 0;
  ViStatus status = VI_SUCCESS;
  int calls = 0;
  int tmoMs = 0;
  int capacity = 0;
  int meet = 0;       // wait (2 s at most) until this many searches run at once
  bool met = false;
};

FakeSearch g_search[3];
std::atomic<int> g_running{0};

template <int I>
ViStatus fake_search(char* text, int tmoMs, int capacity, int* length) {
  FakeSearch& f = g_search[I];
  f.calls++;
  f.tmoMs = tmoMs;
  f.capacity = capacity;
  *length = 0;
  if (f.meet > 0) {
    g_running++;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (g_running.load() < f.meet && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    f.met = g_running.load() >= f.meet;
  }
  if (f.claimLength) {
    *length = f.claimed;
    return f.status;
  }
  if ((int64_t)f.text.size() + 1 > capacity) return VI_SUCCESS_MAX_CNT;
  memcpy(text, f.text.c_str(), f.text.size() + 1);
  *length = (int)f.text.size();
  return f.status;
}

const FindSearch kFakeTable[] = {
    {IFACE_LAN, fake_search<0>},
    {IFACE_USB, fake_search<1>},
    {IFACE_VISA, fake_search<2>},
};

// Allocations made by the dispatcher: sizes asked, failures on request, and
// an optional small stand-in block so that huge counts need no real memory.
struct FakeHeap {
  std::vector<size_t> sizes;
  int failAt = -1;  // index of the allocation that fails
  bool small = false;
  int released = 0;
};
FakeHeap g_heap;

void* fake_alloc(size_t size) {
  int index = (int)g_heap.sizes.size();
  g_heap.sizes.push_back(size);
  if (index == g_heap.failAt) return nullptr;
  return malloc(g_heap.small ? 64 : size);
}

void fake_release(void* block) {
  if (block) g_heap.released++;
  free(block);
}

const FindSetup kFakeSetup = {kFakeTable, 3, fake_alloc, fake_release};

std::string text_of(int n, char c) { return std::string((size_t)n, c); }

struct FindMerge : ::testing::Test {
  char devices[128];
  ViInt32 ret = -77;
  void SetUp() override {
    for (FakeSearch& f : g_search) f = FakeSearch();
    g_running = 0;
    g_heap = FakeHeap();
    memset(devices, '#', sizeof devices);
  }
  ViStatus find(int count, int iface = IFACE_LAN | IFACE_USB | IFACE_VISA, int tmoMs = 123) {
    return vx_find_run(&kFakeSetup, devices, tmoMs, count, &ret, iface);
  }
  int calls(int i) const { return g_search[i].calls; }
};

TEST_F(FindMerge, CopiesWholeTextsInTableOrderAndDropsOneThatDoesNotFit) {
  g_search[0].text = text_of(30, 'L');
  g_search[1].text = text_of(25, 'U');
  g_search[2].text = text_of(8, 'V');
  EXPECT_EQ(VI_SUCCESS_MAX_CNT, find(40));
  EXPECT_EQ(38, ret);
  EXPECT_EQ(text_of(30, 'L') + text_of(8, 'V'), std::string(devices));
  for (const FakeSearch& f : g_search) {
    EXPECT_EQ(1, f.calls);
    EXPECT_EQ(40, f.capacity) << "every search gets the whole count";
    EXPECT_EQ(123, f.tmoMs);
  }
  EXPECT_EQ(std::vector<size_t>({40, 40, 40}), g_heap.sizes);
  EXPECT_EQ(3, g_heap.released);
}

TEST_F(FindMerge, TextThatExactlyFillsIsCopiedOneMoreIsDropped) {
  g_search[0].text = text_of(30, 'L');
  EXPECT_EQ(VI_SUCCESS, find(31));
  EXPECT_EQ(30, ret);
  EXPECT_EQ(text_of(30, 'L'), std::string(devices));

  // The search itself refuses a text that does not fit its buffer...
  EXPECT_EQ(VI_SUCCESS_MAX_CNT, find(30));
  EXPECT_EQ(0, ret);
  EXPECT_EQ('\0', devices[0]);

  // ...and the merge refuses one that does not fit what is left.
  g_search[0].text = text_of(10, 'L');
  g_search[1].text = text_of(20, 'U');
  EXPECT_EQ(VI_SUCCESS, find(31));
  EXPECT_EQ(text_of(10, 'L') + text_of(20, 'U'), std::string(devices));
  g_search[1].text = text_of(21, 'U');
  EXPECT_EQ(VI_SUCCESS_MAX_CNT, find(31));
  EXPECT_EQ(10, ret);
  EXPECT_EQ(text_of(10, 'L'), std::string(devices));
}

TEST_F(FindMerge, CountOneGivesTheEmptyListAndCutShort) {
  g_search[0].text = "M:S:1.2.3.4;";
  EXPECT_EQ(VI_SUCCESS_MAX_CNT, find(1));
  EXPECT_EQ(0, ret);
  EXPECT_EQ('\0', devices[0]);
  EXPECT_EQ('#', devices[1]);
  EXPECT_EQ(1, calls(0));
}

TEST_F(FindMerge, CountBelowOneTouchesNothingAndRunsNothing) {
  g_search[0].text = "x";
  for (int count : {0, -1, INT_MIN}) {
    EXPECT_EQ(VI_SUCCESS_MAX_CNT, find(count));
    EXPECT_EQ(-77, ret);
    EXPECT_EQ('#', devices[0]);
  }
  EXPECT_EQ(VI_SUCCESS_MAX_CNT, vx_find_run(&kFakeSetup, nullptr, 0, 0, &ret, IFACE_LAN));
  EXPECT_EQ(0, calls(0));
  EXPECT_TRUE(g_heap.sizes.empty());
}

TEST_F(FindMerge, NullDevicesIsAnErrorThatTouchesNothing) {
  TempLog log("find_null");
  vx_usb_startdebug(log.path.c_str());
  g_search[0].text = "x";
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_find_run(&kFakeSetup, nullptr, 0, 1, &ret, IFACE_LAN));
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_find(nullptr, 0, 100, &ret, IFACE_LAN));
  vx_usb_stopdebug();
  EXPECT_EQ(-77, ret);
  EXPECT_EQ(0, calls(0));
  EXPECT_TRUE(g_heap.sizes.empty());
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(FindMerge, InterfaceBitsSelectTheSearches) {
  struct Case {
    int iface;
    int lan, usb, visa;
  };
  const Case cases[] = {
      {0, 0, 0, 0},         {IFACE_LAN, 1, 0, 0}, {IFACE_USB, 0, 1, 0}, {0x100, 0, 0, 1},
      {0x200, 0, 0, 1},     {0x300, 0, 0, 1},     {0x002, 0, 0, 0},     {0x400, 0, 0, 0},
      {0x020, 0, 0, 0},     {0x311, 1, 1, 1},     {-1, 1, 1, 1},
  };
  for (const Case& c : cases) {
    SetUp();
    g_search[0].text = "L;";
    g_search[1].text = "U;";
    g_search[2].text = "V;";
    EXPECT_EQ(VI_SUCCESS, find(100, c.iface)) << c.iface;
    std::string want = std::string(c.lan ? "L;" : "") + (c.usb ? "U;" : "") + (c.visa ? "V;" : "");
    EXPECT_EQ(want, std::string(devices)) << "iface " << c.iface;
    EXPECT_EQ((int)want.size(), ret);
    EXPECT_EQ(c.lan, calls(0));
    EXPECT_EQ(c.usb, calls(1));
    EXPECT_EQ(c.visa, calls(2));
    EXPECT_EQ((size_t)(c.lan + c.usb + c.visa), g_heap.sizes.size()) << "only selected searches get a buffer";
  }
}

TEST_F(FindMerge, SearchWhoseBufferCannotBeAllocatedIsLeftOut) {
  g_search[0].text = "L;";
  g_search[1].text = "U;";
  g_search[2].text = "V;";
  g_heap.failAt = 1;  // the USB buffer
  EXPECT_EQ(VI_SUCCESS, find(100));
  EXPECT_EQ("L;V;", std::string(devices));
  EXPECT_EQ(0, calls(1));
  EXPECT_EQ(2, g_heap.released);
}

TEST_F(FindMerge, FailedOrCutShortSearchesStillContributeWhatTheyFound) {
  g_search[0].text = "L;";
  g_search[0].status = VI_ERROR_SYSTEM_ERROR;
  EXPECT_EQ(VI_SUCCESS, find(100, IFACE_LAN)) << "a search's failure is not reported";
  EXPECT_EQ("L;", std::string(devices));

  // A search that ran out of room left instruments out: the list is cut
  // short, even though what it did find fits here.
  g_search[0].status = VI_SUCCESS_MAX_CNT;
  EXPECT_EQ(VI_SUCCESS_MAX_CNT, find(100, IFACE_LAN));
  EXPECT_EQ("L;", std::string(devices));
  EXPECT_EQ(2, ret);
}

TEST_F(FindMerge, LengthsNearIntMaxNeitherOverflowNorReadPastTheBuffer) {
  g_heap.small = true;  // the searches below write at most 7 bytes
  g_search[0].claimLength = true;
  g_search[0].claimed = INT_MAX;
  g_search[1].claimLength = true;
  g_search[1].claimed = -5;  // nonsense from a search counts as nothing
  g_search[2].text = "a:b:c;";
  EXPECT_EQ(VI_SUCCESS_MAX_CNT, find(INT_MAX));
  EXPECT_EQ(6, ret);
  EXPECT_EQ("a:b:c;", std::string(devices));
  EXPECT_EQ(std::vector<size_t>({(size_t)INT_MAX, (size_t)INT_MAX, (size_t)INT_MAX}), g_heap.sizes);
}

TEST_F(FindMerge, AnAddressTwoSearchesListIsKeptOnceWhereItCameFirst) {
  g_search[0].text = "A:1:TCPIP0::h::inst0::INSTR;L;";
  g_search[2].text = "B:2:TCPIP0::h::inst0::INSTR;C:3:TCPIP0::h::inst0::INSTR0;L;";
  EXPECT_EQ(VI_SUCCESS, find(100));
  EXPECT_EQ("A:1:TCPIP0::h::inst0::INSTR;L;C:3:TCPIP0::h::inst0::INSTR0;L;", std::string(devices));
  EXPECT_EQ((int)strlen(devices), ret);
}

// Each search waits its tmoMs: run one after another, a find of three
// would take three times as long.
TEST_F(FindMerge, SearchesRunSideBySide) {
  const char* texts[] = {"L;", "U;", "V;"};
  for (int i = 0; i < 3; ++i) {
    g_search[i].meet = 3;
    g_search[i].text = texts[i];
  }
  EXPECT_EQ(VI_SUCCESS, find(100));
  EXPECT_EQ("L;U;V;", std::string(devices));
  for (const FakeSearch& f : g_search) EXPECT_TRUE(f.met) << "a search ran alone";
}

TEST_F(FindMerge, RefusedWhileALinkIsOpen) {
  TempLog log("find_refused");
  FakeLink fake;
  ViInt32 id = fake_attach(&fake);
  ASSERT_GT(id, 0);
  g_search[0].text = "L;";
  vx_usb_startdebug(log.path.c_str());
  EXPECT_EQ(VI_SUCCESS, find(100));
  EXPECT_EQ(VI_SUCCESS, vx_comm_find(devices, 50, 100, &ret, IFACE_LAN));
  vx_usb_stopdebug();
  EXPECT_EQ('#', devices[0]);
  EXPECT_EQ(-77, ret);
  EXPECT_EQ(0, calls(0));
  std::vector<std::string> refusal(2, "vx_comm_find(): returning since a link is open (debug)");
  EXPECT_EQ(refusal, log.lines());

  vx_comm_close(id);
  EXPECT_EQ(VI_SUCCESS, find(100));
  EXPECT_EQ("L;", std::string(devices));
}

// ------------------------------------------------------ duplicate test --

// The text in a block of exactly its own length, without a NUL, so that a
// read past it is a heap overflow the sanitizer reports.
struct ExactText {
  std::unique_ptr<char[]> bytes;
  int length;
  explicit ExactText(const std::string& s) : bytes(new char[s.size() ? s.size() : 1]), length((int)s.size()) {
    memcpy(bytes.get(), s.data(), s.size());
  }
  bool listed(const char* address, int n = -1) const {
    return vx_lan_isListed(address, bytes.get(), n < 0 ? length : n) != 0;
  }
};

TEST(LanListed, MatchesTheWholeAddressFieldOfAnyEntry) {
  ExactText t("M1:1234:192.168.1.20;M:2:10.0.0.1;a:b:c:10.0.0.2;");
  EXPECT_TRUE(t.listed("192.168.1.20"));
  EXPECT_TRUE(t.listed("10.0.0.1"));
  EXPECT_TRUE(t.listed("10.0.0.2")) << "the address follows the last colon";
  EXPECT_FALSE(t.listed("192.168.1.2"));
  EXPECT_FALSE(t.listed("92.168.1.20"));
  EXPECT_FALSE(t.listed("192.168.1.200"));
  EXPECT_FALSE(t.listed("1234"));
  EXPECT_FALSE(t.listed("c:10.0.0.2"));
  EXPECT_FALSE(t.listed(""));
}

TEST(LanListed, LooksOnlyAtTheGivenLengthAndNeverPastIt) {
  ExactText t("a:b:1.1.1.1;a:b:2.2.2.2;x:y:3.3.3.3");
  EXPECT_FALSE(t.listed("2.2.2.2", 12));
  EXPECT_TRUE(t.listed("2.2.2.2", 24));
  EXPECT_TRUE(t.listed("2.2.2", 21)) << "a last entry without its ';' ends at the length";
  EXPECT_TRUE(t.listed("3.3.3.3")) << "text without a final ';'";
  EXPECT_FALSE(t.listed("1.1.1.1", 0));
  EXPECT_EQ(0, vx_lan_isListed("1.1.1.1", t.bytes.get(), -3));

  // Malformed texts: entries without colons, a lone colon at the very end.
  EXPECT_TRUE(ExactText("1.2.3.4").listed("1.2.3.4"));
  EXPECT_FALSE(ExactText(";;x;:").listed("x:"));
  EXPECT_FALSE(ExactText(":").listed("a"));
  EXPECT_EQ(0, vx_lan_isListed("1.2.3.4", nullptr, 10));
  EXPECT_EQ(0, vx_lan_isListed(nullptr, "a:b:c;", 6));
}

// ------------------------------------------------------------ LAN scan --

const uint16_t kTestPort = 39997;  // not the instruments' port, so vxsim never answers
uint32_t addr_of(const std::string& text) { return vxp_inet_addr(text.c_str()); }

// A reply laid out as instruments send it: header, model at 21, serial at
// 51, zeros up to `size` (texts are cut at the size).
std::string lan_reply(size_t size, const std::string& model, const std::string& serial) {
  std::string r(std::max<size_t>(size, 51 + serial.size() + 1), '\0');
  memcpy(&r[0], "VXSIM-LAN", 9);
  memcpy(&r[21], model.data(), model.size());
  memcpy(&r[51], serial.data(), serial.size());
  r.resize(size);
  return r;
}

struct FakeInstrument {
  std::string address;
  std::string reply;
  bool answers = true;
};

// Plays the instruments: a socket on every address of the test port gets
// the broadcast, and each instrument answers every request from a socket
// bound to its own loopback address.
class Responder {
 public:
  explicit Responder(std::vector<FakeInstrument> instruments) : instruments_(std::move(instruments)) {
    vxp_net_startup();
    rx_ = vxp_udp_socket();
    ok_ = rx_ != VXP_BAD_SOCKET && vxp_bind(rx_, 0, kTestPort);
    for (const FakeInstrument& i : instruments_) {
      vxp_socket s = vxp_udp_socket();
      ok_ = ok_ && s != VXP_BAD_SOCKET && vxp_bind(s, addr_of(i.address), 0);
      tx_.push_back(s);
      if (ok_) seen_.push_back(probe_source(s));
    }
    if (ok_) thread_ = std::thread([this] { serve(); });
  }
  ~Responder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (vxp_socket s : tx_)
      if (s != VXP_BAD_SOCKET) vxp_socket_close(s);
    if (rx_ != VXP_BAD_SOCKET) vxp_socket_close(rx_);
    vxp_net_cleanup();
  }
  // The sender address that the search sees for instrument i. Wine sends
  // every loopback datagram from 127.0.0.1, whatever the socket is bound to.
  const std::string& seen(size_t i) const { return seen_.at(i); }
  bool distinct() const {
    std::vector<std::string> all = seen_;
    std::sort(all.begin(), all.end());
    return std::adjacent_find(all.begin(), all.end()) == all.end();
  }
  bool ok() const { return ok_; }
  // Arrival times in ms after `origin`, and the payload sizes.
  std::vector<double> times(std::chrono::steady_clock::time_point origin) {
    std::lock_guard<std::mutex> hold(m_);
    std::vector<double> out;
    for (auto at : arrivals_) out.push_back(std::chrono::duration<double, std::milli>(at - origin).count());
    return out;
  }
  size_t requests() {
    std::lock_guard<std::mutex> hold(m_);
    return arrivals_.size();
  }
  std::vector<int64_t> sizes() {
    std::lock_guard<std::mutex> hold(m_);
    return sizes_;
  }

 private:
  void serve() {
    const auto began = std::chrono::steady_clock::now();
    const uint32_t loopback = addr_of("127.0.0.1");
    // Bounded even if a test forgets to end it.
    while (!stop_ && std::chrono::steady_clock::now() - began < std::chrono::seconds(60)) {
      if (vxp_wait_readable(rx_, 20) != 1) continue;
      char buf[600];
      uint32_t from = 0;
      uint16_t port = 0;
      int64_t n = vxp_recvfrom_port(rx_, buf, sizeof buf, &from, &port);
      const auto now = std::chrono::steady_clock::now();
      {
        std::lock_guard<std::mutex> hold(m_);
        arrivals_.push_back(now);
        sizes_.push_back(n);
      }
      if (n < 0) continue;
      // The searching socket is bound to every local address; the sender
      // shows as 0.0.0.0 for a broadcast over the loopback interface.
      for (size_t i = 0; i < instruments_.size(); ++i)
        if (instruments_[i].answers)
          vxp_sendto(tx_[i], instruments_[i].reply.data(), instruments_[i].reply.size(), loopback, port);
    }
  }

  // Sends one byte to the request socket before serving starts, and reads
  // back the sender address it arrives with.
  std::string probe_source(vxp_socket s) {
    char byte = 'p', text[16] = "";
    uint32_t from = 0;
    if (vxp_sendto(s, &byte, 1, addr_of("127.0.0.1"), kTestPort) != 1 || vxp_wait_readable(rx_, 2000) != 1 ||
        vxp_recvfrom(rx_, &byte, 1, &from) != 1 || !vxp_inet_text(from, text, sizeof text))
      ok_ = false;
    return text;
  }

  std::vector<FakeInstrument> instruments_;
  std::vector<std::string> seen_;
  vxp_socket rx_ = VXP_BAD_SOCKET;
  std::vector<vxp_socket> tx_;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex m_;
  std::vector<std::chrono::steady_clock::time_point> arrivals_;
  std::vector<int64_t> sizes_;
};

#define REQUIRE_DISTINCT_SENDERS(r)                                                               \
  do {                                                                                            \
    if (!(r).distinct()) {                                                                        \
      GTEST_SKIP() << "replies from different loopback addresses cannot be sent here (Wine sends " \
                      "them all from 127.0.0.1); the API suite covers this against vxsim";        \
    }                                                                                             \
  } while (0)

const LanScanSetup kTestScan = {kTestPort, vxp_tick_ms};

struct ScanResult {
  ViStatus status;
  std::string text;  // up to the first NUL
  int length;
  double ms;
  std::chrono::steady_clock::time_point began;
};

ScanResult scan(int tmoMs, int capacity = 1024, const LanScanSetup* setup = &kTestScan) {
  std::vector<char> text((size_t)std::max(capacity, 1), '#');
  ScanResult r;
  r.length = -9;
  const auto t0 = r.began = std::chrono::steady_clock::now();
  r.status = vx_lan_scan_with(setup, text.data(), tmoMs, capacity, &r.length);
  r.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  r.text = std::string(text.data(), strnlen(text.data(), text.size()));
  return r;
}

// The entries of a list, sorted, so that the order in which replies
// arrived does not matter.
std::vector<std::string> entries(const std::string& text) {
  std::vector<std::string> out;
  size_t p = 0, e;
  while ((e = text.find(';', p)) != std::string::npos) {
    out.push_back(text.substr(p, e - p + 1));
    p = e + 1;
  }
  EXPECT_EQ(p, text.size()) << "partial entry in " << text;
  std::sort(out.begin(), out.end());
  return out;
}

TEST(LanScan, ListsAnInstrumentOnceAndSendsFiveEmptyRequestsOnSchedule) {
  Responder r({{"127.0.0.5", lan_reply(80, "MODEL-A", "SN-A")}, {"127.0.0.7", "silent", false}});
  ASSERT_TRUE(r.ok());
  ScanResult s = scan(800);
  EXPECT_EQ(VI_SUCCESS, s.status);
  EXPECT_EQ("MODEL-A:SN-A:" + r.seen(0) + ";", s.text) << "answered all five requests, listed once";
  EXPECT_EQ((int)s.text.size(), s.length);
  EXPECT_GE(s.ms, 780.0);
  EXPECT_LT(s.ms, 1300.0);

  // The marks count from the search's start, which includes finding the
  // network cards (tens of ms under Wine); Windows' tick moves in steps of
  // up to 16 ms, so a mark may be seen early.
  std::vector<double> t = r.times(s.began);
  ASSERT_EQ(5u, t.size());
  EXPECT_EQ(std::vector<int64_t>(5, 0), r.sizes()) << "requests carry no bytes";
  const double marks[] = {0, 50, 150, 350, 650};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_GE(t[i], marks[i] - 20) << "request " << i;
    EXPECT_LT(t[i], marks[i] + 150) << "request " << i;
  }
}

TEST(LanScan, InstrumentsAlikeAtDifferentAddressesAreListedEach) {
  const std::string reply = lan_reply(80, "MODEL-A", "SN-A");
  Responder r({{"127.0.0.5", reply}, {"127.0.0.6", reply}});
  ASSERT_TRUE(r.ok());
  REQUIRE_DISTINCT_SENDERS(r);
  ScanResult s = scan(100);
  EXPECT_EQ(VI_SUCCESS, s.status);
  EXPECT_EQ(std::vector<std::string>({"MODEL-A:SN-A:127.0.0.5;", "MODEL-A:SN-A:127.0.0.6;"}), entries(s.text));
}

TEST(LanScan, ShortSearchesSendFewerRequests) {
  Responder r({});
  ASSERT_TRUE(r.ok());
  struct Case {
    int tmoMs;
    size_t requests;
  };
  size_t before = 0;
  for (Case c : {Case{0, 0}, Case{30, 1}, Case{150, 2}, Case{350, 3}}) {
    ScanResult s = scan(c.tmoMs);
    EXPECT_EQ(VI_SUCCESS, s.status);
    EXPECT_EQ(0, s.length);
    // Late requests of the responder are counted after a grace period.
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    size_t now = r.requests();
    EXPECT_EQ(c.requests, now - before) << "tmoMs " << c.tmoMs;
    before = now;
    if (c.tmoMs == 0) {
      EXPECT_LT(s.ms, 300.0);
      EXPECT_EQ('#', s.text[0]) << "nothing written without a reply";
    } else {
      EXPECT_GE(s.ms, c.tmoMs - 16.0);
      EXPECT_LT(s.ms, c.tmoMs + 300.0);
    }
  }
}

TEST(LanScan, RepliesAreReadOnlyWithinTheirBytesAndOnlyUpTo127) {
  const std::string serial76 = std::string(75, 's') + "E";  // bytes 51..126
  struct Case {
    std::string reply;
    const char* listedAs;  // model ":" serial ":", or null when ignored
  } cases[] = {
      {lan_reply(127, "M127", serial76), nullptr},  // filled in below: all 127 bytes used
      {lan_reply(128, "M128", serial76 + "X"), nullptr},
      {"", nullptr},
      {lan_reply(21, "", ""), "::"},           // too short for the model
      {lan_reply(22, "AB", ""), "A::"},        // one byte of model
      {lan_reply(30, "MODEL-104", "SER"), "MODEL-104::"},  // model cut by the end, no serial
      {lan_reply(52, "M", "SER"), "M:S:"},     // one byte of serial
      {lan_reply(80, "", ""), "::"},           // NUL at both offsets
      {lan_reply(80, std::string(30, 'm'), "SN"), nullptr},  // model runs on into the serial
  };
  const std::string full127 = "M127:" + serial76 + ":";
  const std::string runOn = std::string(30, 'm') + "SN:SN:";
  cases[0].listedAs = full127.c_str();
  cases[8].listedAs = runOn.c_str();
  for (const Case& c : cases) {
    Responder r({{"127.0.0.10", c.reply}});
    ASSERT_TRUE(r.ok());
    // Long enough for the reply under Wine on a loaded machine; what is
    // read is the point, not when.
    ScanResult s = scan(300);
    EXPECT_EQ(VI_SUCCESS, s.status);
    if (c.listedAs) {
      EXPECT_EQ(std::string(c.listedAs) + r.seen(0) + ";", s.text) << "reply of " << c.reply.size();
    } else {
      EXPECT_EQ(0, s.length) << "reply of " << c.reply.size() << " bytes is ignored";
    }
  }
}

TEST(LanScan, EntryThatDoesNotFitEndsTheSearchAtOnce) {
  Responder r({{"127.0.0.5", lan_reply(80, "MODEL-A", "SN-A")}});
  ASSERT_TRUE(r.ok());
  const std::string entry = "MODEL-A:SN-A:" + r.seen(0) + ";";
  const int fits = (int)entry.size() + 1;

  ScanResult s = scan(200, fits);
  EXPECT_EQ(VI_SUCCESS, s.status);
  EXPECT_EQ(entry, s.text);
  EXPECT_EQ((int)entry.size(), s.length);

  s = scan(5000, fits - 1);
  EXPECT_EQ(VI_SUCCESS_MAX_CNT, s.status);
  EXPECT_EQ(0, s.length);
  EXPECT_EQ("", s.text) << "left NUL-terminated at its old length";
  EXPECT_LT(s.ms, 2500.0) << "does not wait for tmoMs";

  s = scan(5000, 0);
  EXPECT_EQ(VI_SUCCESS_MAX_CNT, s.status);
  EXPECT_EQ('#', s.text[0]) << "no room at all: nothing written";
  EXPECT_LT(s.ms, 2500.0);

  char text[64];
  EXPECT_EQ(VI_SUCCESS, vx_lan_scan_with(&kTestScan, text, 30, sizeof text, nullptr)) << "length may be null";
  EXPECT_EQ(entry, std::string(text));
}

// A clock that the test drives: each reading moves it on by a fixed step,
// and after a number of readings it jumps to just before the start again,
// so that a search whose end test wraps would still end.
struct FakeClock {
  uint32_t now;
  uint32_t step;
  int readings;
  int jumpAfter;
  uint32_t start;
};
FakeClock g_clock;

uint32_t fake_tick() {
  g_clock.readings++;
  if (g_clock.readings == 1) g_clock.start = g_clock.now;
  if (g_clock.readings > g_clock.jumpAfter) return g_clock.start - 1u;
  uint32_t t = g_clock.now;
  g_clock.now += g_clock.step;
  return t;
}

TEST(LanScan, EndsOnTimeAcrossTickWrapsEvenForTheLongestTimeout) {
  const LanScanSetup fakeTime = {kTestPort, fake_tick};

  // The tick counter wraps during a 100 ms search: 100 / 7 cycles.
  g_clock = FakeClock{0xFFFFFFF0u, 7, 0, 1000, 0};
  ScanResult s = scan(100, 64, &fakeTime);
  EXPECT_EQ(VI_SUCCESS, s.status);
  EXPECT_EQ(16, g_clock.readings);  // the start, then one per cycle until 15 * 7 >= 100

  // tmoMs -1 is 2^32 - 1 ms. Differences from the start wrap around long
  // before that; the search must still end once that much time has passed.
  g_clock = FakeClock{0x12345678u, 0x60000000u, 0, 40, 0};
  s = scan(-1, 64, &fakeTime);
  EXPECT_EQ(VI_SUCCESS, s.status);
  EXPECT_EQ(4, g_clock.readings) << "3 steps of 0x60000000 ms exceed 2^32 - 1";
}

}  // namespace
