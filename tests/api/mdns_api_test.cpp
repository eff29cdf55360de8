// The mDNS search against a real responder: run by tests/mdns_avahi.sh,
// which publishes three instruments at VX_MDNS_PEER, one without TXT keys
// at 198.18.0.3, one with an IPv6 address alone and one without TXT keys
// at 198.18.0.9, where nobody answers; skipped without it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "api_util.h"

namespace {

TEST(MdnsFind, FindsTheInstrumentsAndQueriesEach) {
  const char* peer = getenv("VX_MDNS_PEER");
  if (!peer || !*peer) GTEST_SKIP() << "VX_MDNS_PEER not set: no responder";
  const std::string at = std::string("TCPIP0::") + peer;
  struct Entry {
    std::string text;
    bool answers;  // a simulator is there to ask
  };
  const std::vector<Entry> expected = {
      {"MODEL-H:SN-H1:" + at + "::hislip0::INSTR;", true},
      {"MODEL-S:SN-S2:" + at + "::5025::SOCKET;", true},
      {"MODEL-V:SN-V3:" + at + "::inst0::INSTR;", true},
      // Named by its "*IDN?" over the route it announced; listed by its IPv4
      // address though it has an IPv6 one too.
      {"MODEL-P:SN-P4:TCPIP0::198.18.0.3::5025::SOCKET;", true},
      // An IPv6 address alone: the literal in brackets.
      {"MODEL-6:SN-6:TCPIP0::[fd00:198:18::6]::hislip0::INSTR;", false},
      // Its *IDN? cannot be asked: listed without model and serial.
      {"::TCPIP0::198.18.0.9::5025::SOCKET;", false},
  };
  char list[4096] = "";
  ViInt32 n = 0;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(VI_SUCCESS, vx_comm_find(list, 1500, sizeof list, &n, IFACE_MDNS));
  // The silent instrument's *IDN? waits for a connection that never comes
  // (the kernel gives up on its ARP after about 3 s): the search still ends
  // with its tmoMs, not with that wait or an open's 3 s.
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(ms, 2500);
  const std::string text(list, (size_t)n);
  size_t entries = 0;
  for (char c : text) entries += c == ';';
  EXPECT_EQ(entries, expected.size()) << text;
  for (const Entry& e : expected) {
    const size_t first = text.find(e.text);
    EXPECT_NE(first, std::string::npos) << e.text << " in " << text;
    if (first != std::string::npos) {
      EXPECT_EQ(text.find(e.text, first + 1), std::string::npos) << e.text << " twice";
    }
  }
  for (const Entry& e : expected) {
    if (!e.answers) continue;
    const size_t from = e.text.find("TCPIP0::");
    const std::string address = e.text.substr(from, e.text.size() - from - 1);
    SCOPED_TRACE(address);
    ViInt32 id = open_link(address);
    EXPECT_FALSE(query(id, "*IDN?").empty());
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  }
}

}  // namespace
