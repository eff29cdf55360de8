// The vx_usb_ names through the exports, against the simulator.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "api_util.h"
#include "pattern.h"

namespace {

std::string pattern(size_t n) {
  std::string s(n, '\0');
  vxsim::pattern_fill(0, reinterpret_cast<uint8_t*>(&s[0]), n);
  return s;
}

TEST(Legacy, LinkIdsServeBothFamiliesAndTheLogNamesOnlyTheCurrentExports) {
  TempLog log("legacy");
  vx_usb_startdebug(log.path.c_str());
  const ViInt32 a = vx_usb_open(("TCP-" + sim_addr(0)).c_str());
  ASSERT_GT(a, 0);
  ViInt32 b = -1;
  ASSERT_EQ(VI_SUCCESS, vx_comm_open(sim_addr(1).c_str(), 1000, &b));
  ASSERT_GT(b, 0);

  char buf[128];
  ViInt32 n = -1;
  ASSERT_EQ(VI_SUCCESS, vx_usb_puts(a, "*IDN?", 0, &n));
  ASSERT_EQ(VI_SUCCESS, vx_comm_gets(a, buf, sizeof buf, &n));
  EXPECT_EQ("VXSIM,MODEL-100,SNVX0000000000000000,1.0\n", std::string(buf, (size_t)n));
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(b, "*IDN?", 0, &n));
  ASSERT_EQ(VI_SUCCESS, vx_usb_gets(b, buf, sizeof buf, &n));
  EXPECT_EQ("VXSIM,MODEL-101,SNVX0000000000000001,1.0\n", std::string(buf, (size_t)n));

  // The blocking transfers: every byte asked for, in one call each.
  ASSERT_EQ(VI_SUCCESS, vx_usb_write(b, "SPLIT 3 20 abcdefgh\n", 20, &n));
  EXPECT_EQ(20, n);
  ASSERT_EQ(VI_SUCCESS, vx_usb_read(b, buf, 9, &n));
  EXPECT_EQ("abcdefgh\n", std::string(buf, (size_t)n));

  EXPECT_EQ(VI_SUCCESS, vx_usb_settmo(b, 300));
  EXPECT_EQ(VI_SUCCESS, vx_usb_clear(b));
  EXPECT_EQ(VI_SUCCESS, vx_usb_close(a));
  EXPECT_EQ(VI_SUCCESS, vx_usb_close(b));
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_usb_close(b));
  EXPECT_EQ(-1, vx_usb_open("127.0.0.99"));  // nothing listens there
  vx_usb_stopdebug();

  const std::vector<std::string> lines = log.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ("vx_comm_open(address=TCP-" + sim_addr(0) + ", tmoMs=2000)", lines[0]);
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  EXPECT_EQ(std::string::npos, all.find("vx_usb_"));
  for (const char* name : {"vx_comm_puts(linkId=", "vx_comm_gets(linkId=", "vx_comm_writeBlocking(linkId=",
                           "vx_comm_readBlocking(linkId=", "vx_comm_setTmoMs(linkId=", "vx_comm_clear(linkId=",
                           "vx_comm_close(linkId=", "vx_comm_open(address=127.0.0.99, tmoMs=2000)"})
    EXPECT_NE(std::string::npos, all.find(name)) << name;
}

TEST(Legacy, FilesTravelAsOneBlockWithoutACommand) {
  const ViInt32 id = vx_usb_open(sim_addr(0).c_str());
  ASSERT_GT(id, 0);
  const std::string path = vx_test_temp_dir() + "/vx_legacy_block.bin";
  const std::string data = pattern(3000);
  { std::ofstream(path, std::ios::binary) << data; }

  // The simulator takes separator, header and data as raw bytes and sums
  // them: no command goes before the block.
  const std::string sent = " #43000" + data;
  vxsim::Checksum sum;
  sum.update(reinterpret_cast<const uint8_t*>(sent.data()), sent.size());
  char want[64];
  snprintf(want, sizeof want, "%zu,%016llx\n", sent.size(), (unsigned long long)sum.value());
  ASSERT_EQ(VI_SUCCESS, vx_usb_puts(id, ("SINK " + std::to_string(sent.size())).c_str(), 0, nullptr));
  ASSERT_EQ(VI_SUCCESS, vx_usb_sendbinary(id, path.c_str()));
  char buf[64];
  ViInt32 n = 0;
  ASSERT_EQ(VI_SUCCESS, vx_usb_gets(id, buf, sizeof buf, &n));
  EXPECT_EQ(want, std::string(buf, (size_t)n));

  ASSERT_EQ(VI_SUCCESS, vx_usb_puts(id, "BLOCK? 4000", 0, nullptr));
  ASSERT_EQ(VI_SUCCESS, vx_usb_receivebinary(id, path.c_str()));
  std::ifstream in(path, std::ios::binary);
  std::stringstream got;
  got << in.rdbuf();
  EXPECT_TRUE(pattern(4000) == got.str());
  in.close();
  remove(path.c_str());
  EXPECT_EQ(VI_SUCCESS, vx_usb_close(id));
}

TEST(Legacy, FindSearchesDirectUsbOnly) {
  char all[4096], usb[4096], legacy[4096];
  ViInt32 nAll = 0, nUsb = -1, nLegacy = -1;
  ASSERT_EQ(VI_SUCCESS, vx_comm_find(all, 300, sizeof all, &nAll, IFACE_LAN | IFACE_USB));
  ASSERT_NE(std::string::npos, std::string(all, (size_t)nAll).find(sim_addr(0)));  // LAN instruments answer
  ASSERT_EQ(VI_SUCCESS, vx_comm_find(usb, 300, sizeof usb, &nUsb, IFACE_USB));
  ASSERT_EQ(VI_SUCCESS, vx_usb_find(legacy, 300, sizeof legacy, &nLegacy));
  EXPECT_EQ(std::string(usb, (size_t)nUsb), std::string(legacy, (size_t)nLegacy));
  EXPECT_EQ(std::string::npos, std::string(legacy, (size_t)nLegacy).find(sim_addr(0)));
  // Where the find call leaves the count alone, so does the legacy one.
  ViInt32 untouched = 77;
  EXPECT_EQ(VI_SUCCESS_MAX_CNT, vx_usb_find(legacy, 300, 0, &untouched));
  EXPECT_EQ(77, untouched);
}

}  // namespace
