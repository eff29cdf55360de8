// The mDNS search (DNS-SD, one shot): queries go from an ephemeral UDP port
// of each IPv4 card (a socket per card, bound to its address) to
// 224.0.0.251:5353, so responders answer by unicast to that port (legacy
// unicast) and port 5353 is never bound: nothing conflicts with a system
// responder on the same host. PTR of each service type on the LAN searches'
// schedule, then SRV and TXT of each instance and A of each host, asked
// again while missing, since a responder may cut a legacy answer at 512
// bytes and drop records without saying so. An instrument that names
// itself in no TXT record is asked "*IDN?" over the route it announced,
// through that transport's own table, within the search's time.
#include <cstdio>
#include <cstring>
#include <new>

#include "find/find.h"
#include "find/mdns_scan.h"
#include "log/call_log.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "transport/identify.h"

namespace {

const uint16_t kMdnsPort = 5353;
const uint16_t kHislipPort = 4880;
const size_t kMessageArea = 9000;  // a unicast answer may exceed 512 bytes; larger ones are dropped
const uint32_t kReaskMs = 60;
const int kMaxAsks = 6;
const uint32_t kPtrMarksMs[] = {0, 50, 150, 350, 650};

static_assert(VX_MDNS_FIELD_SIZE == VX_FIND_FIELD_SIZE, "identification fields are taken whole");

const char* const kServiceLabels[MDNS_SERVICES] = {"_hislip", "_vxi-11", "_scpi-raw", "_lxi"};

// 224.0.0.251 in network order.
uint32_t group() {
  const uint8_t b[4] = {224, 0, 0, 251};
  uint32_t a;
  memcpy(&a, b, 4);
  return a;
}

bool on_card(const MdnsState* s, int card, uint32_t addr) {
  const vxp_card& c = s->cards[card];
  return (addr & c.mask) == (c.addr & c.mask);
}

// Within one of the card's IPv6 prefixes (its link-local one included).
bool on_card6(const vxp_card& c, const uint8_t addr[16]) {
  for (int i = 0; i < c.v6Count && i < VXP_CARD_MAX_V6; ++i) {
    const vxp_card_v6& v = c.v6[i];
    const int whole = v.prefix / 8, bits = v.prefix % 8;
    if (v.prefix > 128 || memcmp(v.addr, addr, (size_t)whole) != 0) continue;
    const uint8_t mask = (uint8_t)(0xFF00u >> bits);
    if (bits == 0 || ((v.addr[whole] ^ addr[whole]) & mask) == 0) return true;
  }
  return false;
}

// An IPv6 address as text (RFC 5952: lower case, no leading zeros, the
// longest run of two or more zero groups as "::").
void ipv6_text(const uint8_t a[16], char out[40]) {
  uint16_t g[8];
  for (int i = 0; i < 8; ++i) g[i] = (uint16_t)((a[2 * i] << 8) | a[2 * i + 1]);
  int best = -1, bestLen = 1;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && g[j] == 0) ++j;
    if (j - i > bestLen) {
      best = i;
      bestLen = j - i;
    }
    i = j > i ? j : i + 1;
  }
  char* p = out;
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      *p++ = ':';
      if (i == 0) *p++ = ':';
      i += bestLen - 1;
      continue;
    }
    p += snprintf(p, 6, "%x", (unsigned)g[i]);
    if (i < 7) *p++ = ':';
  }
  *p = '\0';
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
    if (!in || in->card != card) return;
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
  if (rec.type == VX_DNS_AAAA) {
    MdnsHost* h = find_host(s, rec.name);
    uint8_t addr[16];
    if (!h || h->haveAddr6 || h->card != card || !vx_dns_read_aaaa(msg, rec, addr)) return;
    if (!on_card6(s->cards[card], addr)) return;
    memcpy(h->addr6, addr, 16);
    h->haveAddr6 = true;
    h->linkLocal6 = addr[0] == 0xFE && (addr[1] & 0xC0) == 0x80;
    return;
  }
  if (rec.type == VX_DNS_A) {
    MdnsHost* h = find_host(s, rec.name);
    uint32_t addr = 0;
    if (!h || h->haveAddr || h->card != card || !vx_dns_read_a(msg, rec, &addr)) return;
    // An address on another card's subnet (or none) is not reached by the
    // card that asked: a host with several names it there.
    if (!on_card(s, card, addr)) return;
    h->addr = addr;
    h->haveAddr = true;
  }
}

// The resource name of an instance with a route and an address; false when
// it has none yet.
bool address_of(const MdnsState* s, const MdnsInstance& in, char* address, size_t size) {
  if (in.service == MDNS_LXI || !in.haveSrv) return false;
  const MdnsHost* h = find_host(s, in.target);
  // IPv4 when the host has it; an IPv6 literal in brackets otherwise.
  char dotted[64];
  if (!h) return false;
  if (h->haveAddr) {
    if (!vxp_inet_text(h->addr, dotted, sizeof dotted)) return false;
  } else if (h->haveAddr6) {
    char text[40];
    ipv6_text(h->addr6, text);
    const int n = snprintf(dotted, sizeof dotted, "[%s%s%s]", text, h->linkLocal6 ? "%" : "",
                           h->linkLocal6 ? s->cards[h->card].zone : "");
    if (n <= 0 || (size_t)n >= sizeof dotted) return false;
  } else {
    return false;
  }
  int n;
  if (in.service == MDNS_HISLIP && in.port == kHislipPort)
    n = snprintf(address, size, "TCPIP0::%s::hislip0::INSTR", dotted);
  else if (in.service == MDNS_HISLIP)
    n = snprintf(address, size, "TCPIP0::%s::hislip0,%u::INSTR", dotted, (unsigned)in.port);
  else if (in.service == MDNS_VXI11)
    n = snprintf(address, size, "TCPIP0::%s::inst0::INSTR", dotted);
  else
    n = snprintf(address, size, "TCPIP0::%s::%u::SOCKET", dotted, (unsigned)in.port);
  return n > 0 && (size_t)n < size;
}

// Model and serial from the TXT keys: the instance's own, else those of the
// _lxi instance of the same host. False when neither has any.
bool announced_keys(const MdnsState* s, const MdnsInstance& in, const char** model, const char** serial) {
  *model = in.model;
  *serial = in.serial;
  for (int j = 0; j < s->instanceCount && !**model && !**serial; ++j) {
    const MdnsInstance& lxi = s->instances[j];
    if (lxi.service == MDNS_LXI && lxi.haveSrv && vx_dns_name_equal(lxi.target, in.target)) {
      *model = lxi.model;
      *serial = lxi.serial;
    }
  }
  return **model || **serial;
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

void vx_mdns_take_answer(MdnsState* s, const uint8_t* msg, size_t size, uint32_t from, int card) {
  if (card < 0 || card >= s->cardCount || !on_card(s, card, from)) return;
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
    // An IPv6 address only matters where the card has IPv6.
    const bool ask6 = !h.haveAddr6 && s->cards[h.card].v6Count > 0;
    vx_dns_writer_begin(&w, buf, capacity, DnsHeader{s->id, 0, (uint16_t)(1 + ask6), 0, 0, 0});
    vx_dns_put_question(&w, h.name, VX_DNS_A);
    if (ask6) vx_dns_put_question(&w, h.name, VX_DNS_AAAA);
    h.askedAt = nowMs;
    ++h.asks;
    if (!w.ok) continue;
    *card = h.card;
    return w.size;
  }
  return 0;
}

int vx_mdns_next_identify(MdnsState* s, char* address, size_t size) {
  for (int i = 0; i < s->instanceCount; ++i) {
    MdnsInstance& in = s->instances[i];
    const char *model, *serial;
    if (in.identifyAsked || !in.haveTxt || announced_keys(s, in, &model, &serial)) continue;
    if (!address_of(s, in, address, size)) continue;
    in.identifyAsked = true;
    return i;
  }
  return -1;
}

void vx_mdns_identified(MdnsState* s, int index, const char* reply) {
  if (index < 0 || index >= s->instanceCount || !reply) return;
  MdnsInstance& in = s->instances[index];
  char maker[VX_FIND_FIELD_SIZE];
  vx_find_take_field(vx_find_take_field(vx_find_take_field(reply, maker), in.idnModel), in.idnSerial);
}

ViStatus vx_mdns_list(const MdnsState* s, char* text, int capacity, int* length) {
  ViStatus status = VI_SUCCESS;
  for (int i = 0; i < s->instanceCount; ++i) {
    const MdnsInstance& in = s->instances[i];
    char address[VX_MDNS_ADDRESS_SIZE];
    if (!address_of(s, in, address, sizeof address) || listed(text, *length, address)) continue;
    const char *model, *serial;
    if (!announced_keys(s, in, &model, &serial)) {
      model = in.idnModel;
      serial = in.idnSerial;
    }
    if (*length >= capacity || !vx_find_append_entry(text, capacity, length, model, serial, address))
      status = VI_SUCCESS_MAX_CNT;
  }
  return status;
}

namespace {

const int kMaxCards = 16;
const size_t kProbeStack = 64 * 1024;
const size_t kReplySize = 128;

// One identification in flight: its own thread, the call the search cuts
// when its time is over, and the line it got.
struct Probe {
  IdentifyCall call;
  int instance;
  uint32_t waitMs;
  char address[VX_MDNS_ADDRESS_SIZE];
  char reply[kReplySize];
  bool identified;
  vxp_thread* thread;
};

void probe_worker(void* arg) {
  Probe* p = static_cast<Probe*>(arg);
  p->identified = vx_transport_identify(&p->call, p->address, p->waitMs, p->reply, sizeof p->reply);
  // The open's own lines (if any) say why; this one says whose search it was.
  if (!p->identified)
    writeLog("vx_comm_find() mDNS search: %s announced no Model or SerialNumber and gave no *IDN? reply within %u "
             "ms; listed without them\n",
             p->address, (unsigned)p->waitMs);
}

// Every socket of the search and its buffers, released together.
struct ScanArea {
  vxp_socket socks[kMaxCards];
  int sockCount = 0;
  MdnsState* state = nullptr;
  uint8_t* message = nullptr;
  Probe* probes = nullptr;
  int probeCount = 0;
  ~ScanArea() {
    for (int i = 0; i < sockCount; ++i)
      if (socks[i] != VXP_BAD_SOCKET) vxp_socket_close(socks[i]);
    delete state;
    delete[] message;
    delete[] probes;
  }
};

// Sends what is due, each query on the socket of its card.
void send_due(ScanArea* a, uint64_t elapsed, int* marksPassed) {
  MdnsState* s = a->state;
  const uint32_t target = group();
  if (*marksPassed < (int)(sizeof kPtrMarksMs / sizeof kPtrMarksMs[0]) && elapsed >= kPtrMarksMs[*marksPassed]) {
    ++*marksPassed;
    for (int c = 0; c < s->cardCount; ++c)
      for (int k = 0; k < MDNS_SERVICES; ++k) {
        const size_t n = vx_mdns_service_query(s, k, a->message, kMessageArea);
        if (n) vxp_sendto(a->socks[c], a->message, n, target, kMdnsPort);
      }
  }
  // Bounded: every question is asked at most kMaxAsks times.
  int card = 0;
  for (size_t n; (n = vx_mdns_next_query(s, (uint32_t)elapsed, kReaskMs, kMaxAsks, a->message, kMessageArea, &card));)
    vxp_sendto(a->socks[card], a->message, n, target, kMdnsPort);
}

// Starts a probe for every instance that waits for its "*IDN?", with what
// is left of the search's time.
void start_probes(ScanArea* a, uint32_t left) {
  while (a->probeCount < VX_MDNS_MAX_INSTANCES) {
    Probe& p = a->probes[a->probeCount];
    p.instance = vx_mdns_next_identify(a->state, p.address, sizeof p.address);
    if (p.instance < 0) return;
    p.waitMs = left;
    p.identified = false;
    p.reply[0] = '\0';
    p.thread = vxp_thread_start(probe_worker, &p, kProbeStack);
    if (!p.thread) continue;  // listed without, as one that does not answer
    ++a->probeCount;
  }
}

ViStatus scan_cards(ScanArea* a, const vxp_card* cards, int cardCount, uint32_t limit) {
  MdnsState* s = a->state;
  const uint32_t start = vxp_tick_ms();
  vx_mdns_begin(s, (uint16_t)(start ^ 0x4D44u), cards, cardCount);
  ViStatus status = VI_SUCCESS;
  int marksPassed = 0;
  uint64_t elapsed = 0;  // summed from 32-bit differences, as the other searches do
  uint32_t last = start;
  for (;;) {
    send_due(a, elapsed, &marksPassed);
    bool ready[kMaxCards] = {};
    const int got = s->cardCount == 0 ? 0 : vxp_wait_any_readable(a->socks, s->cardCount, VX_FIND_WAIT_MS, ready);
    if (s->cardCount == 0) vxp_sleep_ms(VX_FIND_WAIT_MS);
    if (got < 0) {
      if (!vxp_socket_error_is_invalid_argument(vxp_last_socket_error())) {
        status = VI_ERROR_SYSTEM_ERROR;
        break;
      }
      vxp_sleep_ms(VX_FIND_WAIT_MS);
    }
    for (int c = 0; got > 0 && c < s->cardCount; ++c) {
      if (!ready[c]) continue;
      for (int k = 0; k < 256; ++k) {
        uint32_t from = 0;
        uint16_t fromPort = 0;
        const int64_t n = vxp_recvfrom_port(a->socks[c], a->message, kMessageArea, &from, &fromPort);
        if (n > 0 && fromPort == kMdnsPort) vx_mdns_take_answer(s, a->message, (size_t)n, from, c);
        if (vxp_wait_readable(a->socks[c], 0) <= 0) break;
      }
    }
    const uint32_t now = vxp_tick_ms();
    elapsed += (uint32_t)(now - last);
    last = now;
    if (elapsed >= limit) break;
    start_probes(a, (uint32_t)(limit - elapsed));
  }
  // The search's time is over: identifications still in flight end now.
  for (int i = 0; i < a->probeCount; ++i) vx_transport_identify_cut(&a->probes[i].call);
  for (int i = 0; i < a->probeCount; ++i) {
    Probe& p = a->probes[i];
    vxp_thread_join(p.thread);
    if (p.identified) vx_mdns_identified(s, p.instance, p.reply);
  }
  a->probeCount = 0;
  return status;
}

}  // namespace

ViStatus vx_mdns_scan(char* text, int tmoMs, int capacity, int* length) {
  int ownLength = 0;
  int* len = length ? length : &ownLength;
  *len = 0;
  if (!text || capacity < 1) return VI_ERROR_SYSTEM_ERROR;
  text[0] = '\0';
  const uint32_t limit = (uint32_t)tmoMs;  // a negative tmoMs is a very long search, not none
  if (limit == 0) return VI_SUCCESS;
  if (!vxp_net_startup()) return VI_ERROR_SYSTEM_ERROR;
  ViStatus status = VI_SUCCESS;
  {
    ScanArea a;
    a.state = new (std::nothrow) MdnsState;
    a.message = new (std::nothrow) uint8_t[kMessageArea];
    a.probes = new (std::nothrow) Probe[VX_MDNS_MAX_INSTANCES];
    if (!a.state || !a.message || !a.probes) status = VI_ERROR_SYSTEM_ERROR;
    vxp_card found[kMaxCards], cards[kMaxCards];
    const int foundCount = status == VI_SUCCESS ? vxp_multicast_cards(found, kMaxCards) : 0;
    // A socket of its own per card, bound to the card's address: an answer
    // that comes to it answers that card's query. A card the system will
    // not send by is left out, as before.
    for (int c = 0; c < foundCount; ++c) {
      vxp_socket sock = vxp_udp_socket();
      if (sock == VXP_BAD_SOCKET) {
        status = VI_ERROR_SYSTEM_ERROR;
        break;
      }
      if (!vxp_bind(sock, found[c].addr, 0) || !vxp_set_multicast_card(sock, found[c].addr)) {
        vxp_socket_close(sock);
        continue;
      }
      cards[a.sockCount] = found[c];
      a.socks[a.sockCount++] = sock;
    }
    if (status == VI_SUCCESS) {
      status = scan_cards(&a, cards, a.sockCount, limit);
      const ViStatus listStatus = vx_mdns_list(a.state, text, capacity, len);
      if (status == VI_SUCCESS) status = listStatus;
    }
  }
  vxp_net_cleanup();
  return status;
}
