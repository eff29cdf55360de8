// POSIX side of the platform layer: multicast cards and sending.
#include "platform/multicast.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <cstdio>
#include <cstring>

namespace {

bool usable(const struct ifaddrs* a, int family) {
  const unsigned flags = a->ifa_flags;
  if (!(flags & IFF_UP) || !(flags & IFF_MULTICAST) || (flags & (IFF_LOOPBACK | IFF_POINTOPOINT))) return false;
  return a->ifa_addr && a->ifa_addr->sa_family == family && a->ifa_netmask &&
         a->ifa_netmask->sa_family == family && a->ifa_name;
}

uint8_t prefix_of(const uint8_t mask[16]) {
  uint8_t n = 0;
  for (int i = 0; i < 16 && mask[i] == 0xFF; ++i) n = (uint8_t)(n + 8);
  if (n < 128) {
    for (uint8_t b = mask[n / 8]; b & 0x80; b = (uint8_t)(b << 1)) ++n;
  }
  return n;
}

}  // namespace

int vxp_multicast_cards(vxp_card* out, int capacity) {
  if (!out || capacity <= 0) return 0;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  int n = 0;
  for (struct ifaddrs* a = list; a && n < capacity; a = a->ifa_next) {
    if (!usable(a, AF_INET)) continue;
    struct sockaddr_in host, mask;
    memcpy(&host, a->ifa_addr, sizeof host);
    memcpy(&mask, a->ifa_netmask, sizeof mask);
    bool seen = false;
    for (int i = 0; i < n; ++i) seen = seen || out[i].addr == host.sin_addr.s_addr;
    if (seen) continue;
    vxp_card& c = out[n++];
    memset(&c, 0, sizeof c);
    c.addr = host.sin_addr.s_addr;
    c.mask = mask.sin_addr.s_addr;
    snprintf(c.zone, sizeof c.zone, "%s", a->ifa_name);
    // A name cut to fit would name another interface, or none.
    const bool zoneWhole = strlen(a->ifa_name) < sizeof c.zone;
    for (struct ifaddrs* b = list; b && zoneWhole && c.v6Count < VXP_CARD_MAX_V6; b = b->ifa_next) {
      if (!usable(b, AF_INET6) || strcmp(b->ifa_name, a->ifa_name) != 0) continue;
      struct sockaddr_in6 six, sixMask;
      memcpy(&six, b->ifa_addr, sizeof six);
      memcpy(&sixMask, b->ifa_netmask, sizeof sixMask);
      vxp_card_v6& v = c.v6[c.v6Count++];
      memcpy(v.addr, &six.sin6_addr, 16);
      v.prefix = prefix_of(reinterpret_cast<const uint8_t*>(&sixMask.sin6_addr));
    }
  }
  freeifaddrs(list);
  return n;
}

bool vxp_set_multicast_card(vxp_socket s, uint32_t cardAddr) {
  struct in_addr card;
  card.s_addr = cardAddr;
  const unsigned char ttl = 255;
  return setsockopt((int)s, IPPROTO_IP, IP_MULTICAST_IF, &card, sizeof card) == 0 &&
         setsockopt((int)s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0;
}
