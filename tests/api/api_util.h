// Helpers of the suites that use the exported calls only.
#ifndef VX_API_UTIL_H
#define VX_API_UTIL_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "pattern.h"

#include "test_support.h"
#include "vx_comm.h"

inline std::string sim_addr(size_t i = 0) { return vx_test_addrs().at(i); }

inline ViInt32 open_link(const std::string& address) {
  ViInt32 id = -7;
  EXPECT_EQ(VI_SUCCESS, vx_comm_open(address.c_str(), 1000, &id));
  return id;
}

// Sends a command line and returns the reply line (empty on failure).
inline std::string query(ViInt32 id, const std::string& cmd, ViStatus* status = nullptr) {
  char buf[4096];
  ViInt32 n = 0;
  ViStatus s = vx_comm_puts(id, cmd.c_str(), 0, nullptr);
  if (s == VI_SUCCESS) s = vx_comm_gets(id, buf, sizeof buf, &n);
  if (status) *status = s;
  return s == VI_SUCCESS ? std::string(buf, (size_t)n) : std::string();
}

// Pattern bytes 0..n-1, as the simulator's blocks carry them.
inline std::string pattern(size_t n) {
  std::string s(n, '\0');
  vxsim::pattern_fill(0, reinterpret_cast<uint8_t*>(&s[0]), n);
  return s;
}

// What the simulator answers for an upload of pattern bytes 0..n-1 (also
// its BLOCKSUM? and SINK reply).
inline std::string upload_reply(size_t n) {
  char line[64];
  snprintf(line, sizeof line, "%zu,%016llx\n", n, (unsigned long long)vxsim::pattern_checksum(0, n));
  return line;
}

// The simulator's reply to an upload of `data` (UPLOAD, SINK).
inline std::string upload_reply_of(const std::string& data) {
  vxsim::Checksum sum;
  sum.update(data.data(), data.size());
  char line[64];
  snprintf(line, sizeof line, "%zu,%016llx\n", data.size(), (unsigned long long)sum.value());
  return line;
}

// On a route with messages (VXI-11, HiSLIP): a block ends its message on
// its last byte, so the instrument runs it at once, whatever its size (held
// back whole, sent in pieces, or ending in a line feed), and no line feed
// inside its data ends it sooner: not where a file's piece ends, nor where
// one of the caller's raw writes after vx_comm_writeBlockSize ends. Counted
// by the simulator's ENDCOUNT?, whose own query is one message.
inline void expect_blocks_end_their_message(ViInt32 id) {
  for (size_t size : {size_t(0), size_t(10), size_t(300), size_t(70000)}) {
    SCOPED_TRACE("block of " + std::to_string(size));
    const std::string data = pattern(size);
    const unsigned long before = std::stoul(query(id, "ENDCOUNT?"));
    ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlock(id, "UPLOAD", data.data(), (ViInt32)size));
    char buf[64];
    ViInt32 n = 0;
    ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, buf, sizeof buf, &n));
    EXPECT_EQ(upload_reply(size), std::string(buf, (size_t)n));
    EXPECT_EQ(before + 2, std::stoul(query(id, "ENDCOUNT?")));
  }
  std::string data = pattern(3000);
  data[1023] = data[2047] = '\n';  // the ends of the file's 1024-byte pieces
  TempLog file("lf_pieces");
  std::ofstream(file.path, std::ios::binary).write(data.data(), (std::streamsize)data.size());
  const struct {
    const char* how;
    std::function<ViStatus()> send;
  } uploads[] = {
      {"file", [&] { return vx_comm_writeBlockFile(id, "UPLOAD", file.path.c_str()); }},
      {"announced, then raw writes ending in line feeds",
       [&] {
         ViStatus s = vx_comm_writeBlockSize(id, "UPLOAD", (ViInt32)data.size());
         for (size_t at = 0; s == VI_SUCCESS && at < data.size(); at += 1024) {
           ViInt32 n = 0;
           const size_t len = data.size() - at < 1024 ? data.size() - at : 1024;
           s = vx_comm_write(id, data.data() + at, (ViInt32)len, &n);
         }
         return s;
       }},
  };
  for (const auto& u : uploads) {
    SCOPED_TRACE(u.how);
    const unsigned long before = std::stoul(query(id, "ENDCOUNT?"));
    ASSERT_EQ(VI_SUCCESS, u.send());
    char buf[64];
    ViInt32 n = 0;
    ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, buf, sizeof buf, &n));
    EXPECT_EQ(upload_reply_of(data), std::string(buf, (size_t)n));
    EXPECT_EQ(before + 2, std::stoul(query(id, "ENDCOUNT?")));
  }
}

inline std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline double elapsed_ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

// A link to the first simulated instrument, closed after the test.
struct SimLink : ::testing::Test {
  ViInt32 id = -1;
  void SetUp() override {
    id = open_link("TCP-" + sim_addr());
    ASSERT_GT(id, 0) << "is the simulator running? (tests/netns_run.sh --sim ...)";
  }
  void TearDown() override {
    if (id > 0) vx_comm_close(id);
  }
};

#endif
