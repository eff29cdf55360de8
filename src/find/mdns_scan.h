// The mDNS search's state: instances and hosts learnt from the answers so
// far, what is still to be asked, and the entries they make. The socket
// loop lives in mdns_scan.cpp; this part works over memory.
#ifndef VX_FIND_MDNS_SCAN_H
#define VX_FIND_MDNS_SCAN_H

#include <cstddef>
#include <cstdint>

#include "find/dns_message.h"
#include "platform/multicast.h"
#include "vx_comm.h"

// The service types asked for, in this order.
enum MdnsService { MDNS_HISLIP, MDNS_VXI11, MDNS_SCPI_RAW, MDNS_LXI, MDNS_SERVICES };

#define VX_MDNS_MAX_INSTANCES 64
#define VX_MDNS_MAX_HOSTS 32
#define VX_MDNS_FIELD_SIZE 32
// A resource name of an entry: "TCPIP0::[" an IPv6 literal with its zone
// "]::hislip0,65535::INSTR" at the longest.
#define VX_MDNS_ADDRESS_SIZE 112

struct MdnsInstance {
  DnsName name;
  int service;
  int card;  // the card whose query its PTR answered
  bool haveSrv, haveTxt;
  uint16_t port;
  DnsName target;
  char model[VX_MDNS_FIELD_SIZE], serial[VX_MDNS_FIELD_SIZE];
  // Without TXT keys (its own or its host's _lxi instance's): what its
  // "*IDN?" answered, asked once.
  bool identifyAsked;
  char idnModel[VX_MDNS_FIELD_SIZE], idnSerial[VX_MDNS_FIELD_SIZE];
  uint32_t askedAt;  // ms into the search of the last question for it
  int asks;
};

struct MdnsHost {
  DnsName name;
  int card;
  bool haveAddr;
  uint32_t addr;  // network order, within the card's subnet
  // An IPv6 address within a prefix of the card, used when no IPv4 one
  // comes; a link-local one is named with the card's zone.
  bool haveAddr6, linkLocal6;
  uint8_t addr6[16];
  uint32_t askedAt;
  int asks;
};

struct MdnsState {
  uint16_t id;  // of every query; answers must carry it
  DnsName services[MDNS_SERVICES];
  vxp_card cards[16];
  int cardCount;
  MdnsInstance instances[VX_MDNS_MAX_INSTANCES];
  int instanceCount;
  MdnsHost hosts[VX_MDNS_MAX_HOSTS];
  int hostCount;
};

// Empties the state for a search with query id `id` over these cards.
void vx_mdns_begin(MdnsState* s, uint16_t id, const vxp_card* cards, int cardCount);

// Takes one datagram from `from` (network order) that answers a query sent
// by card `card`: nothing unless it is a response to our id from that
// card's subnet. Records naming an instance or host already known by that
// card fill in what is missing (an address only within the card's subnet);
// a PTR to a new instance adds it. A malformed record ends the reading of
// that message, keeping what came before.
void vx_mdns_take_answer(MdnsState* s, const uint8_t* msg, size_t size, uint32_t from, int card);

// The next query due at `nowMs`: SRV and TXT of an instance missing them,
// or A of a host (and AAAA when its card has IPv6), each asked again `reaskMs` after its last question and
// at most `maxAsks` times. Writes it into buf and returns its size (0 when
// nothing is due); *card is the card to send it by.
size_t vx_mdns_next_query(MdnsState* s, uint32_t nowMs, uint32_t reaskMs, int maxAsks, uint8_t* buf, size_t capacity,
                          int* card);

// The PTR query for one service type.
size_t vx_mdns_service_query(const MdnsState* s, int service, uint8_t* buf, size_t capacity);

// The next instance to ask "*IDN?": one with a route and an address whose
// TXT came without Model and SerialNumber (nor has its host's _lxi
// instance them). Marks it asked, writes its resource name into address
// and returns its index; -1 when none is waiting.
int vx_mdns_next_identify(MdnsState* s, char* address, size_t size);
// Takes the identification line of instance `index`: model and serial are
// its second and third comma-separated fields.
void vx_mdns_identified(MdnsState* s, int index, const char* reply);

// Appends an entry for every instance with an address and route, each
// address once; model and serial from its TXT, else its host's _lxi TXT,
// else its "*IDN?". VI_SUCCESS_MAX_CNT when one did not fit.
ViStatus vx_mdns_list(const MdnsState* s, char* text, int capacity, int* length);

#endif
