// VISA links and the VISA search through the exports, over the fixture VISA
// library: its socket and USB INSTR resources reach the simulator over TCP,
// its scripted ones answer the identification query themselves.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>
#include <vector>

#include "api_util.h"
#include "pattern.h"

namespace {

const char kUsbName[] = "USB0::0x03EB::0xAFFF::SNVX0000000000000001::INSTR";

// The fixture's table, written once per process and named to it through
// its environment variable.
void write_visa_table() {
  static bool done = false;
  if (done) return;
  done = true;
  const std::string path = vx_test_temp_dir() + "/vx_visa_table.txt";
  std::ofstream out(path, std::ios::binary);
  out << kUsbName << " tcp " << sim_addr(1) << "\n"
      << "USB0::0x03EB::0xAFFF::4711::INSTR idn Vextron AG,VX-1,4711,1.0\n"
      << "USB0::0x03EB::0xAFFF::4712::INSTR idn Vextron AG,VX-2,4712,1.0\n"
      << "USB0::0x1234::0x0001::99::INSTR idn Other Maker,X,99,1.0\n";
  vx_test_setenv("VXVISA_TABLE", path);
}

// 0: the socket resource of the first instrument; 1: the second
// instrument under a USB INSTR name.
std::string visa_address(int which) {
  return which == 0 ? "TCPIP0::" + sim_addr(0) + "::18::SOCKET" : std::string(kUsbName);
}

struct VisaLinks : ::testing::TestWithParam<int> {
  ViInt32 id = -1;
  static void SetUpTestSuite() {
    write_visa_table();
    ASSERT_EQ(VI_SUCCESS, vx_comm_loadVisa());
  }
  static void TearDownTestSuite() { vx_comm_freeVisa(); }
  void SetUp() override {
    id = open_link(visa_address(GetParam()));
    ASSERT_GT(id, 0);
  }
  void TearDown() override {
    if (id > 0) vx_comm_close(id);
  }
};

TEST_P(VisaLinks, LinesRawTransfersAndClears) {
  EXPECT_EQ(
      GetParam() == 0 ? "VXSIM,MODEL-100,SNVX0000000000000000,1.0\n" : "VXSIM,MODEL-101,SNVX0000000000000001,1.0\n",
      query(id, "*IDN?"));

  ViInt32 n = -1;
  ASSERT_EQ(VI_SUCCESS, vx_comm_write(id, "ECHO raw\n", 9, &n));
  EXPECT_EQ(9, n);
  char buf[64];
  ASSERT_EQ(VI_SUCCESS, vx_comm_read(id, buf, sizeof buf, &n));
  EXPECT_EQ("raw\n", std::string(buf, (size_t)n));

  const std::string data = "SINK 100000\n" + pattern(100000);
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlocking(id, data.data(), (ViInt32)data.size(), &n));
  EXPECT_EQ((ViInt32)data.size(), n);
  char line[128];
  ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, line, sizeof line, &n));
  EXPECT_EQ(upload_reply(100000), std::string(line, (size_t)n));

  std::vector<char> big(300000);
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "STREAM? 300000", 0, nullptr));
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlocking(id, big.data(), (ViInt32)big.size(), &n));
  EXPECT_EQ(300000, n);
  EXPECT_TRUE(pattern(300000) == std::string(big.data(), big.size()));

  // The rest of a reply waiting when the link is cleared is gone; the next
  // one arrives. Reading its first bytes makes sure the rest is there.
  for (auto clear : {vx_comm_clear, vx_comm_clear_async}) {
    ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "ECHO stale reply", 0, nullptr));
    ASSERT_EQ(VI_SUCCESS, vx_comm_read(id, buf, 3, &n));
    EXPECT_EQ(VI_SUCCESS, clear(id));
    EXPECT_EQ("fresh\n", query(id, "ECHO fresh"));
  }
}

TEST_P(VisaLinks, BlocksBothWays) {
  const std::string data = pattern(5000);
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlock(id, "UPLOAD", data.data(), (ViInt32)data.size()));
  char line[128];
  ViInt32 n = 0;
  ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, line, sizeof line, &n));
  EXPECT_EQ(upload_reply(5000), std::string(line, (size_t)n));

  const std::string path = vx_test_temp_dir() + "/vx_visa_block.bin";
  { std::ofstream(path, std::ios::binary) << data; }
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlockFile(id, "UPLOAD", path.c_str()));
  ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, line, sizeof line, &n));
  EXPECT_EQ(upload_reply(5000), std::string(line, (size_t)n));

  std::string got;
  std::vector<char> piece(3000);
  for (ViStatus s = VI_SUCCESS_MAX_CNT; s == VI_SUCCESS_MAX_CNT;) {
    s = vx_comm_readBlock(id, "BLOCK? 20000", piece.data(), (ViInt32)piece.size(), &n);
    ASSERT_TRUE(s == VI_SUCCESS || s == VI_SUCCESS_MAX_CNT) << s;
    got.append(piece.data(), (size_t)n);
  }
  EXPECT_TRUE(pattern(20000) == got);

  ViInt32 size = 0;
  std::vector<char> whole(20000);
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlockSize(id, "BLOCK? 7000 bin", &size));
  EXPECT_EQ(7000, size);
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlockData(id, whole.data(), (ViInt32)whole.size(), &n));
  EXPECT_TRUE(pattern(7000) == std::string(whole.data(), (size_t)n));

  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlock_async(id, "BLOCK? 9000", whole.data(), (ViInt32)whole.size(), &n));
  EXPECT_TRUE(pattern(9000) == std::string(whole.data(), (size_t)n));

  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlockFile(id, "BLOCK? 12345", path.c_str()));
  EXPECT_TRUE(pattern(12345) == file_text(path));
  remove(path.c_str());
}

TEST_P(VisaLinks, TakesNoLockAndTimesOutAfterTheTimeoutSet) {
  TempLog log("visa");
  vx_usb_startdebug(log.path.c_str());
  EXPECT_EQ("x\n", query(id, "ECHO x"));
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 300));
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "HANG", 0, nullptr));
  const auto start = std::chrono::steady_clock::now();
  char buf[16];
  ViInt32 n = -1;
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_gets(id, buf, sizeof buf, &n));
  EXPECT_LT(elapsed_ms(start), 5000.0);
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  id = -1;
  vx_usb_stopdebug();
  const std::vector<std::string> lines = log.lines();
  ASSERT_FALSE(lines.empty());
  for (const std::string& l : lines) EXPECT_EQ(std::string::npos, l.find("lock(")) << l;
}

// A close from another thread ends a VISA call blocked with no time limit
// (the instrument stalls 20 s) instead of waiting for it.
TEST_P(VisaLinks, CloseEndsACallBlockedWithoutATimeLimit) {
  const double kBoundMs = 5000;
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, -1));
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "DELAY 20000 *IDN?", 0, nullptr));
  const ViInt32 link = id;
  std::future<ViStatus> blocked = std::async(std::launch::async, [link] {
    char buf[64];
    ViInt32 n = 0;
    return vx_comm_gets(link, buf, sizeof buf, &n);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(std::future_status::timeout, blocked.wait_for(std::chrono::milliseconds(0))) << "did not block";
  const auto closing = std::chrono::steady_clock::now();
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  id = -1;
  EXPECT_LT(elapsed_ms(closing), kBoundMs) << "close waited for the blocked call";
  ASSERT_EQ(std::future_status::ready, blocked.wait_for(std::chrono::milliseconds((int)kBoundMs)));
  EXPECT_EQ(VI_ERROR_CONN_LOST, blocked.get());
}

INSTANTIATE_TEST_SUITE_P(SocketAndUsbNames, VisaLinks, ::testing::Values(0, 1));

std::vector<std::string> sorted_entries(const std::string& text) {
  std::vector<std::string> out;
  for (size_t p = 0, e; (e = text.find(';', p)) != std::string::npos; p = e + 1) out.push_back(text.substr(p, e - p));
  std::sort(out.begin(), out.end());
  return out;
}

// Unloads VISA however the test ends, so that later tests start without it.
struct FreeVisaAtEnd {
  ~FreeVisaAtEnd() { vx_comm_freeVisa(); }
};

TEST(VisaFind, EitherVisaBitListsTheMakersInstrumentsAfterTheLanOnes) {
  write_visa_table();
  FreeVisaAtEnd unload;
  char devices[4096];
  ViInt32 n = -1;
  // Not loaded: no VISA entries, and no failure either.
  ASSERT_EQ(VI_SUCCESS, vx_comm_find(devices, 300, sizeof devices, &n, IFACE_VISA));
  EXPECT_EQ(0, n);
  ASSERT_EQ(VI_SUCCESS, vx_comm_loadVisa());
  const std::vector<std::string> want = {"VX-1:4711:USB0::0x03EB::0xAFFF::4711::INSTR",
                                         "VX-2:4712:USB0::0x03EB::0xAFFF::4712::INSTR"};
  for (int bits : {0x100, 0x200, IFACE_VISA}) {
    ASSERT_EQ(VI_SUCCESS, vx_comm_find(devices, 300, sizeof devices, &n, bits));
    EXPECT_EQ(want, sorted_entries(std::string(devices, (size_t)n))) << bits;
  }
  // LAN first: the VISA text follows whatever the LAN search found.
  ASSERT_EQ(VI_SUCCESS, vx_comm_find(devices, 300, sizeof devices, &n, IFACE_LAN | IFACE_VISA));
  const std::string all(devices, (size_t)n);
  const size_t visaAt = all.find("VX-");
  ASSERT_NE(std::string::npos, visaAt);
  EXPECT_NE(std::string::npos, all.find(sim_addr(0)));
  EXPECT_LT(all.find(sim_addr(0)), visaAt);
}

// What the binding reports for the library the test run installed: the
// fixture (default), none ("absent"), one without viSetAttribute
// ("missing"), or one without the three optional controls ("basic"), as the
// test's environment says. A USB name is served by a VISA library only.
TEST(VisaBinding, StatesMatchTheInstalledLibrary) {
  write_visa_table();
  const char* scenario = getenv("VX_VISA_SCENARIO");
  const bool usable = !scenario || !*scenario || std::string(scenario) == "basic";
  const std::string address = kUsbName;
  FreeVisaAtEnd unload;
  ViInt32 id = -7;
  ASSERT_EQ(VI_SUCCESS, vx_comm_open(address.c_str(), 1000, &id));
  EXPECT_EQ(-1, id);  // nothing loaded yet
  for (int round = 0; round < 2; ++round) {
    const ViStatus want = usable ? VI_SUCCESS : VI_ERROR_SYSTEM_ERROR;
    TempLog log("load_visa");
    vx_usb_startdebug(log.path.c_str());
    EXPECT_EQ(want, vx_comm_loadVisa());
    vx_usb_stopdebug();
    EXPECT_EQ(want, vx_comm_loadVisa());
    // A load that fails names the file, and the search or what it lacks.
    auto lines = log.lines();
    if (usable) {
      EXPECT_TRUE(lines.empty());
    } else {
      ASSERT_EQ(1u, lines.size());
      const std::string& line = lines[0];
      EXPECT_EQ(0u, line.find("vx_comm_loadVisa() error: ")) << line;
      EXPECT_TRUE(line.find("libvisa.so") != std::string::npos || line.find("visa32.dll") != std::string::npos)
          << line;
      const char* why = std::string(scenario) == "missing" ? " has no viSetAttribute" : "; searched ";
      EXPECT_NE(std::string::npos, line.find(why)) << line;
    }
    ASSERT_EQ(VI_SUCCESS, vx_comm_open(address.c_str(), 1000, &id));
    if (usable) {
      ASSERT_GT(id, 0);
      EXPECT_EQ("y\n", query(id, "ECHO y"));
      EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
    } else {
      EXPECT_EQ(-1, id);
    }
    vx_comm_freeVisa();  // and the next round loads again
  }
}

// A SOCKET name goes to the VISA library whenever a usable one is loaded,
// and the controls and the lock with it: the fixture's status byte tells
// the triggers and the REN mode it was given. A library without them still
// loads and they answer VI_ERROR_NSUP_OPER; without a usable library the
// name opens raw TCP, which has none either.
TEST(VisaBinding, ControlsReachTheLibraryOrAnswerNotSupported) {
  write_visa_table();
  const char* scenario = getenv("VX_VISA_SCENARIO");
  const std::string which = scenario ? scenario : "";
  FreeVisaAtEnd unload;
  EXPECT_EQ(which.empty() || which == "basic" ? VI_SUCCESS : VI_ERROR_SYSTEM_ERROR, vx_comm_loadVisa());
  ViInt32 id = open_link(visa_address(0));
  ASSERT_GT(id, 0);
  ViUInt16 stb = 77;
  if (!which.empty()) {
    EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_readStb(id, &stb));
    EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_trigger(id));
    EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_remote(id, VI_GPIB_REN_ASSERT_ADDRESS));
    EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_lock(id, 0));
    EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_unlock(id));
    EXPECT_EQ(77, stb);
  } else {
    EXPECT_EQ(VI_SUCCESS, vx_comm_readStb(id, &stb));
    EXPECT_EQ(7, stb);  // no trigger, no REN mode yet
    EXPECT_EQ(VI_SUCCESS, vx_comm_remote(id, VI_GPIB_REN_ASSERT_LLO));
    EXPECT_EQ(VI_SUCCESS, vx_comm_trigger(id));
    EXPECT_EQ(VI_SUCCESS, vx_comm_trigger(id));
    EXPECT_EQ(VI_SUCCESS, vx_comm_readStb(id, &stb));
    EXPECT_EQ(2 * 8 + VI_GPIB_REN_ASSERT_LLO, stb);
    // The library's status comes back as it is, and a failed read leaves
    // the caller's byte alone.
    const ViStatus kIo = (ViStatus)0xBFFF003EUL;  // VI_ERROR_IO
    vx_test_setenv("VXVISA_FAIL", "1:" + std::to_string(kIo) + ":controls");
    stb = 77;
    EXPECT_EQ(kIo, vx_comm_readStb(id, &stb));
    vx_test_setenv("VXVISA_FAIL", "");
    EXPECT_EQ(77, stb);
    // The lock: a second link on the same resource waits and is refused
    // while the first holds it, and gets it once given back.
    ViInt32 other = open_link(visa_address(0));
    ASSERT_GT(other, 0);
    EXPECT_EQ(VI_SUCCESS, vx_comm_lock(id, 0));
    EXPECT_EQ(VI_ERROR_RSRC_LOCKED, vx_comm_lock(other, 100));
    EXPECT_EQ(VI_SUCCESS, vx_comm_unlock(id));
    EXPECT_EQ(VI_SUCCESS, vx_comm_lock(other, 0));
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(other));
    EXPECT_EQ(VI_SUCCESS, vx_comm_lock(id, 0));
  }
  EXPECT_EQ("z\n", query(id, "ECHO z"));
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

// Windows: a visa32.dll only in the current folder (someone left it where a
// script runs) is never loaded; the same file beside the program is. Run by
// the visa_planted test from the fixture's folder, with the program in a
// folder of its own (VX_VISA_BESIDE, relative to the current one).
TEST(VisaBinding, OnlyTheProgramsOrTheSystemsFolderIsSearched) {
  const char* scenario = getenv("VX_VISA_SCENARIO");
  const char* beside = getenv("VX_VISA_BESIDE");
  if (!scenario || std::string(scenario) != "planted" || !beside) GTEST_SKIP() << "run by the visa_planted test";
  const std::string marker = vx_test_temp_dir() + "/vx_visa_loaded";
  const std::string copy = std::string(beside) + "/visa32.dll";
  remove(marker.c_str());
  remove(copy.c_str());
  vx_test_setenv("VXVISA_MARKER", marker);
  FreeVisaAtEnd unload;
  ASSERT_TRUE(std::ifstream("visa32.dll").good()) << "the fixture is not in the current folder";

  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_loadVisa());
  EXPECT_FALSE(std::ifstream(marker).good()) << "the current folder's visa32.dll was loaded";
  vx_comm_freeVisa();

  {
    std::ifstream in("visa32.dll", std::ios::binary);
    std::ofstream out(copy, std::ios::binary);
    out << in.rdbuf();
  }
  EXPECT_EQ(VI_SUCCESS, vx_comm_loadVisa());
  EXPECT_TRUE(std::ifstream(marker).good());
  vx_comm_freeVisa();
  remove(copy.c_str());
  remove(marker.c_str());
}

}  // namespace
