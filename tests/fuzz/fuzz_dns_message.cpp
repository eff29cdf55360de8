// DNS messages as mDNS answers: every name read is at most 255 bytes with
// labels of at most 63, every record's data lies within the message, the
// records read are bounded by the message's size, and the search's state
// keeps to its tables and writes only well-formed queries and entries.
#include <cstring>
#include <string>

#include "find/dns_message.h"
#include "find/mdns_scan.h"
#include "fuzz_util.h"

namespace {

void check_name(const DnsName& n) {
  VX_FUZZ_CHECK(n.size >= 1 && n.size <= VX_DNS_NAME_MAX);
  size_t p = 0;
  while (n.wire[p] != 0) {
    VX_FUZZ_CHECK(n.wire[p] <= VX_DNS_LABEL_MAX);
    p += 1u + n.wire[p];
    VX_FUZZ_CHECK(p < n.size);
  }
  VX_FUZZ_CHECK(p + 1 == n.size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes, so ASan sees any read past the end.
  std::string copy(reinterpret_cast<const char*>(data), size);
  const uint8_t* msg = reinterpret_cast<const uint8_t*>(copy.data());

  DnsReader r;
  if (vx_dns_reader_begin(&r, msg, size)) {
    DnsRecord rec;
    size_t records = 0;
    int got;
    while ((got = vx_dns_reader_next(&r, &rec)) == 1) {
      ++records;
      check_name(rec.name);
      VX_FUZZ_CHECK(rec.data <= size && rec.dataSize <= size - rec.data);
      uint16_t port;
      DnsName target;
      uint32_t addr;
      char value[8];
      if (vx_dns_read_srv(msg, rec, &port, &target)) check_name(target);
      vx_dns_read_a(msg, rec, &addr);
      if (vx_dns_txt_value(msg, rec, "Model", value, sizeof value)) VX_FUZZ_CHECK(strlen(value) < sizeof value);
    }
    // A record takes at least the root name's byte and 10 bytes of fields.
    VX_FUZZ_CHECK(records <= size / 11);
  }

  // The search's state over the same message, as from a peer on the card.
  static MdnsState s;
  // Any IPv6 address is on the card (a prefix of 0), so AAAA records reach
  // the entries too, link-local ones with the zone.
  const vxp_card card{0x0100007Fu, 0x000000FFu, 1, {}, "fz0"};
  vx_mdns_begin(&s, size >= 2 ? (uint16_t)((msg[0] << 8) | msg[1]) : 0, &card, 1);
  vx_mdns_take_answer(&s, msg, size, 0x0200007Fu, 0);
  VX_FUZZ_CHECK(s.instanceCount <= VX_MDNS_MAX_INSTANCES && s.hostCount <= VX_MDNS_MAX_HOSTS);
  for (int i = 0; i < s.instanceCount; ++i) {
    check_name(s.instances[i].name);
    if (s.instances[i].haveSrv) check_name(s.instances[i].target);
    VX_FUZZ_CHECK(memchr(s.instances[i].model, 0, VX_MDNS_FIELD_SIZE) && memchr(s.instances[i].serial, 0, VX_MDNS_FIELD_SIZE));
  }
  uint8_t query[512];
  int at = -1;
  for (int k = 0; k < 2 * (VX_MDNS_MAX_INSTANCES + VX_MDNS_MAX_HOSTS); ++k) {
    const size_t n = vx_mdns_next_query(&s, 0, 60, 6, query, sizeof query, &at);
    if (n == 0) break;
    VX_FUZZ_CHECK(n <= sizeof query && at == 0);
    DnsReader q;
    VX_FUZZ_CHECK(vx_dns_reader_begin(&q, query, n) && q.at == n);
  }
  char address[VX_MDNS_ADDRESS_SIZE];
  for (int k = 0; k <= VX_MDNS_MAX_INSTANCES; ++k) {
    const int i = vx_mdns_next_identify(&s, address, sizeof address);
    if (i < 0) break;
    VX_FUZZ_CHECK(i < s.instanceCount && memchr(address, 0, sizeof address));
    vx_mdns_identified(&s, i, "VXSIM,MODEL:1,SN;1,1.0");
  }
  char text[300];
  int length = 0;
  text[0] = '\0';
  vx_mdns_list(&s, text, sizeof text, &length);
  VX_FUZZ_CHECK(length >= 0 && length < (int)sizeof text && text[length] == '\0');
  return 0;
}
