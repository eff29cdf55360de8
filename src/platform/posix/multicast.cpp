// POSIX side of the platform layer: multicast cards and sending.
#include "platform/multicast.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <cstring>

int vxp_multicast_cards(vxp_card* out, int capacity) {
  if (!out || capacity <= 0) return 0;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  int n = 0;
  for (struct ifaddrs* a = list; a && n < capacity; a = a->ifa_next) {
    const unsigned flags = a->ifa_flags;
    if (!(flags & IFF_UP) || !(flags & IFF_MULTICAST) || (flags & (IFF_LOOPBACK | IFF_POINTOPOINT))) continue;
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    if (!a->ifa_netmask || a->ifa_netmask->sa_family != AF_INET) continue;
    struct sockaddr_in host, mask;
    memcpy(&host, a->ifa_addr, sizeof host);
    memcpy(&mask, a->ifa_netmask, sizeof mask);
    bool seen = false;
    for (int i = 0; i < n; ++i) seen = seen || out[i].addr == host.sin_addr.s_addr;
    if (!seen) out[n++] = vxp_card{host.sin_addr.s_addr, mask.sin_addr.s_addr};
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
