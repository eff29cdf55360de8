// POSIX side of the platform layer: sockets and datagrams.
#include "platform/net.h"

#include <arpa/inet.h>
#include <limits.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <cstring>

#include "platform/clock.h"
#include "platform/socket_address.h"

bool vxp_net_startup() { return true; }
void vxp_net_cleanup() {}

static vxp_socket make_socket(int family, int type, int proto) {
  int fd = socket(family, type | SOCK_CLOEXEC, proto);
  return fd < 0 ? VXP_BAD_SOCKET : (vxp_socket)fd;
}

vxp_socket vxp_tcp_socket() { return make_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }
vxp_socket vxp_udp_socket() { return make_socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP); }

int vxp_socket_close(vxp_socket s) { return close((int)s) == 0 ? 0 : -1; }

// shutdown() wakes a thread blocked in recv() (it sees the end of the
// stream) or in send() (EPIPE) and leaves the descriptor valid, so the
// number cannot be reused under those threads.
void vxp_socket_interrupt(vxp_socket s) { shutdown((int)s, SHUT_RDWR); }

uint32_t vxp_inet_addr(const char* text) { return (uint32_t)inet_addr(text); }

bool vxp_inet_text(uint32_t addr, char* out, size_t outSize) {
  struct in_addr a;
  a.s_addr = addr;
  return outSize <= (size_t)INT_MAX && inet_ntop(AF_INET, &a, out, (socklen_t)outSize) != nullptr;
}

static struct sockaddr_in make_addr(uint32_t addr, uint16_t port) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addr;
  return sa;
}

bool vxp_tcp_connect(vxp_socket s, uint32_t addr, uint16_t port) {
  struct sockaddr_in sa = make_addr(addr, port);
  int rc;
  do {
    rc = connect((int)s, (struct sockaddr*)&sa, sizeof sa);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

vxp_socket vxp_tcp_socket_for(const vxp_address& a) {
  return make_socket(a.family == 6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

vxp_connect_result vxp_tcp_connect_within(vxp_socket s, uint32_t addr, uint16_t port, uint32_t ms) {
  return vxp_tcp_connect_to(s, vxp_address_v4(addr), port, ms);
}

vxp_connect_result vxp_tcp_connect_to(vxp_socket s, const vxp_address& a, uint16_t port, uint32_t ms) {
  size_t addrLen = 0;
  struct sockaddr_storage sa = vxp_sockaddr_of(a, port, &addrLen);
  const socklen_t saLen = (socklen_t)addrLen;
  int fd = (int)s;
  if (ms == 0) {
    int rc;
    do {
      rc = connect(fd, (struct sockaddr*)&sa, saLen);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? VXP_CONNECTED : VXP_CONNECT_FAILED;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return VXP_CONNECT_FAILED;
  vxp_connect_result result = VXP_CONNECTED;
  if (connect(fd, (struct sockaddr*)&sa, saLen) != 0) {
    result = VXP_CONNECT_FAILED;
    if (errno == EINPROGRESS || errno == EINTR) {
      // A signal must not restart the whole wait: poll for what is left.
      const uint32_t start = vxp_tick_ms();
      result = VXP_CONNECT_TIMED_OUT;
      for (;;) {
        uint32_t spent = vxp_tick_ms() - start;
        if (spent >= ms) break;
        uint32_t left = ms - spent;
        struct pollfd p;
        p.fd = fd;
        p.events = POLLOUT;
        p.revents = 0;
        int rc = poll(&p, 1, left > (uint32_t)INT_MAX ? INT_MAX : (int)left);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) {
          if (rc < 0) result = VXP_CONNECT_FAILED;
          break;
        }
        int err = 0;
        socklen_t len = sizeof err;
        bool ok = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        result = ok ? VXP_CONNECTED : VXP_CONNECT_FAILED;
        break;
      }
    }
  }
  if (fcntl(fd, F_SETFL, flags) != 0) result = VXP_CONNECT_FAILED;
  return result;
}

bool vxp_bind(vxp_socket s, uint32_t addr, uint16_t port) {
  struct sockaddr_in sa = make_addr(addr, port);
  return bind((int)s, (struct sockaddr*)&sa, sizeof sa) == 0;
}

static bool set_int_opt(vxp_socket s, int level, int name, int value) {
  return setsockopt((int)s, level, name, &value, sizeof value) == 0;
}

bool vxp_set_nodelay(vxp_socket s) { return set_int_opt(s, IPPROTO_TCP, TCP_NODELAY, 1); }
bool vxp_set_broadcast(vxp_socket s) { return set_int_opt(s, SOL_SOCKET, SO_BROADCAST, 1); }

// The value is unsigned milliseconds as on Windows, so every 32-bit input
// has the same meaning on both platforms (0: no limit).
static bool set_time_opt(vxp_socket s, int name, uint32_t ms) {
  struct timeval tv;
  tv.tv_sec = (time_t)(ms / 1000u);
  tv.tv_usec = (suseconds_t)((ms % 1000u) * 1000u);
  return setsockopt((int)s, SOL_SOCKET, name, &tv, sizeof tv) == 0;
}

bool vxp_set_recv_timeout(vxp_socket s, uint32_t ms) { return set_time_opt(s, SO_RCVTIMEO, ms); }
bool vxp_set_send_timeout(vxp_socket s, uint32_t ms) { return set_time_opt(s, SO_SNDTIMEO, ms); }

int64_t vxp_send(vxp_socket s, const void* buf, size_t len) {
  ssize_t n;
  do {
    // A peer that has gone must not kill the host with SIGPIPE.
    n = send((int)s, buf, len, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : (int64_t)n;
}

int64_t vxp_recv(vxp_socket s, void* buf, size_t len) {
  ssize_t n;
  do {
    n = recv((int)s, buf, len, 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : (int64_t)n;
}

int vxp_wait_readable(vxp_socket s, uint32_t ms) {
  struct pollfd p;
  p.fd = (int)s;
  p.events = POLLIN;
  p.revents = 0;
  int timeout = ms > (uint32_t)INT_MAX ? INT_MAX : (int)ms;
  int rc = poll(&p, 1, timeout);
  if (rc < 0) return errno == EINTR ? 0 : -1;
  if (rc == 0) return 0;
  if (p.revents & POLLNVAL) return -1;
  return 1;  // POLLIN, or POLLHUP/POLLERR, which a receive then reports
}

int vxp_wait_any_readable(const vxp_socket* s, int count, uint32_t ms, bool* ready) {
  if (count <= 0 || count > VXP_WAIT_MAX) return -1;
  struct pollfd p[VXP_WAIT_MAX];
  for (int i = 0; i < count; ++i) {
    p[i].fd = (int)s[i];
    p[i].events = POLLIN;
    p[i].revents = 0;
    ready[i] = false;
  }
  const int timeout = ms > (uint32_t)INT_MAX ? INT_MAX : (int)ms;
  const int rc = poll(p, (nfds_t)count, timeout);
  if (rc < 0) return errno == EINTR ? 0 : -1;
  if (rc == 0) return 0;
  for (int i = 0; i < count; ++i) {
    if (p[i].revents & POLLNVAL) return -1;
    ready[i] = p[i].revents != 0;
  }
  return 1;
}

int64_t vxp_sendto(vxp_socket s, const void* buf, size_t len, uint32_t addr, uint16_t port) {
  struct sockaddr_in sa = make_addr(addr, port);
  ssize_t n = sendto((int)s, buf, len, MSG_NOSIGNAL, (struct sockaddr*)&sa, sizeof sa);
  return n < 0 ? -1 : (int64_t)n;
}

int64_t vxp_recvfrom(vxp_socket s, void* buf, size_t len, uint32_t* fromAddr) {
  return vxp_recvfrom_port(s, buf, len, fromAddr, nullptr);
}

int64_t vxp_recvfrom_port(vxp_socket s, void* buf, size_t len, uint32_t* fromAddr, uint16_t* fromPort) {
  struct sockaddr_in sa;
  socklen_t saLen = sizeof sa;
  memset(&sa, 0, sizeof sa);
  // MSG_TRUNC makes Linux report the datagram's real length, so a datagram
  // longer than the buffer is refused here as Windows refuses it.
  ssize_t n = recvfrom((int)s, buf, len, MSG_TRUNC, (struct sockaddr*)&sa, &saLen);
  if (n < 0 || (size_t)n > len) return -1;
  if (fromAddr) *fromAddr = sa.sin_addr.s_addr;
  if (fromPort) *fromPort = ntohs(sa.sin_port);
  return (int64_t)n;
}

int vxp_last_socket_error() { return errno; }
bool vxp_socket_error_is_invalid_argument(int err) { return err == EINVAL; }
bool vxp_socket_error_is_timeout(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// Adds addr (network order) to out unless it is there already or out is full.
static int add_unique(uint32_t* out, int n, int capacity, uint32_t addr) {
  if (addr == 0xFFFFFFFFu || addr == 0 || n >= capacity) return n;
  for (int i = 0; i < n; ++i)
    if (out[i] == addr) return n;
  out[n] = addr;
  return n + 1;
}

int vxp_broadcast_addresses(uint32_t* out, int capacity) {
  if (!out || capacity <= 0) return 0;
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  int n = 0;
  for (struct ifaddrs* a = list; a; a = a->ifa_next) {
    const unsigned flags = a->ifa_flags;
    if (!(flags & IFF_UP) || !(flags & IFF_BROADCAST) || (flags & (IFF_LOOPBACK | IFF_POINTOPOINT))) continue;
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    // The subnet's broadcast address, from the address and its mask: the
    // one getifaddrs reports is the interface's own address when none was
    // configured ("ip addr add" without "brd +").
    if (!a->ifa_netmask || a->ifa_netmask->sa_family != AF_INET) continue;
    struct sockaddr_in host, mask;
    memcpy(&host, a->ifa_addr, sizeof host);
    memcpy(&mask, a->ifa_netmask, sizeof mask);
    if (ntohl(mask.sin_addr.s_addr) >= 0xFFFFFFFEu) continue;  // /31 and /32 have none
    const uint32_t broadcast = host.sin_addr.s_addr | ~mask.sin_addr.s_addr;
    n = add_unique(out, n, capacity, broadcast);
  }
  freeifaddrs(list);
  return n;
}
