// The mDNS search (DNS-SD, one shot): queries go from an ephemeral UDP port
// to 224.0.0.251:5353 by every IPv4 card, so responders answer by unicast
// to that port (legacy unicast) and port 5353 is never bound: nothing
// conflicts with a system responder on the same host. PTR of each service
// type on the LAN searches' schedule, then SRV and TXT of each instance and
// A of each host, asked again while missing, since a responder may cut a
// legacy answer at 512 bytes and drop records without saying so.
#include <cstdio>
#include <cstring>
#include <new>

#include "find/find.h"
#include "find/mdns_scan.h"
#include "platform/clock.h"
#include "platform/net.h"

namespace {

const uint16_t kMdnsPort = 5353;
const uint16_t kHislipPort = 4880;
const size_t kMessageArea = 9000;  // a unicast answer may exceed 512 bytes; larger ones are dropped
const uint32_t kReaskMs = 60;
const int kMaxAsks = 6;
const uint32_t kPtrMarksMs[] = {0, 50, 150, 350, 650};

const char* const kServiceLabels[MDNS_SERVICES] = {"_hislip", "_vxi-11", "_scpi-raw", "_lxi"};

// 224.0.0.251 in network order.
uint32_t group() {
  const uint8_t b[4] = {224, 0, 0, 251};
  uint32_t a;
  memcpy(&a, b, 4);
  return a;
}

int card_of(const MdnsState* s, uint32_t from) {
  for (int c = 0; c < s->cardCount; ++c)
    if ((from & s->cards[c].mask) == (s->cards[c].addr & s->cards[c].mask)) return c;
  return -1;
}

MdnsHost* find_host(MdnsState* s, const DnsName& name) {
  for (int i = 0; i < s->hostCount; ++i)
    if (vx_dns_name_equal(s->hosts[i].name, name)) return &s->hosts[i];
  return nullptr;
}

const MdnsHost* find_host(const MdnsState* s, const DnsName& name) {
  return find_host(const_cast<MdnsState*>(s), name);
}

MdnsInstance* find_instance(MdnsState* s, const DnsName& name) {
  for (int i = 0; i < s->instanceCount; ++i)
    if (vx_dns_name_equal(s->instances[i].name, name)) return &s->instances[i];
  return nullptr;
}

void take_record(MdnsState* s, const uint8_t* msg, const DnsRecord& rec, int card) {
  if (rec.klass != VX_DNS_CLASS_IN) return;
  if (rec.type == VX_DNS_PTR) {
    for (int k = 0; k < MDNS_SERVICES; ++k) {
      if (!vx_dns_name_equal(rec.name, s->services[k])) continue;
      DnsName instance;
      size_t at = rec.data;
      if (!vx_dns_read_name(msg, rec.data + rec.dataSize, &at, &instance)) return;
      if (!vx_dns_name_is_child(instance, s->services[k]) || find_instance(s, instance)) return;
      if (s->instanceCount >= VX_MDNS_MAX_INSTANCES) return;
      MdnsInstance& in = s->instances[s->instanceCount++];
      memset(&in, 0, sizeof in);
      in.name = instance;
      in.service = k;
      in.card = card;
      return;
    }
    return;
  }
  if (rec.type == VX_DNS_SRV || rec.type == VX_DNS_TXT) {
    MdnsInstance* in = find_instance(s, rec.name);
    if (!in) return;
    if (rec.type == VX_DNS_SRV && !in->haveSrv) {
      if (!vx_dns_read_srv(msg, rec, &in->port, &in->target)) return;
      in->haveSrv = true;
      if (!find_host(s, in->target) && s->hostCount < VX_MDNS_MAX_HOSTS) {
        MdnsHost& h = s->hosts[s->hostCount++];
        memset(&h, 0, sizeof h);
        h.name = in->target;
        h.card = in->card;
      }
    } else if (rec.type == VX_DNS_TXT && !in->haveTxt) {
      in->haveTxt = true;
      vx_dns_txt_value(msg, rec, "Model", in->model, sizeof in->model);
      vx_dns_txt_value(msg, rec, "SerialNumber", in->serial, sizeof in->serial);
    }
    return;
  }
  if (rec.type == VX_DNS_A) {
    MdnsHost* h = find_host(s, rec.name);
    uint32_t addr = 0;
    if (!h || !vx_dns_read_a(msg, rec, &addr)) return;
    // An address on the card's own subnet is preferred: the instrument is
    // reached directly there.
    const vxp_card& c = s->cards[h->card];
    const bool onCard = (addr & c.mask) == (c.addr & c.mask);
    if (!h->haveAddr || (onCard && !h->addrOnCard)) {
      h->addr = addr;
      h->haveAddr = true;
      h->addrOnCard = onCard;
    }
  }
}

// Not listed yet: no entry ends in ":" address ";".
bool listed(const char* text, int length, const char* address) {
  const size_t n = strlen(address);
  for (int i = 0; i + (int)n + 2 <= length; ++i)
    if (text[i] == ':' && memcmp(text + i + 1, address, n) == 0 && text[i + 1 + n] == ';') return true;
  return false;
}

}  // namespace

void vx_mdns_begin(MdnsState* s, uint16_t id, const vxp_card* cards, int cardCount) {
  s->id = id;
  s->cardCount = 0;
  for (int c = 0; c < cardCount && c < (int)(sizeof s->cards / sizeof s->cards[0]); ++c) s->cards[s->cardCount++] = cards[c];
  for (int k = 0; k < MDNS_SERVICES; ++k) {
    const char* labels[] = {kServiceLabels[k], "_tcp", "local"};
    vx_dns_name_from_labels(&s->services[k], labels, 3);
  }
  s->instanceCount = 0;
  s->hostCount = 0;
}

void vx_mdns_take_answer(MdnsState* s, const uint8_t* msg, size_t size, uint32_t from) {
  const int card = card_of(s, from);
  if (card < 0) return;
  DnsReader r;
  if (!vx_dns_reader_begin(&r, msg, size)) return;
  if (r.header.id != s->id || !(r.header.flags & VX_DNS_FLAG_RESPONSE) || (r.header.flags & 0x7800) != 0) return;
  DnsRecord rec;
  // PTRs first, so SRV and TXT in the same message find their instance
  // whatever the order: the records are read twice, bounded by the message.
  for (int pass = 0; pass < 2; ++pass) {
    if (!vx_dns_reader_begin(&r, msg, size)) return;
    while (vx_dns_reader_next(&r, &rec) == 1)
      if ((rec.type == VX_DNS_PTR) == (pass == 0)) take_record(s, msg, rec, card);
  }
}

size_t vx_mdns_service_query(const MdnsState* s, int service, uint8_t* buf, size_t capacity) {
  DnsWriter w;
  vx_dns_writer_begin(&w, buf, capacity, DnsHeader{s->id, 0, 1, 0, 0, 0});
  vx_dns_put_question(&w, s->services[service], VX_DNS_PTR);
  return w.ok ? w.size : 0;
}

static bool due(uint32_t askedAt, int asks, uint32_t nowMs, uint32_t reaskMs, int maxAsks) {
  return asks == 0 || (asks < maxAsks && nowMs - askedAt >= reaskMs);
}

size_t vx_mdns_next_query(MdnsState* s, uint32_t nowMs, uint32_t reaskMs, int maxAsks, uint8_t* buf, size_t capacity,
                          int* card) {
  DnsWriter w;
  for (int i = 0; i < s->instanceCount; ++i) {
    MdnsInstance& in = s->instances[i];
    if ((in.haveSrv && in.haveTxt) || !due(in.askedAt, in.asks, nowMs, reaskMs, maxAsks)) continue;
    const uint16_t count = (uint16_t)(!in.haveSrv + !in.haveTxt);
    vx_dns_writer_begin(&w, buf, capacity, DnsHeader{s->id, 0, count, 0, 0, 0});
    if (!in.haveSrv) vx_dns_put_question(&w, in.name, VX_DNS_SRV);
    if (!in.haveTxt) vx_dns_put_question(&w, in.name, VX_DNS_TXT);
    in.askedAt = nowMs;
    ++in.asks;
    if (!w.ok) continue;
    *card = in.card;
    return w.size;
  }
  for (int i = 0; i < s->hostCount; ++i) {
    MdnsHost& h = s->hosts[i];
    if (h.haveAddr || !due(h.askedAt, h.asks, nowMs, reaskMs, maxAsks)) continue;
    vx_dns_writer_begin(&w, buf, capacity, DnsHeader{s->id, 0, 1, 0, 0, 0});
    vx_dns_put_question(&w, h.name, VX_DNS_A);
    h.askedAt = nowMs;
    ++h.asks;
    if (!w.ok) continue;
    *card = h.card;
    return w.size;
  }
  return 0;
}

ViStatus vx_mdns_list(const MdnsState* s, char* text, int capacity, int* length) {
  ViStatus status = VI_SUCCESS;
  for (int i = 0; i < s->instanceCount; ++i) {
    const MdnsInstance& in = s->instances[i];
    if (in.service == MDNS_LXI || !in.haveSrv) continue;
    const MdnsHost* h = find_host(s, in.target);
    if (!h || !h->haveAddr) continue;
    char dotted[16], address[64];
    if (!vxp_inet_text(h->addr, dotted, sizeof dotted)) continue;
    if (in.service == MDNS_HISLIP && in.port == kHislipPort)
      snprintf(address, sizeof address, "TCPIP0::%s::hislip0::INSTR", dotted);
    else if (in.service == MDNS_HISLIP)
      snprintf(address, sizeof address, "TCPIP0::%s::hislip0,%u::INSTR", dotted, (unsigned)in.port);
    else if (in.service == MDNS_VXI11)
      snprintf(address, sizeof address, "TCPIP0::%s::inst0::INSTR", dotted);
    else
      snprintf(address, sizeof address, "TCPIP0::%s::%u::SOCKET", dotted, (unsigned)in.port);
    if (listed(text, *length, address)) continue;
    // Without TXT keys of its own, the _lxi instance of the same host may
    // name the instrument.
    const char* model = in.model;
    const char* serial = in.serial;
    for (int j = 0; j < s->instanceCount && !*model && !*serial; ++j) {
      const MdnsInstance& lxi = s->instances[j];
      if (lxi.service == MDNS_LXI && lxi.haveSrv && vx_dns_name_equal(lxi.target, in.target)) {
        model = lxi.model;
        serial = lxi.serial;
      }
    }
    if (*length >= capacity || !vx_find_append_entry(text, capacity, length, model, serial, address))
      status = VI_SUCCESS_MAX_CNT;
  }
  return status;
}

ViStatus vx_mdns_scan(char* text, int tmoMs, int capacity, int* length) {
  int ownLength = 0;
  int* len = length ? length : &ownLength;
  *len = 0;
  if (!text || capacity < 1) return VI_ERROR_SYSTEM_ERROR;
  text[0] = '\0';
  const uint32_t limit = (uint32_t)tmoMs;  // a negative tmoMs is a very long search, not none
  if (limit == 0) return VI_SUCCESS;
  if (!vxp_net_startup()) return VI_ERROR_SYSTEM_ERROR;
  vxp_socket sock = vxp_udp_socket();
  MdnsState* s = new (std::nothrow) MdnsState;
  uint8_t* message = new (std::nothrow) uint8_t[kMessageArea];
  if (sock == VXP_BAD_SOCKET || !s || !message) {
    if (sock != VXP_BAD_SOCKET) vxp_socket_close(sock);
    delete s;
    delete[] message;
    vxp_net_cleanup();
    return VI_ERROR_SYSTEM_ERROR;
  }
  vxp_card cards[16];
  const int cardCount = vxp_multicast_cards(cards, 16);
  const uint32_t start = vxp_tick_ms();
  vx_mdns_begin(s, (uint16_t)(start ^ 0x4D44u), cards, cardCount);
  const uint32_t target = group();

  ViStatus status = VI_SUCCESS;
  int marksPassed = 0;
  uint64_t elapsed = 0;  // summed from 32-bit differences, as the other searches do
  uint32_t last = start;
  for (;;) {
    if (marksPassed < (int)(sizeof kPtrMarksMs / sizeof kPtrMarksMs[0]) && elapsed >= kPtrMarksMs[marksPassed]) {
      ++marksPassed;
      for (int c = 0; c < s->cardCount; ++c) {
        if (!vxp_set_multicast_card(sock, s->cards[c].addr)) continue;
        for (int k = 0; k < MDNS_SERVICES; ++k) {
          const size_t n = vx_mdns_service_query(s, k, message, kMessageArea);
          if (n) vxp_sendto(sock, message, n, target, kMdnsPort);
        }
      }
    }
    // Bounded: every question is asked at most kMaxAsks times.
    int card = 0;
    for (size_t n; (n = vx_mdns_next_query(s, (uint32_t)elapsed, kReaskMs, kMaxAsks, message, kMessageArea, &card));)
      if (vxp_set_multicast_card(sock, s->cards[card].addr)) vxp_sendto(sock, message, n, target, kMdnsPort);

    const int ready = vxp_wait_readable(sock, VX_FIND_WAIT_MS);
    if (ready < 0) {
      if (!vxp_socket_error_is_invalid_argument(vxp_last_socket_error())) {
        status = VI_ERROR_SYSTEM_ERROR;
        break;
      }
      vxp_sleep_ms(VX_FIND_WAIT_MS);
    } else if (ready > 0) {
      for (int k = 0; k < 256; ++k) {
        uint32_t from = 0;
        uint16_t fromPort = 0;
        const int64_t n = vxp_recvfrom_port(sock, message, kMessageArea, &from, &fromPort);
        if (n > 0 && fromPort == kMdnsPort) vx_mdns_take_answer(s, message, (size_t)n, from);
        if (vxp_wait_readable(sock, 0) <= 0) break;
      }
    }
    const uint32_t now = vxp_tick_ms();
    elapsed += (uint32_t)(now - last);
    last = now;
    if (elapsed >= limit) break;
  }
  ViStatus listStatus = vx_mdns_list(s, text, capacity, len);
  if (status == VI_SUCCESS) status = listStatus;
  delete s;
  delete[] message;
  vxp_socket_close(sock);
  vxp_net_cleanup();
  return status;
}
