// The DNS message reader (names, compression, record lengths) and the mDNS
// search's state over answers built in memory: what it asks again and the
// entries it makes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "find/dns_message.h"
#include "find/mdns_scan.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// The name's labels joined by '|', so dots inside a label stay visible.
std::string labels_of(const DnsName& n) {
  std::string out;
  for (size_t p = 0; n.wire[p] != 0; p += 1u + n.wire[p]) {
    if (!out.empty()) out += '|';
    out.append(reinterpret_cast<const char*>(n.wire + p + 1), n.wire[p]);
  }
  return out;
}

Bytes label_bytes(const std::string& text) {
  Bytes b(1 + text.size(), (uint8_t)text.size());
  memcpy(b.data() + 1, text.data(), text.size());
  return b;
}

struct NameCase {
  const char* what;
  Bytes msg;
  size_t at;
  const char* labels;  // null: refused
  size_t after;
};

TEST(DnsName, ReadsCompressedNamesAndRefusesBadOnes) {
  Bytes longName;
  for (int i = 0; i < 5; ++i) {
    Bytes l = label_bytes(std::string(63, 'a'));
    longName.insert(longName.end(), l.begin(), l.end());
  }
  longName.push_back(0);
  Bytes dotted = label_bytes("VXSIM 1130.0341k02");
  dotted.insert(dotted.end(), {5, 'l', 'o', 'c', 'a', 'l', 0});
  const NameCase cases[] = {
      {"plain", {3, 'a', 'b', 'c', 0}, 0, "abc", 5},
      {"pointer back", {3, 'a', 'b', 'c', 0, 1, 'x', 0xC0, 0}, 5, "x|abc", 9},
      {"dots inside a label", dotted, 0, "VXSIM 1130.0341k02|local", dotted.size()},
      {"pointer to itself", {0xC0, 0}, 0, nullptr, 0},
      {"pointer forward", {0xC0, 2, 0}, 0, nullptr, 0},
      {"two pointers in a loop", {1, 'a', 0xC0, 4, 1, 'b', 0xC0, 0}, 4, nullptr, 0},
      {"label past the end", {5, 'a', 'b'}, 0, nullptr, 0},
      {"pointer cut", {1, 'a', 0xC0}, 0, nullptr, 0},
      {"no root label", {1, 'a'}, 0, nullptr, 0},
      {"extended label type", {0x41, 'a', 0}, 0, nullptr, 0},
      {"over 255 bytes", longName, 0, nullptr, 0},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.what);
    DnsName n;
    size_t at = c.at;
    const bool ok = vx_dns_read_name(c.msg.data(), c.msg.size(), &at, &n);
    ASSERT_EQ(ok, c.labels != nullptr);
    if (!ok) continue;
    EXPECT_EQ(labels_of(n), c.labels);
    EXPECT_EQ(at, c.after);
  }
}

// ----------------------------------------------------------- answers --

const uint16_t kId = 0x1234;
const uint32_t kCardAddr = 0x010012C6u;  // 198.18.0.1, network order on little-endian
const uint32_t kPeer = 0x020012C6u;      // 198.18.0.2

uint32_t v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t x[4] = {a, b, c, d};
  uint32_t v;
  memcpy(&v, x, 4);
  return v;
}

DnsName name(std::vector<const char*> labels) {
  DnsName n;
  EXPECT_TRUE(vx_dns_name_from_labels(&n, labels.data(), (int)labels.size()));
  return n;
}

struct Answer {
  Bytes buf = Bytes(2048);
  DnsWriter w;
  uint16_t count = 0;
  explicit Answer(uint16_t id = kId) { vx_dns_writer_begin(&w, buf.data(), buf.size(), DnsHeader{id, 0x8400, 0, 0, 0, 0}); }
  void record(const DnsName& n, uint16_t type, const Bytes& data) {
    vx_dns_put_record(&w, n, type, 120, data.data(), data.size());
    ++count;
  }
  void ptr(const DnsName& service, const DnsName& instance) { record(service, VX_DNS_PTR, Bytes(instance.wire, instance.wire + instance.size)); }
  void srv(const DnsName& instance, uint16_t port, const DnsName& host) {
    Bytes d{0, 0, 0, 0, (uint8_t)(port >> 8), (uint8_t)port};
    d.insert(d.end(), host.wire, host.wire + host.size);
    record(instance, VX_DNS_SRV, d);
  }
  void txt(const DnsName& instance, std::vector<std::string> strings) {
    Bytes d;
    for (const std::string& s : strings) {
      Bytes l = label_bytes(s);
      d.insert(d.end(), l.begin(), l.end());
    }
    record(instance, VX_DNS_TXT, d);
  }
  void a(const DnsName& host, uint32_t addr) { record(host, VX_DNS_A, Bytes((uint8_t*)&addr, (uint8_t*)&addr + 4)); }
  void aaaa(const DnsName& host, const Bytes& addr) { record(host, VX_DNS_AAAA, addr); }
  Bytes done() {
    EXPECT_TRUE(w.ok);
    buf[6] = (uint8_t)(count >> 8);
    buf[7] = (uint8_t)count;
    return Bytes(buf.begin(), buf.begin() + (long)w.size);
  }
};

struct MdnsStateTest : ::testing::Test {
  MdnsState s;
  const DnsName hislip = name({"_hislip", "_tcp", "local"});
  const DnsName raw = name({"_scpi-raw", "_tcp", "local"});
  const DnsName lxi = name({"_lxi", "_tcp", "local"});
  const DnsName host = name({"vxsim-peer", "local"});
  // Card 0 reaches the peer; card 1 another subnet.
  void SetUp() override {
    const vxp_card cards[2] = {{kCardAddr, v4(255, 255, 255, 0), 0, {}, ""}, {v4(198, 18, 1, 1), v4(255, 255, 255, 0), 0, {}, ""}};
    vx_mdns_begin(&s, kId, cards, 2);
  }
  void take(const Bytes& m, uint32_t from = kPeer, int card = 0) {
    vx_mdns_take_answer(&s, m.data(), m.size(), from, card);
  }
  std::string list() {
    char text[512] = "";
    int length = 0;
    EXPECT_EQ(vx_mdns_list(&s, text, sizeof text, &length), VI_SUCCESS);
    return std::string(text, (size_t)length);
  }
  // The questions of the next query due, as "type:first label" texts.
  std::string next(uint32_t now) {
    uint8_t q[512];
    int card = -1;
    size_t n = vx_mdns_next_query(&s, now, 60, 6, q, sizeof q, &card);
    if (n == 0) return "";
    EXPECT_EQ(card, 0);
    std::string out;
    size_t at = 12;
    for (int i = 0; i < ((q[4] << 8) | q[5]); ++i) {
      DnsName qn;
      EXPECT_TRUE(vx_dns_read_name(q, n, &at, &qn));
      out += (out.empty() ? "" : " ") + std::to_string((q[at] << 8) | q[at + 1]) + ":" + labels_of(qn).substr(0, labels_of(qn).find('|'));
      at += 4;
    }
    return out;
  }
};

// A responder that cut its answer at 512 bytes gave the PTR alone: the
// instance's SRV and TXT are asked for, then what is still missing, again
// after the re-ask time, and the host's address once the SRV names it.
TEST_F(MdnsStateTest, AsksAgainForWhatACappedAnswerLeftOut) {
  const DnsName inst = name({"VXSIM 1130.0341k02", "_hislip", "_tcp", "local"});
  Answer capped;
  capped.ptr(hislip, inst);
  take(capped.done());
  EXPECT_EQ(next(0), "33:VXSIM 1130.0341k02 16:VXSIM 1130.0341k02");
  EXPECT_EQ(next(10), "");  // not again before the re-ask time
  Answer srvOnly;
  srvOnly.srv(inst, 4881, host);
  take(srvOnly.done());
  EXPECT_EQ(next(60), "16:VXSIM 1130.0341k02");
  EXPECT_EQ(next(60), "1:vxsim-peer");
  EXPECT_EQ(list(), "");  // no address yet
  Answer rest;
  rest.txt(inst, {"Manufacturer=VXSIM", "Model=MODEL-H", "SerialNumber=SN:H1"});
  rest.a(host, kPeer);
  take(rest.done());
  EXPECT_EQ(next(500), "");
  EXPECT_EQ(list(), "MODEL-H:SN_H1:TCPIP0::198.18.0.2::hislip0,4881::INSTR;");
}

// Everything in one answer, records before the PTR that names them; the
// _lxi instance names a SOCKET instance without TXT keys of its own; a
// second instance at the same address and port is listed once.
TEST_F(MdnsStateTest, ListsEachRouteOnceWithTheLxiKeysAsFallback) {
  const DnsName sock1 = name({"VXSIM SOCKET 0002", "_scpi-raw", "_tcp", "local"});
  const DnsName sock2 = name({"VXSIM SOCKET copy", "_scpi-raw", "_tcp", "local"});
  const DnsName lxiInst = name({"VXSIM SOCKET 0002", "_lxi", "_tcp", "local"});
  Answer m;
  m.srv(sock1, 5025, host);
  m.txt(sock1, {});
  m.srv(sock2, 5025, host);
  m.txt(sock2, {});
  m.srv(lxiInst, 80, host);
  m.txt(lxiInst, {"Model=MODEL-S", "SerialNumber=SN-S2"});
  m.a(host, kPeer);
  m.ptr(raw, sock1);
  m.ptr(raw, sock2);
  m.ptr(lxi, lxiInst);
  take(m.done());
  EXPECT_EQ(list(), "MODEL-S:SN-S2:TCPIP0::198.18.0.2::5025::SOCKET;");
}

TEST_F(MdnsStateTest, DropsAnswersFromElsewhereOrMalformed) {
  const DnsName inst = name({"VXSIM HISLIP 0001", "_hislip", "_tcp", "local"});
  Answer other(kId + 1);
  other.ptr(hislip, inst);
  take(other.done());  // not our id
  Answer m;
  m.ptr(hislip, inst);
  take(m.done(), v4(198, 18, 1, 2));  // another card's subnet than the one that asked
  take(m.done(), kPeer, 1);           // to card 1, from card 0's subnet
  Answer notChild;
  notChild.ptr(hislip, name({"x", "_vxi-11", "_tcp", "local"}));
  take(notChild.done());  // an instance of another type
  EXPECT_EQ(s.instanceCount, 0);

  // A record whose length runs past the message ends the reading there.
  Answer overrun;
  overrun.ptr(hislip, inst);
  Bytes msg = overrun.done();
  msg[msg.size() - inst.size - 1] = 0xFF;
  take(msg);
  EXPECT_EQ(s.instanceCount, 0);
}

// A host's address is taken only within the subnet of the card that asked
// (a host with an address elsewhere is reached by another card, if any),
// and only from answers to that card.
TEST_F(MdnsStateTest, TakesAnAddressOnlyWithinTheAskingCardsSubnet) {
  const DnsName inst = name({"VXSIM HISLIP 0001", "_hislip", "_tcp", "local"});
  Answer found;
  found.ptr(hislip, inst);
  found.srv(inst, 4880, host);
  found.txt(inst, {"Model=MODEL-H", "SerialNumber=SN-H1"});
  take(found.done());
  Answer elsewhere;
  elsewhere.a(host, v4(198, 18, 1, 7));
  take(elsewhere.done());
  Answer toOtherCard;
  toOtherCard.a(host, kPeer);
  take(toOtherCard.done(), v4(198, 18, 1, 2), 1);
  EXPECT_EQ(list(), "");
  Answer onCard;
  onCard.a(host, v4(198, 18, 0, 9));
  take(onCard.done());
  EXPECT_EQ(list(), "MODEL-H:SN-H1:TCPIP0::198.18.0.9::hislip0::INSTR;");
}

// "*IDN?" is asked once, of an instance whose TXT names nothing (nor its
// host's _lxi instance), and its answer fills model and serial.
TEST_F(MdnsStateTest, AsksIdentityOnlyOfInstrumentsWithoutKeys) {
  const DnsName plain = name({"VXSIM PLAIN", "_scpi-raw", "_tcp", "local"});
  const DnsName named = name({"VXSIM NAMED", "_hislip", "_tcp", "local"});
  const DnsName other = name({"vxsim-other", "local"});
  const DnsName lxiInst = name({"VXSIM OTHER", "_lxi", "_tcp", "local"});
  const DnsName byLxi = name({"VXSIM OTHER", "_scpi-raw", "_tcp", "local"});
  Answer m;
  m.ptr(raw, plain);
  m.srv(plain, 5025, host);
  m.txt(plain, {"txtvers=1"});
  m.ptr(hislip, named);
  m.srv(named, 4880, host);
  m.txt(named, {"Model=MODEL-H"});
  m.ptr(lxi, lxiInst);
  m.srv(lxiInst, 80, other);
  m.txt(lxiInst, {"SerialNumber=SN-L"});
  m.ptr(raw, byLxi);
  m.srv(byLxi, 5025, other);
  m.txt(byLxi, {});
  m.a(host, kPeer);
  m.a(other, v4(198, 18, 0, 3));
  take(m.done());
  char address[VX_MDNS_ADDRESS_SIZE];
  const int index = vx_mdns_next_identify(&s, address, sizeof address);
  ASSERT_GE(index, 0);
  EXPECT_STREQ(address, "TCPIP0::198.18.0.2::5025::SOCKET");
  EXPECT_EQ(vx_mdns_next_identify(&s, address, sizeof address), -1);  // once
  vx_mdns_identified(&s, index, "VXSIM,MODEL-101,SN:0001,1.0");
  EXPECT_EQ(list(),
            "MODEL-101:SN_0001:TCPIP0::198.18.0.2::5025::SOCKET;MODEL-H::TCPIP0::198.18.0.2::hislip0::INSTR;"
            ":SN-L:TCPIP0::198.18.0.3::5025::SOCKET;");
}

// Where the card has IPv6, AAAA is asked with A; a host with an IPv6
// address alone is listed by it in brackets (a link-local one with the
// card's zone), one with both by its IPv4 address; an IPv6 address outside
// the card's prefixes is not taken.
TEST_F(MdnsStateTest, ListsAnIpv6OnlyHostInBrackets) {
  vxp_card card{kCardAddr, v4(255, 255, 255, 0), 2, {}, "vxt0"};
  const Bytes ula = {0xfd, 0, 0x01, 0x98, 0, 0x18, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x06};
  const Bytes linkLocal = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x11, 0x22, 0xff, 0xfe, 0x33, 0x44, 0x55};
  const Bytes elsewhere = {0xfd, 0, 0x01, 0x98, 0, 0x19, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x06};
  memcpy(card.v6[0].addr, ula.data(), 16);
  card.v6[0].addr[15] = 1;
  card.v6[0].prefix = 64;
  card.v6[1].addr[0] = 0xfe;
  card.v6[1].addr[1] = 0x80;
  card.v6[1].prefix = 64;
  struct Host {
    const char* host;
    std::vector<Bytes> six;
    bool withV4;
    const char* at;  // null: not listed
  };
  const Host hosts[] = {
      {"six", {ula}, false, "[fd00:198:18::6]"},
      {"local", {linkLocal}, false, "[fe80::211:22ff:fe33:4455%vxt0]"},
      {"both", {ula}, true, "198.18.0.2"},
      {"far", {elsewhere}, false, nullptr},
  };
  for (const Host& h : hosts) {
    SCOPED_TRACE(h.host);
    vx_mdns_begin(&s, kId, &card, 1);
    const DnsName inst = name({"VXSIM", "_hislip", "_tcp", "local"});
    const DnsName target = name({h.host, "local"});
    Answer m;
    m.ptr(hislip, inst);
    m.srv(inst, 4880, target);
    m.txt(inst, {"Model=M", "SerialNumber=S"});
    take(m.done());
    EXPECT_EQ(next(0), std::string("1:") + h.host + " 28:" + h.host);
    Answer addr;
    for (const Bytes& b : h.six) addr.aaaa(target, b);
    if (h.withV4) addr.a(target, kPeer);
    take(addr.done());
    EXPECT_EQ(list(), h.at ? std::string("M:S:TCPIP0::") + h.at + "::hislip0::INSTR;" : std::string());
  }
}

}  // namespace
