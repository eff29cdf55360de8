// Platform layer, multicast sending: the IPv4 cards with their masks (and
// the IPv6 prefixes of the same interface), and the card a socket's
// multicast datagrams leave by. posix/multicast.cpp and win/multicast.cpp
// define the same functions.
#ifndef VX_PLATFORM_MULTICAST_H
#define VX_PLATFORM_MULTICAST_H

#include <cstdint>

#include "platform/net.h"

#define VXP_CARD_MAX_V6 4

// An IPv6 address of a card and the length of its on-link prefix.
struct vxp_card_v6 {
  uint8_t addr[16];
  uint8_t prefix;
};

// One IPv4 card: its address and subnet mask, both in network order; the
// IPv6 addresses of the same interface (at most VXP_CARD_MAX_V6, link-local
// ones included) and the zone that names the interface in an IPv6 literal
// ("eth0" on POSIX, the interface index on Windows).
struct vxp_card {
  uint32_t addr;
  uint32_t mask;
  int v6Count;
  vxp_card_v6 v6[VXP_CARD_MAX_V6];
  char zone[16];
};

// The IPv4 addresses of the cards that are up and can multicast, loopback
// and point-to-point links left out: at most `capacity`, each once.
// Returns how many were written; 0 when there are none or the OS cannot
// list them.
int vxp_multicast_cards(vxp_card* out, int capacity);

// Multicast datagrams sent on `s` from now on leave by the card with
// address `cardAddr` (network order), with a hop limit of 255 as link-local
// multicast expects. False when the OS refuses either option.
bool vxp_set_multicast_card(vxp_socket s, uint32_t cardAddr);

#endif
