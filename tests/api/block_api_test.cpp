// Blocks against the simulator, through the exports only: every block's
// content is checked against the data pattern, never only its length.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "api_util.h"
#include "pattern.h"

namespace {

std::string temp_path(const char* tag) { return vx_test_temp_dir() + "/vx_blockapi_" + tag + ".bin"; }

struct Blocks : SimLink {
  // The next reply line, empty on failure.
  std::string line() {
    char buf[128];
    ViInt32 n = 0;
    if (vx_comm_gets(id, buf, sizeof buf, &n) != VI_SUCCESS) return std::string();
    return std::string(buf, (size_t)n);
  }

  // Reads one block with vx_comm_readBlock in pieces of `count`, sending the
  // same query each time; false when a call fails or the calls run out.
  bool read_block(const std::string& cmd, ViInt32 count, std::string* data) {
    std::vector<char> buf((size_t)count);
    data->clear();
    for (int calls = 0; calls < 100000; ++calls) {
      ViInt32 n = 0;
      ViStatus s = vx_comm_readBlock(id, cmd.c_str(), buf.data(), count, &n);
      if (s != VI_SUCCESS && s != VI_SUCCESS_MAX_CNT) return false;
      data->append(buf.data(), (size_t)n);
      if (s == VI_SUCCESS) return true;
    }
    return false;
  }
};

TEST_F(Blocks, PiecesAcrossCallsSendTheQueryOnceInBothHeaderForms) {
  int queries = 0;
  for (const char* form : {"def", "bin"}) {
    std::string cmd = std::string("BLOCK? 2500 ") + form, got;
    char buf[1000];
    ViInt32 n = 0;
    for (ViStatus want : {VI_SUCCESS_MAX_CNT, VI_SUCCESS_MAX_CNT, VI_SUCCESS}) {
      ASSERT_EQ(want, vx_comm_readBlock(id, cmd.c_str(), buf, sizeof buf, &n)) << form;
      got.append(buf, (size_t)n);
    }
    EXPECT_EQ(pattern(2500), got) << form;
    EXPECT_EQ(std::to_string(++queries) + "\n", query(id, "BLOCKCOUNT?"));
  }
  // Size first, then the data in one piece.
  ViInt32 size = 0, n = 0;
  std::vector<char> buf(100000);
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlockSize(id, "BLOCK? 70000 bin", &size));
  EXPECT_EQ(70000, size);
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlockData(id, buf.data(), (ViInt32)buf.size(), &n));
  EXPECT_EQ(pattern(70000), std::string(buf.data(), (size_t)n));
}

TEST_F(Blocks, RefusedHeadersLeaveTheLinkUsableAfterAClear) {
  for (const char* bad : {"BLOCK? 100 mark=58", "BLOCK? 100 digit=0", "BLOCK? 100 bin binbad"}) {
    char buf[200];
    ViInt32 n = -3;
    EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_readBlock(id, bad, buf, sizeof buf, &n)) << bad;
    EXPECT_EQ(-3, n);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the rest of the reply arrives
    ASSERT_EQ(VI_SUCCESS, vx_comm_clear(id));
    std::string got;
    ASSERT_TRUE(read_block("BLOCK? 100", 200, &got)) << bad;
    EXPECT_EQ(pattern(100), got) << bad;
  }
}

TEST_F(Blocks, TimeoutMidBlockAbandonsItAndTheQueryIsSentAgain) {
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 200));
  std::vector<char> buf(3000);
  ViInt32 n = -3;
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_readBlock(id, "BLOCK? 3000 pause=2000:600", buf.data(), 3000, &n));
  EXPECT_EQ(-3, n);
  n = -3;
  EXPECT_EQ(VI_SUCCESS, vx_comm_readBlockData(id, buf.data(), 3000, &n)) << "the block was not abandoned";
  EXPECT_EQ(0, n);
  std::this_thread::sleep_for(std::chrono::milliseconds(800));  // the last 1000 bytes arrive
  ASSERT_EQ(VI_SUCCESS, vx_comm_clear(id));
  std::string got;
  ASSERT_TRUE(read_block("BLOCK? 3000", 3000, &got));
  EXPECT_EQ(pattern(3000), got);
  EXPECT_EQ("2\n", query(id, "BLOCKCOUNT?"));
}

TEST_F(Blocks, PeerGoneMidBlock) {
  std::vector<char> buf(3000);
  ViInt32 n = -3;
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_readBlock(id, "BLOCK? 3000 drop=1000", buf.data(), 3000, &n));
  EXPECT_EQ(-3, n);
  n = -3;
  EXPECT_EQ(VI_SUCCESS, vx_comm_readBlockData(id, buf.data(), 3000, &n)) << "the block was not abandoned";
  EXPECT_EQ(0, n);
  vx_comm_close(id);

  // Into a file: the passes before the failure stay in it.
  id = open_link("TCP-" + sim_addr());
  ASSERT_GT(id, 0);
  std::string path = temp_path("drop");
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_readBlockFile(id, "BLOCK? 3000 drop=2500", path.c_str()));
  EXPECT_EQ(pattern(2048), file_text(path));
  remove(path.c_str());
}

TEST_F(Blocks, FragmentedRepliesComeBackWhole) {
  std::string got;
  ASSERT_TRUE(read_block("BLOCK? 5000 frag=7", 1000, &got));
  EXPECT_EQ(pattern(5000), got);
  ASSERT_TRUE(read_block("BLOCK? 5000 bin frag=11", 333, &got));
  EXPECT_EQ(pattern(5000), got);

  std::string path = temp_path("frag");
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlockFile(id, "BLOCK? 5000 bin frag=8", path.c_str()));
  EXPECT_EQ(pattern(5000), file_text(path));
  remove(path.c_str());

  ViInt32 size = 0, n = 0;
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlockSize(id, "BLOCK? 5000 frag=9", &size));
  ASSERT_EQ(5000, size);
  std::vector<char> buf(5000);
  ViInt32 at = 0;
  ViStatus s = VI_SUCCESS_MAX_CNT;
  for (int i = 0; i < 20 && s == VI_SUCCESS_MAX_CNT; ++i) {
    s = vx_comm_readBlockData(id, buf.data() + at, 700 < 5000 - at ? 700 : 5000 - at, &n);
    if (s == VI_SUCCESS || s == VI_SUCCESS_MAX_CNT) at += n;
  }
  EXPECT_EQ(VI_SUCCESS, s);
  EXPECT_EQ(pattern(5000), std::string(buf.data(), (size_t)at));
  EXPECT_EQ("4\n", query(id, "BLOCKCOUNT?"));
}

TEST_F(Blocks, FilesBothWays) {
  std::string out = temp_path("up"), in = temp_path("down");
  for (size_t size : {(size_t)100000, (size_t)0}) {
    std::ofstream(out, std::ios::binary).write(pattern(size).data(), (std::streamsize)size);
    ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlockFile(id, "UPLOAD", out.c_str())) << size;
    EXPECT_EQ(upload_reply(size), line());

    ASSERT_EQ(VI_SUCCESS, vx_comm_readBlockFile(id, ("BLOCK? " + std::to_string(size)).c_str(), in.c_str()));
    EXPECT_EQ(pattern(size), file_text(in)) << size;
  }
  remove(out.c_str());
  remove(in.c_str());
}

TEST_F(Blocks, EmptyBlocksAndWhatFollowsABlock) {
  char buf[16];
  ViInt32 n = -3;
  EXPECT_EQ(VI_SUCCESS, vx_comm_readBlock(id, "BLOCK? 0", buf, sizeof buf, &n));
  EXPECT_EQ(0, n);
  n = -3;
  EXPECT_EQ(VI_SUCCESS, vx_comm_readBlock(id, "BLOCK? 0 bin", buf, sizeof buf, &n));
  EXPECT_EQ(0, n);
  // The line feed after a block is not part of it: it waits for the next read.
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlock(id, "BLOCK? 5 lf", buf, sizeof buf, &n));
  EXPECT_EQ(pattern(5), std::string(buf, (size_t)n));
  ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, buf, sizeof buf, &n));
  EXPECT_EQ("\n", std::string(buf, (size_t)n));
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlock(id, "UPLOAD", buf, 0));
  EXPECT_EQ(upload_reply(0), line());
}

TEST_F(Blocks, UploadsWithBothSeparatorsAndWithTheDataSentApart) {
  std::string data = pattern(3000);
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlock(id, "UPLOAD", data.data(), 3000));
  EXPECT_EQ(upload_reply(3000), line());
  EXPECT_EQ(" \n", query(id, "UPLOADARGS?"));
  // A command that already carries a parameter takes the block after a comma.
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlock(id, "UPLOAD:DATA 'x'", data.data(), 3000));
  EXPECT_EQ(upload_reply(3000), line());
  EXPECT_EQ(":DATA 'x',\n", query(id, "UPLOADARGS?"));
  // The header alone, the data after it in a call of its own.
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlockSize(id, "UPLOAD", 3000));
  ViInt32 n = 0;
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlocking(id, data.data(), 3000, &n));
  EXPECT_EQ(upload_reply(3000), line());
}

}  // namespace
