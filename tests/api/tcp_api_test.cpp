// TCP links against the simulator: raw bytes, lines, timeouts, clear and a
// peer that goes away.
#include <cstring>
#include <thread>
#include <vector>

#include "api_util.h"
#include "pattern.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

struct Tcp : SimLink {};

TEST_F(Tcp, IdentificationQuery) {
  std::string idn = query(id, "*IDN?");
  EXPECT_EQ(0u, idn.find("VXSIM,MODEL-100,")) << idn;
  EXPECT_EQ('\n', idn.back());
}

TEST_F(Tcp, LinesArriveWholeHoweverTheyAreSplit) {
  EXPECT_EQ("hello there\n", query(id, "SPLIT 5 20 hello there"));
  // Two lines in one segment: the second is served from the PendingLine.
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, ("RAWHEX " + hex("one\ntwo\n")).c_str(), 0, nullptr));
  char buf[64];
  ViInt32 n = 0;
  ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, buf, sizeof buf, &n));
  EXPECT_EQ("one\n", std::string(buf, (size_t)n));
  ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, buf, sizeof buf, &n));
  EXPECT_EQ("two\n", std::string(buf, (size_t)n));
  // One byte per segment, into a buffer that fills twice.
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "CHUNKS 1 61 62 63 64 65 0A", 0, nullptr));
  std::string line;
  for (int i = 0; i < 4 && (line.empty() || line.back() != '\n'); ++i) {
    ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, buf, 3, &n));
    line += std::string(buf, (size_t)n);
  }
  EXPECT_EQ("abcde\n", line);
}

TEST_F(Tcp, ReadReturnsWhatIsWaitingWithoutWaitingForMore) {
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, ("RAWHEX " + hex("0123456789")).c_str(), 0, nullptr));
  char buf[100];
  ViInt32 n = 0;
  auto t0 = Clock::now();
  ASSERT_EQ(VI_SUCCESS, vx_comm_read(id, buf, 100, &n));
  EXPECT_EQ(10, n);
  EXPECT_LT(elapsed_ms(t0), 900.0) << "the read waited for its timeout";
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_read(id, buf, 0, &n)) << "a read of nothing receives nothing";
  EXPECT_EQ(0, n);
}

TEST_F(Tcp, ReadTimeoutIsOneSecondUntilSetThenTheValueSet) {
  char buf[8];
  ViInt32 n = 3;
  auto t0 = Clock::now();
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_read(id, buf, sizeof buf, &n));
  double first = elapsed_ms(t0);
  EXPECT_EQ(0, n);
  EXPECT_GE(first, 900.0);
  EXPECT_LT(first, 5000.0);
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 150));
  t0 = Clock::now();
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_read(id, buf, sizeof buf, &n));
  EXPECT_LT(elapsed_ms(t0), 900.0);
  // A timed-out gets leaves an empty text and no count.
  ViInt32 got = 9;
  buf[0] = 'x';
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_gets(id, buf, sizeof buf, &got));
  EXPECT_EQ('\0', buf[0]);
  EXPECT_EQ(0, got);
}

TEST_F(Tcp, ZeroTimeoutMeansNoLimit) {
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 0));
  EXPECT_EQ("late\n", query(id, "DELAY 1300 ECHO late"));
}

TEST_F(Tcp, BlockingTransfersMoveEveryByteInOrder) {
  const ViInt32 size = 3 * 1024 * 1024 + 17;
  std::vector<uint8_t> data((size_t)size);
  vxsim::pattern_fill(0, data.data(), data.size());
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, ("SINK " + std::to_string(size)).c_str(), 0, nullptr));
  ViInt32 n = 0;
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlocking(id, data.data(), size, &n));
  EXPECT_EQ(size, n);
  vxsim::Checksum sum;
  sum.update(data.data(), data.size());
  char want[64];
  snprintf(want, sizeof want, "%d,%016llx\n", (int)size, (unsigned long long)sum.value());
  char buf[128];
  ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, buf, sizeof buf, &n));
  EXPECT_EQ(std::string(want), std::string(buf, (size_t)n));

  std::vector<uint8_t> back((size_t)size);
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, ("STREAM? " + std::to_string(size)).c_str(), 0, nullptr));
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlocking(id, back.data(), size, &n));
  EXPECT_EQ(size, n);
  EXPECT_TRUE(back == data) << "content differs from the pattern";
}

TEST_F(Tcp, ClearDiscardsAtMostOneScratchBufferOfWaitingInput) {
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "STREAM? 3000", 0, nullptr));
  // Let the bytes arrive: one byte read proves the stream has started.
  char first;
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlocking(id, &first, 1, nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(VI_SUCCESS, vx_comm_clear(id));
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 200));
  std::vector<uint8_t> rest(4000);
  ViInt32 total = 0, n = 0;
  while (total < 2999 && vx_comm_read(id, rest.data() + total, 4000 - total, &n) == VI_SUCCESS) total += n;
  EXPECT_GE(total, 1499);
  EXPECT_LT(total, 2999);
  std::vector<uint8_t> want((size_t)total);
  vxsim::pattern_fill((uint64_t)(3000 - total), want.data(), want.size());
  EXPECT_TRUE(std::equal(want.begin(), want.end(), rest.begin())) << "the clear dropped the wrong bytes";
  // A clear with nothing waiting returns at once.
  auto t0 = Clock::now();
  EXPECT_EQ(VI_SUCCESS, vx_comm_clear(id));
  EXPECT_LT(elapsed_ms(t0), 500.0);
}

// A connection the instrument closed is lost, not slow: a timeout would be
// retried for ever.
TEST_F(Tcp, PeerThatClosedGivesConnLostOnReadAndWriteWithoutASignal) {
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "CLOSE", 0, nullptr));
  char buf[16];
  ViInt32 n = 0;
  TempLog log("peer_closed");
  vx_usb_startdebug(log.path.c_str());
  auto t0 = Clock::now();
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_read(id, buf, sizeof buf, &n));
  EXPECT_LT(elapsed_ms(t0), 900.0) << "end of stream must not wait for the timeout";
  vx_usb_stopdebug();
  auto lines = log.lines();
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ("vx_comm_read() error: the connection is lost: the instrument closed it, or the network failed", lines[1]);
  std::vector<char> chunk(64 * 1024, 'x');
  ViStatus s = VI_SUCCESS;
  for (int i = 0; i < 200 && s == VI_SUCCESS; ++i) s = vx_comm_write(id, chunk.data(), (ViInt32)chunk.size(), &n);
  EXPECT_EQ(VI_ERROR_CONN_LOST, s);  // and the process is still alive
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  id = -1;
}

TEST_F(Tcp, TimeoutMidLineLeavesTheLinkUsableAfterAClear) {
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 200));
  ViStatus s = VI_SUCCESS;
  EXPECT_EQ("", query(id, "SPLIT 2 500 abcdef", &s));  // "abc", then a pause past the timeout
  EXPECT_EQ(VI_ERROR_TMO, s);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(VI_SUCCESS, vx_comm_clear(id));
  EXPECT_EQ("again\n", query(id, "ECHO again"));
}

// With tmoMs > 0 an open waits at most max(tmoMs, 3000) ms for an answer.
// 192.0.2.1 (TEST-NET-1) is not local; inside the test's namespace its SYN
// goes out on lo and no one answers.
TEST(TcpOpen, AbsentHostFailsWithinTheBoundAndSaysSo) {
  TempLog log("absent");
  vx_usb_startdebug(log.path.c_str());
  ViInt32 id = -7;
  auto t0 = Clock::now();
  ASSERT_EQ(VI_SUCCESS, vx_comm_open("TCP-192.0.2.1", 500, &id));
  const double took = elapsed_ms(t0);
  vx_usb_stopdebug();
  EXPECT_EQ(-1, id);
  EXPECT_LT(took, 6000.0);
  std::vector<std::string> want = {"vx_comm_open(address=TCP-192.0.2.1, tmoMs=500)",
                                   "vx_comm_open() error: no answer from 192.0.2.1 within 3000 ms",
                                   "vx_comm_open() error: failed opening a physical link",
                                   "vx_comm_open() returns: linkId=-1"};
  EXPECT_EQ(want, log.lines());
}

// Exactly four decimal numbers of 0 to 255, leading zeros allowed; a reader
// of octal or of short forms would reach another instrument.
TEST(TcpOpen, AddressesAreFourDecimalNumbers) {
  const std::string sim = sim_addr();  // 127.0.0.2
  ASSERT_EQ("127.0.0.2", sim);
  struct Case {
    const char* address;
    bool opens;
  } cases[] = {
      {"127.000.000.002", true}, {"TCP-127.0.0.002", true}, {"127.2", false},        {"127.0.0.02x", false},
      {"1.2.3.4.5", false},      {"256.1.1.1", false},      {"TCP- 127.0.0.2", false}, {"127.0.0.-2", false},
      {"0127.0.0.2", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    TempLog log("ipv4");
    vx_usb_startdebug(log.path.c_str());
    ViInt32 id = -7;
    ASSERT_EQ(VI_SUCCESS, vx_comm_open(c.address, 1000, &id));
    vx_usb_stopdebug();
    if (c.opens) {
      ASSERT_GT(id, 0);
      EXPECT_EQ(0u, query(id, "*IDN?").find("VXSIM,MODEL-100,")) << "not the instrument at 127.0.0.2";
      vx_comm_close(id);
      continue;
    }
    EXPECT_EQ(-1, id);
    const std::string text = strncmp(c.address, "TCP-", 4) == 0 ? c.address + 4 : c.address;
    auto lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ("vx_comm_open() error: '" + text + "' is not an IPv4 address (four decimal numbers of 0 to 255)",
              lines[1]);
  }
}

}  // namespace
