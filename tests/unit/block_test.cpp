// Block write and block read over the fake transport, byte by byte: what
// each transport call carries or is asked for, the BlockState between
// calls, the per-link lock on every path, and the block files.
#include "io/block.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "fake_transport.h"
#include "link/link_table.h"
#include "pattern.h"
#include "test_support.h"

namespace {

typedef std::vector<std::string> Writes;

std::string pattern(size_t n, uint64_t start = 0) {
  std::string s(n, '\0');
  vxsim::pattern_fill(start, reinterpret_cast<uint8_t*>(&s[0]), n);
  return s;
}

std::string definite(const std::string& data) {
  std::string size = std::to_string(data.size());
  return "#" + std::to_string(size.size()) + size + data;
}

std::string binary(const std::string& data) {
  uint32_t n = (uint32_t)data.size();
  char h[8] = {0, 0, 0, 0, (char)(n & 255), (char)(n >> 8 & 255), (char)(n >> 16 & 255), (char)(n >> 24)};
  return std::string(h, 8) + data;
}

std::string temp_path(const char* tag) { return vx_test_temp_dir() + "/vx_block_" + tag + ".bin"; }

void put_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), (std::streamsize)bytes.size());
}

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A writeMore and an endMessage that leave their mark in the fake's
// writes, to tell them from plain writes.
ViStatus marked_more(void* context, const void* bytes, ViInt32 count, ViInt32* retCount) {
  FakeLink* f = static_cast<FakeLink*>(context);
  std::lock_guard<std::mutex> hold(f->m);
  f->writes.push_back("more:" + std::string(static_cast<const char*>(bytes), (size_t)count));
  if (retCount) *retCount = count;
  return VI_SUCCESS;
}
ViStatus marked_end(void* context) {
  FakeLink* f = static_cast<FakeLink*>(context);
  std::lock_guard<std::mutex> hold(f->m);
  f->writes.push_back("end");
  return VI_SUCCESS;
}

// Transport writes that succeed for a number of calls and then fail, put
// in place of the fake's own write.
int g_writesLeft = 0;
ViStatus (*g_fakeWrite)(void*, const void*, ViInt32, ViInt32*) = nullptr;
ViStatus failing_write(void* context, const void* bytes, ViInt32 count, ViInt32* retCount) {
  if (g_writesLeft-- > 0) return g_fakeWrite(context, bytes, count, retCount);
  if (retCount) *retCount = 0;
  return VI_ERROR_CONN_LOST;
}

// File reads or writes that succeed for a number of calls and then fail.
int g_fileCallsLeft = 0;
size_t failing_fread(void* b, size_t s, size_t n, FILE* f) { return g_fileCallsLeft-- > 0 ? fread(b, s, n, f) : 0; }
size_t failing_fwrite(const void* b, size_t s, size_t n, FILE* f) {
  return g_fileCallsLeft-- > 0 ? fwrite(b, s, n, f) : 0;
}

// A file write that first clears the link, as another thread might between
// two passes of a file transfer.
ViInt32 g_clearLink = 0;
size_t clearing_fwrite(const void* b, size_t s, size_t n, FILE* f) {
  vx_comm_clear_async(g_clearLink);
  return fwrite(b, s, n, f);
}

struct Blocks : ::testing::Test {
  FakeLink fake;
  ViInt32 id = -1;
  bool locked = false;
  void SetUp() override { id = fake_attach(&fake, locked); }
  void TearDown() override {
    vx_block_file = BlockFileOps{fread, fwrite};
    vx_comm_close(id);
  }
  void fail_writes_after(int calls) {
    g_writesLeft = calls;
    g_fakeWrite = slot_of(id)->ops.write;
    slot_of(id)->ops.write = slot_of(id)->ops.writeMore = failing_write;
  }
  void restore_writes() { slot_of(id)->ops.write = slot_of(id)->ops.writeMore = g_fakeWrite; }
  int32_t blockSize() {
    std::lock_guard<std::mutex> hold(slot_of(id)->stateLock);
    return slot_of(id)->blockSize;
  }
};

struct LockedBlocks : Blocks {
  LockedBlocks() { locked = true; }
};

// ------------------------------------------------------------ block write --

TEST_F(Blocks, WriteBlockSendsCommandSeparatorHeaderAndData) {
  struct Case {
    const char* cmd;
    ViInt32 count;
    Writes writes;
  } cases[] = {
      {"DATA", 5, {"DATA", " ", "#15", "abcde"}},
      {"MMEM:DATA 'f.bin'", 5, {"MMEM:DATA 'f.bin'", ",", "#15", "abcde"}},
      {"DATA\r\n", 5, {"DATA", " ", "#15", "abcde"}},
      {"AB\nC D", 5, {"AB", " ", "#15", "abcde"}},  // the space after the LF is not the command's
      {"WAV:DATA  ", 5, {"WAV:DATA", " ", "#15", "abcde"}},  // spaces at the end are no parameter
      {"MMEM:DATA 'f' \n", 5, {"MMEM:DATA 'f'", ",", "#15", "abcde"}},
      {"   ", 5, {" ", "#15", "abcde"}},
      {nullptr, 5, {" ", "#15", "abcde"}},
      {"DATA", 0, {"DATA", " ", "#10"}},
  };
  for (const Case& c : cases) {
    fake.writes.clear();
    EXPECT_EQ(VI_SUCCESS, vx_comm_writeBlock(id, c.cmd, "abcde", c.count)) << c.cmd;
    EXPECT_EQ(c.writes, fake.writes) << (c.cmd ? c.cmd : "null");
  }
  fake.writes.clear();
  EXPECT_EQ(VI_SUCCESS, vx_comm_writeBlockSize(id, "CMD", 1000));
  EXPECT_EQ(VI_SUCCESS, vx_comm_writeBlockSize(id, "CMD", 999999999));
  EXPECT_EQ((Writes{"CMD", " ", "#41000", "CMD", " ", "#9999999999"}), fake.writes);
}

// After writeBlockSize the raw writes short of the last announced byte go
// as writeMore (a line feed there ends no message); the one that sends it
// is plain and, ending there, ends the message; one that goes on past it is
// plain alone. A line or another block forgets the count.
TEST_F(Blocks, RawWritesAfterWriteBlockSizeEndTheMessageOnTheLastAnnouncedByte) {
  slot_of(id)->ops.writeMore = marked_more;
  slot_of(id)->ops.endMessage = marked_end;
  ViInt32 n = 0;
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlockSize(id, "D", 6));
  ASSERT_EQ(VI_SUCCESS, vx_comm_write(id, "ab\n", 3, &n));
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlocking(id, "cd\n", 3, &n));
  ASSERT_EQ(VI_SUCCESS, vx_comm_write(id, "x", 1, &n));
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlockSize(id, "D", 2));
  ASSERT_EQ(VI_SUCCESS, vx_comm_write(id, "ab\n", 3, &n));
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlockSize(id, "D", 4));
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "Q?", 0, &n));
  ASSERT_EQ(VI_SUCCESS, vx_comm_write(id, "ab", 2, &n));
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlockSize(id, "D", 0));
  EXPECT_EQ((Writes{"D", " ", "#16", "more:ab\n", "cd\n", "end", "x",  //
                    "D", " ", "#12", "ab\n",                           //
                    "D", " ", "#14", "Q?\n", "ab",                     //
                    "D", " ", "#10", "end"}),
            fake.writes);
}

TEST_F(Blocks, SizesWithoutAHeaderFormSendNothing) {
  const char data[4] = {};
  for (ViInt32 size : {-1, 1000000000, INT_MIN, INT_MAX}) {
    EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_writeBlockSize(id, "CMD", size)) << size;
    EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_writeBlock(id, "CMD", data, size)) << size;
  }
  EXPECT_TRUE(fake.writes.empty());
}

TEST_F(Blocks, FailedWriteSendsNothingAfterIt) {
  const Writes all = {"CMD", " ", "#15", "abcde"};
  for (int ok = 0; ok < 4; ++ok) {
    fake.writes.clear();
    fail_writes_after(ok);
    EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_writeBlock(id, "CMD", "abcde", 5)) << ok;
    EXPECT_EQ(Writes(all.begin(), all.begin() + ok), fake.writes);
    restore_writes();
  }
}

TEST_F(Blocks, WriteBlockFileSendsExactlyTheFileInKilobytePieces) {
  std::string path = temp_path("out"), data = pattern(2500);
  put_file(path, data);
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlockFile(id, "F", path.c_str()));
  EXPECT_EQ((Writes{"F", " ", "#42500", data.substr(0, 1024), data.substr(1024, 1024), data.substr(2048)}),
            fake.writes);

  fake.writes.clear();
  put_file(path, "");
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlockFile(id, nullptr, path.c_str()));
  EXPECT_EQ((Writes{" ", "#10"}), fake.writes);

  // A read error ends the data at once, reported as a failure.
  fake.writes.clear();
  put_file(path, data);
  g_fileCallsLeft = 1;
  vx_block_file.read = failing_fread;
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_writeBlockFile(id, "F", path.c_str()));
  EXPECT_EQ((Writes{"F", " ", "#42500", data.substr(0, 1024)}), fake.writes);
  remove(path.c_str());
}

// Files the header cannot announce, including those past 2 GiB and 4 GiB
// that a 32-bit file position would misread, are refused before any byte.
TEST_F(Blocks, WriteBlockFileRefusesFilesItCannotAnnounce) {
  std::string path = temp_path("big");
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_writeBlockFile(id, "F", (path + ".none").c_str()));
  for (long long size : {1000000000LL, (1LL << 31) + 5, (1LL << 32) + 5}) {
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.seekp((std::streamoff)(size - 1));
      out.put('x');
      ASSERT_TRUE(out.good()) << "cannot make a sparse file of " << size << " bytes";
    }
    ASSERT_EQ(size, (long long)std::ifstream(path, std::ios::binary | std::ios::ate).tellg());
    EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_writeBlockFile(id, "F", path.c_str())) << size;
  }
  remove(path.c_str());
  EXPECT_TRUE(fake.writes.empty());
}

// ------------------------------------------------------------- block read --

TEST_F(Blocks, SizeThenDataAndTheWholeSizeAgainMidBlock) {
  std::string data = pattern(2500);
  fake.script(definite(data));
  ViInt32 size = -1, n = -1;
  std::vector<char> buf(4096);
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlockSize(id, "Q?", &size));
  EXPECT_EQ(2500, size);
  ASSERT_EQ(VI_SUCCESS_MAX_CNT, vx_comm_readBlockData(id, buf.data(), 1000, &n));
  ASSERT_EQ(VI_SUCCESS_MAX_CNT, vx_comm_readBlockData(id, buf.data() + 1000, 0, &n));
  EXPECT_EQ(0, n);
  size_t reads = fake.readCounts.size();
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlockSize(id, "Q?", &size));
  EXPECT_EQ(2500, size);
  EXPECT_EQ(reads, fake.readCounts.size());
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlockData(id, buf.data() + 1000, 3096, &n));
  EXPECT_EQ(1500, n);
  EXPECT_EQ(data, std::string(buf.data(), 2500));
  EXPECT_EQ((Writes{"Q?\n"}), fake.writes);
  // With no block in progress there is nothing to read.
  n = -1;
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlockData(id, buf.data(), 4096, &n));
  EXPECT_EQ(0, n);
  EXPECT_EQ(reads + 1, fake.readCounts.size());
}

TEST_F(Blocks, HeaderForms) {
  struct Case {
    std::string stream;
    ViStatus status;
    ViInt32 size;
    std::vector<ViInt32> reads;
  } cases[] = {
      {"#3000", VI_SUCCESS, 0, {1, 1, 3}},
      {"#15xxxxx", VI_SUCCESS, 5, {1, 1, 1}},
      {"#9999999999", VI_SUCCESS, 999999999, {1, 1, 9}},
      {"#4 +12", VI_SUCCESS, 12, {1, 1, 4}},
      {"#2ab", VI_SUCCESS, 0, {1, 1, 2}},
      {"#2-5", VI_ERROR_SYSTEM_ERROR, 0, {1, 1, 2}},
      {"#0abc", VI_ERROR_SYSTEM_ERROR, 0, {1, 1}},
      {"X#15", VI_ERROR_SYSTEM_ERROR, 0, {1}},
      {binary(std::string(16, 'b')), VI_SUCCESS, 16, {1, 3, 4}},
      {std::string("\0\0\1\0\x10\0\0\0", 8), VI_ERROR_SYSTEM_ERROR, 0, {1, 3}},
      {std::string("\0\0\0\0\xff\xff\xff\xff", 8), VI_ERROR_SYSTEM_ERROR, 0, {1, 3, 4}},
      {std::string("\0\0\0\0\0\0\0\x80", 8), VI_ERROR_SYSTEM_ERROR, 0, {1, 3, 4}},
      {std::string("\0\0\0\0\xff\xff\xff\x7f", 8), VI_SUCCESS, INT_MAX, {1, 3, 4}},
  };
  for (const Case& c : cases) {
    vx_comm_clear(id);
    fake.reads.clear();
    fake.readCounts.clear();
    fake.script(c.stream);
    ViInt32 size = -7;
    EXPECT_EQ(c.status, vx_comm_readBlockSize(id, nullptr, &size)) << c.size;
    EXPECT_EQ(c.size, size);
    EXPECT_EQ(c.reads, fake.readCounts) << c.size;
    EXPECT_EQ(c.status == VI_SUCCESS ? c.size : 0, blockSize());
  }
  EXPECT_TRUE(fake.writes.empty());
  // An empty block is no block in progress: its piece is empty and complete.
  vx_comm_clear(id);
  fake.script("#10");
  char buf[8];
  ViInt32 n = -1;
  EXPECT_EQ(VI_SUCCESS, vx_comm_readBlock(id, nullptr, buf, sizeof buf, &n));
  EXPECT_EQ(0, n);
}

// The first byte's failure is a malformed header; later header reads keep
// the transport's own status. None leaves a block or a size behind.
TEST_F(Blocks, HeaderReadFailures) {
  struct Case {
    std::string before;
    ViStatus status;
  } cases[] = {
      {"", VI_ERROR_SYSTEM_ERROR},
      {"#", VI_ERROR_CONN_LOST},
      {"#3", VI_ERROR_CONN_LOST},
      {"#31", VI_ERROR_CONN_LOST},
      {std::string(1, '\0'), VI_ERROR_CONN_LOST},
      {std::string(4, '\0'), VI_ERROR_CONN_LOST},
      {std::string(6, '\0'), VI_ERROR_CONN_LOST},
  };
  for (const Case& c : cases) {
    fake.reads.clear();
    if (!c.before.empty()) fake.script(c.before);
    fake.fail(VI_ERROR_CONN_LOST);
    ViInt32 size = -7;
    EXPECT_EQ(c.status, vx_comm_readBlockSize(id, nullptr, &size)) << c.before.size();
    EXPECT_EQ(0, size);
    EXPECT_EQ(0, blockSize());
  }
  // A query that cannot be sent: nothing is read.
  fake.reads.clear();
  fake.readCounts.clear();
  fake.script(definite("abc"));
  fail_writes_after(0);
  char buf[8];
  ViInt32 n = -3;
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_readBlock(id, "Q?", buf, sizeof buf, &n));
  EXPECT_EQ(-3, n);
  EXPECT_TRUE(fake.readCounts.empty());
}

// -------------------------------------------------------- block read files --

TEST_F(Blocks, ReadBlockFileHoldsExactlyTheData) {
  std::string path = temp_path("in"), data = pattern(2500);
  fake.script(definite(data) + "\n");
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlockFile(id, "Q?", path.c_str()));
  EXPECT_EQ(data, file_text(path));
  EXPECT_EQ((std::vector<ViInt32>{1, 1, 4, 1024, 1024, 452}), fake.readCounts);
  EXPECT_EQ((Writes{"Q?\n"}), fake.writes);

  // With no command, the header comes from what is already waiting.
  fake.reads.clear();
  fake.writes.clear();
  fake.script(binary("xyz"));
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlockFile(id, nullptr, path.c_str()));
  EXPECT_EQ("xyz", file_text(path));
  EXPECT_TRUE(fake.writes.empty());

  // A file that cannot be made: nothing sent, nothing read.
  fake.readCounts.clear();
  std::string bad = vx_test_temp_dir() + "/vx_no_such_dir_/x.bin";
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_readBlockFile(id, "Q?", bad.c_str()));
  EXPECT_TRUE(fake.writes.empty());
  EXPECT_TRUE(fake.readCounts.empty());
  remove(path.c_str());
}

// A failing pass ends the transfer; the file keeps the passes before it and
// the block is not left for a later call to finish silently.
TEST_F(Blocks, ReadBlockFileFailures) {
  std::string path = temp_path("fail"), data = pattern(2500);
  fake.script("#42500" + data.substr(0, 1500));
  fake.fail(VI_ERROR_TMO);
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_readBlockFile(id, "Q?", path.c_str()));
  EXPECT_EQ(data.substr(0, 1024), file_text(path));
  EXPECT_EQ(0, blockSize());

  fake.reads.clear();
  fake.readCounts.clear();
  fake.script(definite(data));
  g_fileCallsLeft = 1;
  vx_block_file.write = failing_fwrite;
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_readBlockFile(id, "Q?", path.c_str()));
  vx_block_file.write = fwrite;
  EXPECT_EQ(data.substr(0, 1024), file_text(path));
  EXPECT_EQ((std::vector<ViInt32>{1, 1, 4, 1024, 1024}), fake.readCounts);
  EXPECT_EQ(0, blockSize());

  // Cleared between two passes: neither an early success nor a new query.
  fake.reads.clear();
  fake.writes.clear();
  fake.script(definite(data));
  g_clearLink = id;
  vx_block_file.write = clearing_fwrite;
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_readBlockFile(id, "Q?", path.c_str()));
  vx_block_file.write = fwrite;
  EXPECT_EQ(data.substr(0, 1024), file_text(path));
  EXPECT_EQ((Writes{"Q?\n"}), fake.writes);
  remove(path.c_str());
}

// A clear from another thread while a piece is being read ends the block;
// the reader must report it rather than call the block complete (or send
// the query again and mix a second block into the file).
TEST_F(Blocks, ClearFromAnotherThreadDuringAPieceIsAFailure) {
  std::string path = temp_path("clear");
  for (int viaFile = 0; viaFile < 2; ++viaFile) {
    fake.reads.clear();
    fake.readCounts.clear();
    fake.writes.clear();
    fake.script(definite(pattern(2500)));
    std::atomic<int> dataReads{0};
    std::atomic<bool> cleared{false};
    fake.onRead = [&] {
      if (fake.readCounts.size() >= 3 && ++dataReads == 2) eventually([&] { return cleared.load(); });
    };
    ViStatus status = VI_SUCCESS;
    std::thread reader([&] {
      char buf[1024];
      ViInt32 n = 0;
      if (viaFile) {
        status = vx_comm_readBlockFile(id, "Q?", path.c_str());
      } else if ((status = vx_comm_readBlock(id, "Q?", buf, sizeof buf, &n)) == VI_SUCCESS_MAX_CNT) {
        status = vx_comm_readBlockData(id, buf, sizeof buf, &n);
      }
    });
    ASSERT_TRUE(eventually([&] { return dataReads.load() == 2; }));
    vx_comm_clear_async(id);
    cleared = true;
    reader.join();
    fake.onRead = nullptr;
    EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, status) << viaFile;
    EXPECT_EQ(0, blockSize());
    EXPECT_EQ((Writes{"Q?\n"}), fake.writes);
  }
  remove(path.c_str());
}

TEST_F(Blocks, CloseBegunDuringAFileTransferEndsIt) {
  std::string path = temp_path("close");
  fake.script(definite(pattern(5000)));
  std::thread closer;
  fake.onRead = [&] {
    if (fake.readCounts.size() == 4) {  // the second data read
      closer = std::thread([&] { vx_comm_close(id); });
      eventually([&] { return vx_link_closing(slot_of(id)); });
    }
  };
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_readBlockFile(id, "Q?", path.c_str()));
  closer.join();
  EXPECT_EQ(pattern(2048), file_text(path));
  EXPECT_EQ(1, fake.closeCalls);
  remove(path.c_str());
}

// ------------------------------------------------------------ locks, checks --

TEST_F(LockedBlocks, LockLinesOfTheBlockExports) {
  TempLog log("blocklock");
  std::string p = vx_test_ptr(slot_of(id)), path = temp_path("lock");
  put_file(path, "abc");
  auto lockPair = [&](const char* name) {
    return Writes{"vx_comm_lock(" + p + ", " + name + ")", "vx_comm_unlock(" + p + ", " + name + ")"};
  };
  auto withPuts = [&](const char* outer) {
    Writes w = {
        "vx_comm_puts(linkId=" + std::to_string(id) + ", cmd=Q?, count=0, retCount=" + vx_test_ptr(nullptr) + ")",
        "vx_comm_lock(" + p + ", vx_comm_puts)", "vx_comm_unlock(" + p + ", vx_comm_puts)",
        "vx_comm_puts() returns: status=0, retCount=0"};
    if (!outer) return w;
    w.insert(w.begin(), "vx_comm_lock(" + p + ", " + outer + ")");
    w.push_back("vx_comm_unlock(" + p + ", " + outer + ")");
    return w;
  };
  char buf[16];
  const char abc[] = "abc";
  ViInt32 size = 0;
  // Each block export's entry line, what it locks, and its result line.
  const std::string link = "(linkId=" + std::to_string(id) + ", ", none = vx_test_ptr(nullptr);
  auto traced = [](std::string entry, Writes w, std::string result) {
    w.insert(w.begin(), entry);
    w.push_back(result);
    return w;
  };
  fake.script(definite("abc") + definite("abc") + definite("abcdef") + definite("abc"));
  struct Case {
    std::function<ViStatus()> call;
    Writes lines;
  } cases[] = {
      {[&] { return vx_comm_writeBlockSize(id, "C", 3); },
       traced("vx_comm_writeBlockSize" + link + "cmd=C, count=3)", lockPair("vx_comm_writeBlockSize"),
              "vx_comm_writeBlockSize() returns: status=0")},
      {[&] { return vx_comm_writeBlock(id, "C", abc, 3); },
       traced("vx_comm_writeBlock" + link + "cmd=C, buffer=" + vx_test_ptr(abc) + ", count=3)",
              lockPair("vx_comm_writeBlock"), "vx_comm_writeBlock() returns: status=0")},
      {[&] { return vx_comm_writeBlockFile(id, "C", path.c_str()); },
       traced("vx_comm_writeBlockFile" + link + "cmd=C, fileName=" + path + ")", lockPair("vx_comm_writeBlockFile"),
              "vx_comm_writeBlockFile() returns: status=0")},
      {[&] { return vx_comm_readBlock(id, "Q?", buf, 16, nullptr); },
       traced("vx_comm_readBlock" + link + "cmd=Q?, buffer=" + vx_test_ptr(buf) + ", count=16, retCount=" + none + ")",
              withPuts("vx_comm_readBlock"), "vx_comm_readBlock() returns: status=0, retCount=0")},
      {[&] { return vx_comm_readBlock_async(id, "Q?", buf, 16, nullptr); },
       traced("vx_comm_readBlock_async" + link + "cmd=Q?, buffer=" + vx_test_ptr(buf) + ", count=16, retCount=" + none +
                  ")",
              withPuts(nullptr), "vx_comm_readBlock_async() returns: status=0, retCount=0")},
      {[&] { return vx_comm_readBlockSize(id, "Q?", &size); },
       traced("vx_comm_readBlockSize" + link + "cmd=Q?, retSize=" + vx_test_ptr(&size) + ")",
              withPuts("vx_comm_readBlockSize"), "vx_comm_readBlockSize() returns: status=0, retSize=6")},
      {[&] { return vx_comm_readBlockData(id, buf, 16, nullptr); },
       traced("vx_comm_readBlockData" + link + "buffer=" + vx_test_ptr(buf) + ", count=16, retCount=" + none + ")",
              lockPair("vx_comm_readBlock"), "vx_comm_readBlockData() returns: status=0, retCount=0")},
      {[&] { return vx_comm_readBlockFile(id, "Q?", path.c_str()); },
       traced("vx_comm_readBlockFile" + link + "cmd=Q?, fileName=" + path + ")", withPuts("vx_comm_readBlockFile"),
              "vx_comm_readBlockFile() returns: status=0")},
  };
  for (const Case& c : cases) {
    vx_usb_startdebug(log.path.c_str());
    EXPECT_EQ(VI_SUCCESS, c.call());
    vx_usb_stopdebug();
    EXPECT_EQ(c.lines, log.lines());
  }
  remove(path.c_str());
}

// Every way a block call can fail leaves the lock free: another thread's
// locked call then takes it without waiting.
TEST_F(LockedBlocks, EveryFailurePathReleasesTheLock) {
  std::string bad = vx_test_temp_dir() + "/vx_no_such_dir_/x.bin", path = temp_path("locked");
  put_file(path, pattern(3000));
  char buf[64];
  ViInt32 size = 0;
  std::function<ViStatus()> failures[] = {
      [&] { return vx_comm_writeBlockFile(id, "C", bad.c_str()); },
      [&] { return vx_comm_writeBlockSize(id, "C", -1); },
      [&] { return fail_writes_after(2), vx_comm_writeBlock(id, "C", "abc", 3); },
      [&] { return fail_writes_after(3), vx_comm_writeBlockFile(id, "C", path.c_str()); },
      [&] { return vx_comm_readBlockFile(id, "Q?", bad.c_str()); },
      [&] { return fake.script("Z"), vx_comm_readBlock(id, "Q?", buf, 64, nullptr); },
      [&] { return fail_writes_after(0), vx_comm_readBlock(id, "Q?", buf, 64, nullptr); },
      [&] { return fake.script("#15ab"), vx_comm_readBlock(id, nullptr, buf, 64, nullptr); },
      [&] { return fake.script("#0"), vx_comm_readBlockSize(id, nullptr, &size); },
      [&] { return fake.script("#3100" + pattern(90)), vx_comm_readBlockFile(id, "Q?", path.c_str()); },
      [&] {
        return fake.script("#3100"), vx_comm_readBlockSize(id, nullptr, &size),
               vx_comm_readBlockData(id, buf, 64, nullptr);
      },
  };
  TempLog log("blockfree");
  for (size_t i = 0; i < sizeof failures / sizeof failures[0]; ++i) {
    vx_usb_startdebug(log.path.c_str());
    EXPECT_LT(failures[i](), VI_SUCCESS) << i;
    if (g_fakeWrite) restore_writes();
    fake.reads.clear();
    vx_comm_clear(id);
    vxp_lock_result r = VXP_LOCK_ERROR;
    std::thread([&] {
      r = vxp_mutex_trylock(slot_of(id)->lockMutex);
      if (r == VXP_LOCKED) vxp_mutex_unlock(slot_of(id)->lockMutex);
    }).join();
    ASSERT_EQ(VXP_LOCKED, r) << "lock still held after failure " << i;
    std::thread([&] { vx_comm_write(id, "z", 1, nullptr); }).join();
    vx_usb_stopdebug();
    std::string text = log.text();
    EXPECT_EQ(std::string::npos, text.find("waiting")) << i;
  }
  remove(path.c_str());
}

TEST_F(LockedBlocks, AsyncReadTakesNoLockWithoutACommand) {
  vx_link_lock(slot_of(id), "holder");
  fake.script("#15abcde");
  std::atomic<bool> done{false};
  ViStatus status = VI_ERROR_SYSTEM_ERROR;
  char buf[8];
  std::thread reader([&] {
    status = vx_comm_readBlock_async(id, nullptr, buf, sizeof buf, nullptr);
    done = true;
  });
  bool finished = eventually([&] { return done.load(); });
  vx_link_unlock(slot_of(id), "holder");
  reader.join();
  EXPECT_TRUE(finished) << "the lock-free read waited for the lock";
  EXPECT_EQ(VI_SUCCESS, status);
  EXPECT_EQ("abcde", std::string(buf, 5));
}

TEST_F(Blocks, InvalidLinksAndMissingPointersTouchNothing) {
  TempLog log("blockbad");
  vx_usb_startdebug(log.path.c_str());
  char buf[8];
  ViInt32 n = -3;
  ViInt32 closed = id;
  for (ViInt32 bad : {0, -1, 101}) {
    EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_writeBlockSize(bad, "C", 1));
    EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_writeBlock(bad, "C", buf, 1));
    EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_writeBlockFile(bad, "C", "x"));
    EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_readBlockSize(bad, "C", &n));
    EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_readBlockData(bad, buf, 8, &n));
    EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_readBlock(bad, "C", buf, 8, &n));
    EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_readBlock_async(bad, "C", buf, 8, &n));
    EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_readBlockFile(bad, "C", "x"));
  }
  fake.script(definite("abc"));
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_writeBlock(id, "C", nullptr, 1));
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_writeBlockFile(id, "C", nullptr));
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_readBlock(id, "C", nullptr, 8, &n));
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_readBlock_async(id, "C", nullptr, 8, &n));
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_readBlockData(id, nullptr, 8, &n));
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_readBlockFile(id, "C", nullptr));
  EXPECT_EQ(-3, n);
  EXPECT_TRUE(fake.writes.empty());
  EXPECT_TRUE(fake.readCounts.empty());
  vx_comm_close(id);
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_readBlock(closed, "C", buf, 8, &n));
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_writeBlock(closed, "C", buf, 1));
  vx_usb_stopdebug();
  for (const std::string& line : log.lines()) EXPECT_EQ(0u, line.find("vx_comm_close")) << line;
}

}  // namespace
