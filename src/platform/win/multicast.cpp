// Win32 side of the platform layer: multicast cards and sending.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/multicast.h"
#include "platform/win/adapters.h"

int vxp_multicast_cards(vxp_card* out, int capacity) {
  if (!out || capacity <= 0) return 0;
  IP_ADAPTER_ADDRESSES* list = vxp_win_adapters(AF_UNSPEC);
  int n = 0;
  for (IP_ADAPTER_ADDRESSES* a = list; a && n < capacity; a = a->Next) {
    if (a->OperStatus != IfOperStatusUp || (a->Flags & IP_ADAPTER_NO_MULTICAST)) continue;
    if (a->IfType == IF_TYPE_SOFTWARE_LOOPBACK || a->IfType == IF_TYPE_PPP || a->IfType == IF_TYPE_TUNNEL) continue;
    for (IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u && n < capacity; u = u->Next) {
      const SOCKADDR* sa = u->Address.lpSockaddr;
      if (!sa || sa->sa_family != AF_INET || u->OnLinkPrefixLength > 32) continue;
      struct sockaddr_in in;
      memcpy(&in, sa, sizeof in);
      const uint32_t hostMask =
          u->OnLinkPrefixLength == 0 ? 0u : (0xFFFFFFFFu << (32 - u->OnLinkPrefixLength));
      bool seen = false;
      for (int i = 0; i < n; ++i) seen = seen || out[i].addr == in.sin_addr.s_addr;
      if (seen) continue;
      vxp_card& c = out[n++];
      memset(&c, 0, sizeof c);
      c.addr = in.sin_addr.s_addr;
      c.mask = htonl(hostMask);
      // Windows names the zone of an IPv6 literal by the interface index.
      snprintf(c.zone, sizeof c.zone, "%lu", (unsigned long)(a->Ipv6IfIndex ? a->Ipv6IfIndex : a->IfIndex));
      for (IP_ADAPTER_UNICAST_ADDRESS* w = a->FirstUnicastAddress; w && c.v6Count < VXP_CARD_MAX_V6; w = w->Next) {
        const SOCKADDR* sa6 = w->Address.lpSockaddr;
        if (!sa6 || sa6->sa_family != AF_INET6 || w->OnLinkPrefixLength > 128) continue;
        struct sockaddr_in6 six;
        memcpy(&six, sa6, sizeof six);
        vxp_card_v6& v = c.v6[c.v6Count++];
        memcpy(v.addr, &six.sin6_addr, 16);
        v.prefix = (uint8_t)w->OnLinkPrefixLength;
      }
    }
  }
  free(list);
  return n;
}

bool vxp_set_multicast_card(vxp_socket s, uint32_t cardAddr) {
  // Winsock takes the card's address as a DWORD here, in network order.
  DWORD card = cardAddr;
  DWORD ttl = 255;
  return setsockopt((SOCKET)s, IPPROTO_IP, IP_MULTICAST_IF, (const char*)&card, sizeof card) == 0 &&
         setsockopt((SOCKET)s, IPPROTO_IP, IP_MULTICAST_TTL, (const char*)&ttl, sizeof ttl) == 0;
}
