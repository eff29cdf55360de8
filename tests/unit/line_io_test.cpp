// Line I/O byte by byte over the fake transport: what each transport call
// sees, and that no byte of the input stream is ever lost, duplicated or
// reordered.
#include <gtest/gtest.h>

#include <cstdlib>

#include "fake_transport.h"
#include "link/link_table.h"
#include "test_support.h"

namespace {

struct Lines : ::testing::Test {
  FakeLink fake;
  ViInt32 id = -1;
  void SetUp() override { id = fake_attach(&fake); }
  void TearDown() override { vx_comm_close(id); }

  // One gets into a buffer of `count` bytes; returns the text, checks the
  // count agrees with it.
  std::string gets(ViInt32 count, ViStatus want = VI_SUCCESS) {
    std::vector<char> buf((size_t)count + 1, '#');
    ViInt32 n = -5;
    EXPECT_EQ(want, vx_comm_gets(id, buf.data(), count, &n));
    EXPECT_EQ('#', buf[(size_t)count]) << "wrote past the buffer";
    return std::string(buf.data(), (size_t)n);
  }
};

TEST_F(Lines, PutsSendsTheCommandWithItsLineFeed) {
  const std::string longCmd(600, 'x');  // too long to copy: its line feed follows apart
  struct Case {
    const char* cmd;
    ViInt32 count;
    std::vector<std::string> writes;
    ViInt32 ret;
  } cases[] = {
      {"*IDN?", 0, {"*IDN?\n"}, 6},
      {"*IDN?\n", 0, {"*IDN?\n"}, 6},
      {"ABCDEF", 3, {"ABC\n"}, 4},
      {"AB\r\nCD", 0, {"AB\n"}, 3},
      {longCmd.c_str(), 0, {longCmd, "\n"}, 601},
      {"AB\nCD", -1, {"AB\n"}, 3},
      {"", 0, {}, 0},
      {"\rX", 0, {}, 0},
  };
  for (const Case& c : cases) {
    fake.writes.clear();
    ViInt32 n = -1;
    EXPECT_EQ(VI_SUCCESS, vx_comm_puts(id, c.cmd, c.count, &n)) << c.cmd;
    EXPECT_EQ(c.writes, fake.writes) << c.cmd;
    EXPECT_EQ(c.ret, n) << c.cmd;
  }
}

TEST_F(Lines, PutsResumesShortWritesAndCountsEveryByte) {
  fake.writeChunk = 2;
  ViInt32 n = 0;
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "*IDN?", 0, &n));
  EXPECT_EQ((std::vector<std::string>{"*I", "DN", "?\n"}), fake.writes);
  EXPECT_EQ(6, n);
}

TEST_F(Lines, GetsKeepsTheSecondLineForTheNextCall) {
  fake.script("abc\ndef\n");
  EXPECT_EQ("abc\n", gets(64));
  EXPECT_EQ("def\n", gets(64));
  EXPECT_EQ(1u, fake.readCounts.size()) << "second line must come from the PendingLine";
  EXPECT_EQ(64, fake.readCounts[0]);
}

TEST_F(Lines, GetsGivesBackTheLastByteWhenTheBufferFills) {
  fake.script("ABCD\n");
  EXPECT_EQ("ABCD", gets(5));
  EXPECT_EQ("\n", gets(5));
  EXPECT_EQ(1u, fake.readCounts.size());

  fake.script("ABCDEFG\n");
  EXPECT_EQ("ABC", gets(4));
  EXPECT_EQ("DEF", gets(4));
  EXPECT_EQ("G\n", gets(4));
  EXPECT_EQ((std::vector<ViInt32>{5, 4, 3, 3}), fake.readCounts);
}

TEST_F(Lines, ByteGivenBackStaysAheadOfThePendingLine) {
  fake.script("AB\nCDEFG\n");
  EXPECT_EQ("AB\n", gets(64));  // leaves "CDEFG\n" in the PendingLine
  EXPECT_EQ("CD", gets(3));     // served wholly from it, 'E' given back
  EXPECT_EQ("EF", gets(3));
  EXPECT_EQ("G\n", gets(3));
  EXPECT_EQ(1u, fake.readCounts.size());
}

TEST_F(Lines, NulEndsALineAndCounts) {
  fake.script(std::string("ab\0cd\n", 6));
  EXPECT_EQ(std::string("ab\0", 3), gets(16));
  EXPECT_EQ("cd\n", gets(16));
}

TEST_F(Lines, FailedReadDiscardsTheLineKeepsThePendingLineAndClearsNothing) {
  fake.script("one\npartial");
  fake.fail(VI_ERROR_TMO);
  EXPECT_EQ("one\n", gets(64));
  std::vector<char> buf(64, 'x');
  ViInt32 n = -1;
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_gets(id, buf.data(), 64, &n));
  EXPECT_EQ('\0', buf[0]);
  EXPECT_EQ(0, n);
  EXPECT_EQ(0, fake.clearCalls) << "a timeout must not clear the instrument";
}

TEST_F(Lines, NonPositiveCountTouchesNothing) {
  fake.script("abc\n");
  char buf[4] = {'q', 'q', 'q', 'q'};
  ViInt32 n = 9;
  EXPECT_EQ(VI_SUCCESS, vx_comm_gets(id, buf, 0, &n));
  EXPECT_EQ(VI_SUCCESS, vx_comm_gets(id, buf, -3, &n));
  EXPECT_EQ(0, n);
  EXPECT_EQ('q', buf[0]);
  EXPECT_TRUE(fake.readCounts.empty());
}

TEST_F(Lines, NoMemoryForTheRemainderStaysInsideTheBuffer) {
  void* (*saved)(size_t) = vx_link_alloc;
  vx_link_alloc = [](size_t) -> void* { return nullptr; };
  fake.script("abcdefgh");
  std::string got = gets(5);
  vx_link_alloc = saved;
  EXPECT_EQ("abcd", got);  // terminator inside the five bytes
  // The byte that had no room is gone; the stream goes on after it.
  fake.script("xy\n");
  EXPECT_EQ("fghxy\n", gets(16));
}

TEST_F(Lines, LogLinesOfPutsAndGets) {
  TempLog log("lines");
  vx_usb_startdebug(log.path.c_str());
  ViInt32 n = 0;
  vx_comm_puts(id, "*IDN?", 0, &n);
  fake.script("VX,1\n");
  char buf[32];
  vx_comm_gets(id, buf, sizeof buf, &n);
  vx_comm_gets(id, buf, sizeof buf, nullptr);
  vx_usb_stopdebug();
  std::string sid = std::to_string(id), rp = vx_test_ptr(&n), bp = vx_test_ptr(buf);
  std::vector<std::string> want = {
      "vx_comm_puts(linkId=" + sid + ", cmd=*IDN?, count=0, retCount=" + rp + ")",
      "vx_comm_puts() returns: status=0, retCount=6",
      "vx_comm_gets(linkId=" + sid + ", buf=" + bp + ", count=32, retCount=" + rp + ")",
      "vx_comm_gets() returns: status=0, buf=VX,1",
      ", retCount=5",
      "vx_comm_gets(linkId=" + sid + ", buf=" + bp + ", count=32, retCount=" + vx_test_ptr(nullptr) + ")",
      "vx_comm_gets() returns: status=" + std::to_string(VI_ERROR_TMO) + ", buf=, retCount=0",
  };
  EXPECT_EQ(want, log.lines());
  EXPECT_EQ("vx_comm_gets() error: VI_ERROR_CONN_LOST\n", [] {
    TempLog l("err");
    vx_usb_startdebug(l.path.c_str());
    char b[4];
    vx_comm_gets(0, b, 4, nullptr);
    vx_usb_stopdebug();
    std::string t = l.text();
    return t.substr(t.find(' ') + 1);
  }());
}

}  // namespace
