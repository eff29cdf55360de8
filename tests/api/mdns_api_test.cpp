// The mDNS search against a real responder: run by tests/mdns_avahi.sh,
// which publishes three instruments at VX_MDNS_PEER and a fourth, without
// TXT keys, at 198.18.0.3; skipped without it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "api_util.h"

namespace {

TEST(MdnsFind, FindsTheFourInstrumentsAndQueriesEach) {
  const char* peer = getenv("VX_MDNS_PEER");
  if (!peer || !*peer) GTEST_SKIP() << "VX_MDNS_PEER not set: no responder";
  const std::string at = std::string("TCPIP0::") + peer;
  const std::vector<std::string> expected = {
      "MODEL-H:SN-H1:" + at + "::hislip0::INSTR;",
      "MODEL-S:SN-S2:" + at + "::5025::SOCKET;",
      "MODEL-V:SN-V3:" + at + "::inst0::INSTR;",
      // Named by its "*IDN?" over the route it announced.
      "MODEL-P:SN-P4:TCPIP0::198.18.0.3::5025::SOCKET;",
  };
  char list[4096] = "";
  ViInt32 n = 0;
  ASSERT_EQ(VI_SUCCESS, vx_comm_find(list, 1500, sizeof list, &n, IFACE_MDNS));
  const std::string text(list, (size_t)n);
  size_t entries = 0;
  for (char c : text) entries += c == ';';
  EXPECT_EQ(entries, expected.size()) << text;
  for (const std::string& e : expected) {
    const size_t first = text.find(e);
    EXPECT_NE(first, std::string::npos) << e << " in " << text;
    if (first != std::string::npos) {
      EXPECT_EQ(text.find(e, first + 1), std::string::npos) << e << " twice";
    }
  }
  for (const std::string& e : expected) {
    const size_t from = e.find("TCPIP0::");
    const std::string address = e.substr(from, e.size() - from - 1);
    SCOPED_TRACE(address);
    ViInt32 id = open_link(address);
    EXPECT_FALSE(query(id, "*IDN?").empty());
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  }
}

}  // namespace
