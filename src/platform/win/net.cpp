// Win32 side of the platform layer: sockets and datagrams.
// Room in an fd_set for every socket vxp_wait_any_readable takes (the
// default is 64); the sets never leave this file.
#define FD_SETSIZE 128
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>
#include <iphlpapi.h>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "platform/net.h"
#include "platform/socket_address.h"
#include "platform/win/adapters.h"

// The clean-up that takes the count to zero closes every socket of the
// process. Unserialised, it can overlap another thread's start-up and close
// the socket that thread creates right after (a link opened while a search
// or another link ends). One lock makes the two steps take turns.
static SRWLOCK g_net_lock = SRWLOCK_INIT;

bool vxp_net_startup() {
  WSADATA data;
  AcquireSRWLockExclusive(&g_net_lock);
  bool ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  ReleaseSRWLockExclusive(&g_net_lock);
  return ok;
}

void vxp_net_cleanup() {
  AcquireSRWLockExclusive(&g_net_lock);
  WSACleanup();
  ReleaseSRWLockExclusive(&g_net_lock);
}

static vxp_socket make_socket(int family, int type, int proto) {
  // Not inheritable, like SOCK_CLOEXEC on the POSIX side: a child process
  // started by the host must not keep an instrument connection open.
  SOCKET s = WSASocketW(family, type, proto, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    // Systems older than Windows 7 SP1 reject the flag.
    s = WSASocketW(family, type, proto, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s != INVALID_SOCKET) SetHandleInformation((HANDLE)s, HANDLE_FLAG_INHERIT, 0);
  }
  return s == INVALID_SOCKET ? VXP_BAD_SOCKET : (vxp_socket)s;
}

vxp_socket vxp_tcp_socket() { return make_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }

vxp_socket vxp_udp_socket() {
  vxp_socket s = make_socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s != VXP_BAD_SOCKET) {
    // Windows reports an ICMP "port unreachable" for an earlier sendto as a
    // WSAECONNRESET on the next recvfrom; Linux does not on an unconnected
    // socket. Turning that off keeps a discovery loop from failing because
    // one address did not answer. Failure is harmless, so it is ignored.
    BOOL report = FALSE;
    DWORD bytes = 0;
    WSAIoctl((SOCKET)s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &bytes, nullptr, nullptr);
  }
  return s;
}

int vxp_socket_close(vxp_socket s) { return closesocket((SOCKET)s) == 0 ? 0 : -1; }

uint32_t vxp_inet_addr(const char* text) {
  // inet_addr(NULL) is INADDR_NONE on Windows already; say so explicitly.
  return text ? (uint32_t)inet_addr(text) : (uint32_t)INADDR_NONE;
}

// shutdown() alone does not always wake a thread already blocked in recv()
// or send() on Windows; those calls wait on I/O that CancelIoEx ends for
// every thread of the process. The handle stays valid for the close.
void vxp_socket_interrupt(vxp_socket s) {
  shutdown((SOCKET)s, SD_BOTH);
  CancelIoEx(reinterpret_cast<HANDLE>((SOCKET)s), nullptr);
}

bool vxp_inet_text(uint32_t addr, char* out, size_t outSize) {
  // Formatted by hand so that the result, and the refusal of a short buffer,
  // do not depend on the Windows version's inet_ntop.
  if (!out || outSize > (size_t)INT_MAX) return false;
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&addr);
  char text[16];
  int n = snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  if (n < 0 || (size_t)n + 1 > outSize) return false;
  memcpy(out, text, (size_t)n + 1);
  return true;
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
  return connect((SOCKET)s, (struct sockaddr*)&sa, (int)sizeof sa) == 0;
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
  const int saLen = (int)addrLen;
  SOCKET sock = (SOCKET)s;
  if (ms == 0) return connect(sock, (struct sockaddr*)&sa, saLen) == 0 ? VXP_CONNECTED : VXP_CONNECT_FAILED;
  u_long nonBlocking = 1;
  if (ioctlsocket(sock, FIONBIO, &nonBlocking) != 0) return VXP_CONNECT_FAILED;
  vxp_connect_result result = VXP_CONNECTED;
  if (connect(sock, (struct sockaddr*)&sa, saLen) != 0) {
    result = VXP_CONNECT_FAILED;
    if (WSAGetLastError() == WSAEWOULDBLOCK) {
      // Success shows as writable, a refusal in the exception set.
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(sock, &writable);
      FD_SET(sock, &failed);
      struct timeval tv;
      tv.tv_sec = (long)(ms / 1000u);
      tv.tv_usec = (long)((ms % 1000u) * 1000u);
      int rc = select(0, nullptr, &writable, &failed, &tv);
      if (rc == 0) {
        result = VXP_CONNECT_TIMED_OUT;
      } else if (rc > 0 && FD_ISSET(sock, &writable) && !FD_ISSET(sock, &failed)) {
        int err = 0;
        int len = (int)sizeof err;
        bool ok = getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0 && err == 0;
        result = ok ? VXP_CONNECTED : VXP_CONNECT_FAILED;
      }
    }
  }
  u_long blocking = 0;
  if (ioctlsocket(sock, FIONBIO, &blocking) != 0) result = VXP_CONNECT_FAILED;
  return result;
}

bool vxp_bind(vxp_socket s, uint32_t addr, uint16_t port) {
  struct sockaddr_in sa = make_addr(addr, port);
  return bind((SOCKET)s, (struct sockaddr*)&sa, (int)sizeof sa) == 0;
}

static bool set_opt(vxp_socket s, int level, int name, const void* value, int size) {
  return setsockopt((SOCKET)s, level, name, static_cast<const char*>(value), size) == 0;
}

bool vxp_set_nodelay(vxp_socket s) {
  BOOL on = TRUE;
  return set_opt(s, IPPROTO_TCP, TCP_NODELAY, &on, (int)sizeof on);
}

bool vxp_set_broadcast(vxp_socket s) {
  BOOL on = TRUE;
  return set_opt(s, SOL_SOCKET, SO_BROADCAST, &on, (int)sizeof on);
}

// Winsock takes the timeouts as a DWORD of milliseconds, 0 meaning no limit.
bool vxp_set_recv_timeout(vxp_socket s, uint32_t ms) {
  DWORD v = ms;
  return set_opt(s, SOL_SOCKET, SO_RCVTIMEO, &v, (int)sizeof v);
}

bool vxp_set_send_timeout(vxp_socket s, uint32_t ms) {
  DWORD v = ms;
  return set_opt(s, SOL_SOCKET, SO_SNDTIMEO, &v, (int)sizeof v);
}

// Winsock lengths are int. A stream call may move fewer bytes than asked,
// and callers loop anyway, so a larger request is simply cut to INT_MAX.
static int clamp_len(size_t len) { return len > (size_t)INT_MAX ? INT_MAX : (int)len; }

int64_t vxp_send(vxp_socket s, const void* buf, size_t len) {
  // Windows has no SIGPIPE, so nothing needs suppressing here.
  int n = send((SOCKET)s, static_cast<const char*>(buf), clamp_len(len), 0);
  return n == SOCKET_ERROR ? -1 : (int64_t)n;
}

int64_t vxp_recv(vxp_socket s, void* buf, size_t len) {
  int n = recv((SOCKET)s, static_cast<char*>(buf), clamp_len(len), 0);
  return n == SOCKET_ERROR ? -1 : (int64_t)n;
}

int vxp_wait_readable(vxp_socket s, uint32_t ms) {
  // A Windows fd_set is a list of handles, not a bitmap, so any socket fits.
  fd_set readSet;
  FD_ZERO(&readSet);
  FD_SET((SOCKET)s, &readSet);
  struct timeval tv;
  tv.tv_sec = (long)(ms / 1000u);
  tv.tv_usec = (long)((ms % 1000u) * 1000u);
  int rc = select(0, &readSet, nullptr, nullptr, &tv);
  if (rc == SOCKET_ERROR) return -1;
  return rc == 0 ? 0 : 1;  // a closed or failed connection also reads as ready
}

int vxp_wait_any_readable(const vxp_socket* s, int count, uint32_t ms, bool* ready) {
  if (count <= 0 || count > VXP_WAIT_MAX || count > FD_SETSIZE) return -1;
  fd_set readSet;
  FD_ZERO(&readSet);
  for (int i = 0; i < count; ++i) FD_SET((SOCKET)s[i], &readSet);
  struct timeval tv;
  tv.tv_sec = (long)(ms / 1000u);
  tv.tv_usec = (long)((ms % 1000u) * 1000u);
  const int rc = select(0, &readSet, nullptr, nullptr, &tv);
  if (rc == SOCKET_ERROR) return -1;
  for (int i = 0; i < count; ++i) ready[i] = FD_ISSET((SOCKET)s[i], &readSet) != 0;
  return rc == 0 ? 0 : 1;
}

int64_t vxp_sendto(vxp_socket s, const void* buf, size_t len, uint32_t addr, uint16_t port) {
  // A datagram cannot be cut like a stream write; one this long would be
  // refused by the stack anyway.
  if (len > (size_t)INT_MAX) return -1;
  struct sockaddr_in sa = make_addr(addr, port);
  int n = sendto((SOCKET)s, static_cast<const char*>(buf), (int)len, 0, (struct sockaddr*)&sa, (int)sizeof sa);
  return n == SOCKET_ERROR ? -1 : (int64_t)n;
}

int64_t vxp_recvfrom(vxp_socket s, void* buf, size_t len, uint32_t* fromAddr) {
  return vxp_recvfrom_port(s, buf, len, fromAddr, nullptr);
}

int64_t vxp_recvfrom_port(vxp_socket s, void* buf, size_t len, uint32_t* fromAddr, uint16_t* fromPort) {
  struct sockaddr_in sa;
  int saLen = (int)sizeof sa;
  memset(&sa, 0, sizeof sa);
  // A datagram longer than the buffer fails with WSAEMSGSIZE and its rest is
  // discarded, which is the behaviour the POSIX side reproduces.
  int n = recvfrom((SOCKET)s, static_cast<char*>(buf), clamp_len(len), 0, (struct sockaddr*)&sa, &saLen);
  if (n == SOCKET_ERROR) return -1;
  if (fromAddr) *fromAddr = sa.sin_addr.s_addr;
  if (fromPort) *fromPort = ntohs(sa.sin_port);
  return (int64_t)n;
}

int vxp_last_socket_error() { return WSAGetLastError(); }
bool vxp_socket_error_is_invalid_argument(int err) { return err == WSAEINVAL; }
bool vxp_socket_error_is_timeout(int err) { return err == WSAETIMEDOUT || err == WSAEWOULDBLOCK; }

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
  IP_ADAPTER_ADDRESSES* list = vxp_win_adapters(AF_INET);
  int n = 0;
  for (IP_ADAPTER_ADDRESSES* a = list; a; a = a->Next) {
    if (a->OperStatus != IfOperStatusUp) continue;
    if (a->IfType == IF_TYPE_SOFTWARE_LOOPBACK || a->IfType == IF_TYPE_PPP || a->IfType == IF_TYPE_TUNNEL) continue;
    for (IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u; u = u->Next) {
      const SOCKADDR* sa = u->Address.lpSockaddr;
      if (!sa || sa->sa_family != AF_INET || u->OnLinkPrefixLength > 30) continue;
      struct sockaddr_in in;
      memcpy(&in, sa, sizeof in);
      const uint32_t host = ntohl(in.sin_addr.s_addr);
      const uint32_t hostBits = u->OnLinkPrefixLength == 0 ? 0xFFFFFFFFu : (0xFFFFFFFFu >> u->OnLinkPrefixLength);
      n = add_unique(out, n, capacity, htonl(host | hostBits));
    }
  }
  free(list);
  return n;
}
