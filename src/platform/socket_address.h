// Platform layer, shared by posix/ and win/ (each includes its own socket
// headers first): a vxp_address into a socket address, and a host name's
// address out of the system's lookup. The socket structures are the same
// on both; only their headers differ.
#ifndef VX_PLATFORM_SOCKET_ADDRESS_H
#define VX_PLATFORM_SOCKET_ADDRESS_H

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "platform/net.h"

// The socket address of `a` with `port`; its length in *len.
inline struct sockaddr_storage vxp_sockaddr_of(const vxp_address& a, uint16_t port, size_t* len) {
  struct sockaddr_storage ss;
  memset(&ss, 0, sizeof ss);
  if (a.family == 6) {
    struct sockaddr_in6* sa = reinterpret_cast<struct sockaddr_in6*>(&ss);
    sa->sin6_family = AF_INET6;
    sa->sin6_port = htons(port);
    memcpy(&sa->sin6_addr, a.bytes, 16);
    sa->sin6_scope_id = a.scope;
    *len = sizeof *sa;
  } else {
    struct sockaddr_in* sa = reinterpret_cast<struct sockaddr_in*>(&ss);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(port);
    memcpy(&sa->sin_addr, a.bytes, 4);
    *len = sizeof *sa;
  }
  return ss;
}

// The address and port (host order) of a socket address of either
// family; false for any other family.
inline bool vxp_address_from(const struct sockaddr_storage& ss, vxp_address* out, uint16_t* port) {
  if (ss.ss_family == AF_INET) {
    struct sockaddr_in sa;
    memcpy(&sa, &ss, sizeof sa);
    *out = vxp_address{4, {0}, 0};
    memcpy(out->bytes, &sa.sin_addr, 4);
    *port = ntohs(sa.sin_port);
    return true;
  }
  if (ss.ss_family == AF_INET6) {
    struct sockaddr_in6 sa;
    memcpy(&sa, &ss, sizeof sa);
    *out = vxp_address{6, {0}, (uint32_t)sa.sin6_scope_id};
    memcpy(out->bytes, &sa.sin6_addr, 16);
    *port = ntohs(sa.sin6_port);
    return true;
  }
  return false;
}

// The first IPv4 address of `host`, or its first IPv6 one when it has no
// IPv4 address (a name with both is reached over IPv4, as the searches
// are). Text holding a ':' is an IPv6 literal, never looked up as a name.
// Blocks as long as the system's lookup does.
inline bool vxp_lookup_first(const char* host, vxp_address* out) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  if (strchr(host, ':')) hints.ai_flags = AI_NUMERICHOST;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return false;
  bool ok = false;
  for (int family : {AF_INET, AF_INET6}) {
    for (struct addrinfo* a = found; a && !ok; a = a->ai_next) {
      if (a->ai_family != family) continue;
      if (family == AF_INET && a->ai_addrlen >= sizeof(struct sockaddr_in)) {
        struct sockaddr_in sa;
        memcpy(&sa, a->ai_addr, sizeof sa);
        *out = vxp_address{4, {0}, 0};
        memcpy(out->bytes, &sa.sin_addr, 4);
        ok = true;
      } else if (family == AF_INET6 && a->ai_addrlen >= sizeof(struct sockaddr_in6)) {
        struct sockaddr_in6 sa;
        memcpy(&sa, a->ai_addr, sizeof sa);
        *out = vxp_address{6, {0}, (uint32_t)sa.sin6_scope_id};
        memcpy(out->bytes, &sa.sin6_addr, 16);
        ok = true;
      }
    }
  }
  freeaddrinfo(found);
  return ok;
}

#endif
