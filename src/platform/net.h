// Platform layer, sockets and datagrams. posix/net.cpp and win/net.cpp define
// the same functions and the build picks one; nothing above platform/ knows
// which.
#ifndef VX_PLATFORM_NET_H
#define VX_PLATFORM_NET_H

#include <cstddef>
#include <cstdint>

// A socket handle widened to pointer size (a Windows SOCKET is a UINT_PTR).
typedef intptr_t vxp_socket;
#define VXP_BAD_SOCKET ((vxp_socket)-1)

// Per-user start-up and clean-up of the socket library, counted by the OS
// on Windows (WSAStartup 2.2 / WSACleanup) and a no-op elsewhere.
bool vxp_net_startup();
void vxp_net_cleanup();

vxp_socket vxp_tcp_socket();
vxp_socket vxp_udp_socket();
// 0 on success, -1 when the OS reports the close as failed.
int vxp_socket_close(vxp_socket s);
// Ends the connection without releasing the handle: a send or receive
// blocked on the socket in another thread returns at once, and every later
// one fails. Safe to call while other threads use the socket.
void vxp_socket_interrupt(vxp_socket s);

// Dotted-quad text to an IPv4 address in network byte order, with the
// semantics of inet_addr(): no name lookup, INADDR_NONE for bad text.
uint32_t vxp_inet_addr(const char* text);
// Network-order IPv4 address to dotted text; false if out is too small.
bool vxp_inet_text(uint32_t addr, char* out, size_t outSize);

// Blocking connect without a time limit of its own; addr in network order,
// port in host order.
bool vxp_tcp_connect(vxp_socket s, uint32_t addr, uint16_t port);

// The same connect waiting at most `ms` milliseconds for the peer (0: no
// limit of its own, as above). An unreachable host answers nothing, and an
// unbounded connect would wait for the OS's own retries (minutes). The
// socket is blocking again afterwards.
enum vxp_connect_result { VXP_CONNECTED, VXP_CONNECT_FAILED, VXP_CONNECT_TIMED_OUT };
vxp_connect_result vxp_tcp_connect_within(vxp_socket s, uint32_t addr, uint16_t port, uint32_t ms);

// An IP address of either family, as a host lookup gives it.
struct vxp_address {
  uint8_t family;     // 4 or 6
  uint8_t bytes[16];  // network order; IPv4 in the first four
  uint32_t scope;     // IPv6 zone (interface index), 0 when none
};

inline vxp_address vxp_address_v4(uint32_t addr) {
  vxp_address a = {4, {0}, 0};
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&addr);
  for (int i = 0; i < 4; ++i) a.bytes[i] = b[i];
  return a;
}

// A TCP socket of the address's family, and vxp_tcp_connect_within to an
// address of either family (the socket must be of its family).
vxp_socket vxp_tcp_socket_for(const vxp_address& a);
vxp_connect_result vxp_tcp_connect_to(vxp_socket s, const vxp_address& a, uint16_t port, uint32_t ms);

bool vxp_set_nodelay(vxp_socket s);
bool vxp_set_broadcast(vxp_socket s);
// Timeouts in milliseconds; 0 means no limit, as on both platforms.
bool vxp_set_recv_timeout(vxp_socket s, uint32_t ms);
bool vxp_set_send_timeout(vxp_socket s, uint32_t ms);

// One send call; never raises SIGPIPE. Returns the bytes sent or -1.
int64_t vxp_send(vxp_socket s, const void* buf, size_t len);
// One receive call. Returns bytes received, 0 when the peer closed, -1 on
// error or timeout.
int64_t vxp_recv(vxp_socket s, void* buf, size_t len);

// Waits up to ms for the socket to become readable (0: poll without
// waiting). Returns 1 when readable, 0 when not, -1 when the poll failed.
int vxp_wait_readable(vxp_socket s, uint32_t ms);
// The same over `count` sockets (at most VXP_WAIT_MAX): ready[i] tells which have
// something to read; 1 when any has, 0 after ms with none, -1 on failure.
#define VXP_WAIT_MAX 128
int vxp_wait_any_readable(const vxp_socket* s, int count, uint32_t ms, bool* ready);

// Datagrams. sendto returns the bytes sent or -1. recvfrom returns the
// datagram's length, or -1 on error, timeout, or a datagram longer than
// len (cut datagrams are an error on every platform); *fromAddr receives the
// sender's IPv4 address in network order.
int64_t vxp_sendto(vxp_socket s, const void* buf, size_t len, uint32_t addr, uint16_t port);
int64_t vxp_recvfrom(vxp_socket s, void* buf, size_t len, uint32_t* fromAddr);
// The same, also giving the sender's port (host order) for a reply.
int64_t vxp_recvfrom_port(vxp_socket s, void* buf, size_t len, uint32_t* fromAddr, uint16_t* fromPort);
// addr in network order, port in host order.
bool vxp_bind(vxp_socket s, uint32_t addr, uint16_t port);

// The directed broadcast addresses (network order) of the IPv4 interfaces
// that are up and can broadcast, loopback and point-to-point links left
// out: at most `capacity`, each once, 255.255.255.255 never. Returns how
// many were written; 0 when there are none or the OS cannot list them.
int vxp_broadcast_addresses(uint32_t* out, int capacity);

int vxp_last_socket_error();
// True when err (a vxp_last_socket_error value) is the "invalid argument"
// error of this platform's socket calls (WSAEINVAL, EINVAL).
bool vxp_socket_error_is_invalid_argument(int err);
// True when err is what a receive or send reports when its timeout
// (vxp_set_recv_timeout, vxp_set_send_timeout) ran out (EAGAIN or
// EWOULDBLOCK; WSAETIMEDOUT), as against a connection that failed.
bool vxp_socket_error_is_timeout(int err);

#endif
