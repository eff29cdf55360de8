// The raw TCP transport: SOCKET names and the instrument port 18, bytes both
// ways with the link timeout on every receive and on each whole write.
#include "transport/tcp/tcp_transport.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <new>

#include "common/ipv4.h"
#include "link/link_table.h"
#include "log/call_log.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "transport/host_address.h"
#include "transport/resource_name.h"

namespace {

const uint16_t kInstrumentPort = 18;
const uint32_t kDefaultTimeoutMs = 1000;
const size_t kClearScratch = 1500;
// Bytes per send: a send that times out on Windows reports nothing of what
// it sent, so the count after a timeout is exact to this much.
const size_t kSendPiece = 256 * 1024;

struct TcpLink {
  // Kept as 32 bits and sign-extended back on every use, so -1 stays -1.
  int32_t socket;
  // Of each receive and of a whole write (0: no limit). Calls on a TCP link
  // take no per-link lock, so a setTmoMs may meet a write on another thread.
  std::atomic<uint32_t> timeoutMs;
};

vxp_socket sock_of(const TcpLink* t) { return (vxp_socket)t->socket; }

// Connects to addr:port within waitMs (0: no limit of its own); `shown`
// names the peer in the log.
int32_t connect_to(const vxp_address& addr, uint16_t port, uint32_t waitMs, const char* shown) {
  vxp_socket s = vxp_tcp_socket_for(addr);
  if (s == VXP_BAD_SOCKET) return -1;
  vxp_connect_result rc = vxp_tcp_connect_to(s, addr, port, waitMs);
  if (rc != VXP_CONNECTED) {
    if (rc == VXP_CONNECT_TIMED_OUT)
      writeLog("vx_comm_open() error: no answer from %s within %u ms\n", shown, (unsigned)waitMs);
    vxp_socket_close(s);
    return -1;
  }
  // A command and its line feed go out in two writes; with Nagle's
  // algorithm the second would wait for the peer's delayed acknowledgement
  // (tens of ms per query on Linux, up to 200 ms on Windows).
  vxp_set_nodelay(s);
  // Both ways from the start: a peer that stops reading must not hold a
  // write for ever.
  vxp_set_recv_timeout(s, kDefaultTimeoutMs);
  vxp_set_send_timeout(s, kDefaultTimeoutMs);
  return (int32_t)s;
}

// "TCP-" and bare dotted addresses: the instrument's port 18.
int32_t connect_instrument(const char* address, ViInt32 tmoMs) {
  uint32_t addr;
  if (!vx_ipv4_parse(address, &addr)) {
    writeLog("vx_comm_open() error: '%s' is not an IPv4 address (four decimal numbers of 0 to 255)\n", address);
    return -1;
  }
  return connect_to(vxp_address_v4(addr), kInstrumentPort, vx_open_wait_ms(tmoMs), address);
}

// TCPIP[board]::host::port::SOCKET. The name lookup and the connection
// share one wait, as long as a connection alone may take.
int32_t connect_socket_name(const char* name, ViInt32 tmoMs) {
  VxResourceName r;
  const char* why = nullptr;
  if (!vx_rname_parse(name, &r, &why) || r.interface != VX_RNAME_TCPIP || r.rclass != VX_RNAME_SOCKET) {
    writeLog("vx_comm_open() error: '%s' is not a SOCKET resource name: %s\n", name, why ? why : "another class");
    return -1;
  }
  const uint32_t waitMs = vx_open_wait_ms(tmoMs);
  const uint32_t start = vxp_tick_ms();
  vxp_address addr;
  if (!vx_host_address(r.host, waitMs, &addr)) return -1;
  uint32_t left = 0;
  if (waitMs != 0) {
    const uint32_t spent = vxp_tick_ms() - start;
    // At least a moment for the connection itself: 0 would mean no limit.
    left = spent < waitMs ? waitMs - spent : 1;
  }
  char shown[VX_RNAME_HOST_SIZE + 8];
  snprintf(shown, sizeof shown, "%s:%u", r.host, (unsigned)r.port);
  return connect_to(addr, r.port, left, shown);
}

// Discards at most one scratch buffer of what is waiting; never blocks.
bool vx_tcp_drain(int32_t socket) {
  int ready = vxp_wait_readable((vxp_socket)socket, 0);
  if (ready < 0) return false;
  if (ready > 0) {
    uint8_t scratch[kClearScratch];
    vxp_recv((vxp_socket)socket, scratch, sizeof scratch);
  }
  return true;
}

typedef int32_t (*ConnectFn)(const char* address, ViInt32 tmoMs);

ViStatus open_with(ConnectFn connect, const char* address, ViInt32 tmoMs, LinkSlot* slot) {
  TcpLink* t = new (std::nothrow) TcpLink;
  if (!t) return VI_ERROR_SYSTEM_ERROR;
  t->socket = -1;
  t->timeoutMs.store(kDefaultTimeoutMs, std::memory_order_relaxed);
  if (!vxp_net_startup()) {
    delete t;
    return VI_ERROR_SYSTEM_ERROR;
  }
  t->socket = connect(address, tmoMs);
  if (t->socket == -1) {
    // Undo the whole open: the caller wipes the slot without calling close.
    vxp_net_cleanup();
    delete t;
    return VI_ERROR_SYSTEM_ERROR;
  }
  slot->context = t;
  return VI_SUCCESS;
}

ViStatus vx_tcp_open(const char* address, ViInt32 tmoMs, LinkSlot* slot) {
  return open_with(connect_instrument, address, tmoMs, slot);
}

ViStatus vx_tcp_open_socket(const char* name, ViInt32 tmoMs, LinkSlot* slot) {
  return open_with(connect_socket_name, name, tmoMs, slot);
}

ViStatus vx_tcp_close(void* context) {
  TcpLink* t = static_cast<TcpLink*>(context);
  int rc = t->socket == -1 ? 0 : vxp_socket_close(sock_of(t));
  vxp_net_cleanup();
  delete t;
  return rc == 0 ? VI_SUCCESS : VI_ERROR_SYSTEM_ERROR;
}

ViStatus vx_tcp_read(void* context, void* buffer, ViInt32 count, ViInt32* retCount) {
  TcpLink* t = static_cast<TcpLink*>(context);
  if (retCount) *retCount = 0;
  // A request of no bytes (or a negative count) receives nothing.
  if (count <= 0) return VI_ERROR_TMO;
  int64_t n = vxp_recv(sock_of(t), buffer, (size_t)count);
  if (n < 0 && vxp_socket_error_is_timeout(vxp_last_socket_error())) return VI_ERROR_TMO;
  // A peer that closed (no bytes) or reset the connection sends nothing
  // ever again; called a timeout, it would be retried for ever.
  if (n <= 0) return VI_ERROR_CONN_LOST;
  if (retCount) *retCount = (ViInt32)n;
  return VI_SUCCESS;
}

ViStatus vx_tcp_write(void* context, const void* buffer, ViInt32 count, ViInt32* retCount) {
  TcpLink* t = static_cast<TcpLink*>(context);
  if (retCount) *retCount = 0;
  if (t->socket == -1) return VI_ERROR_CONN_LOST;
  if (count <= 0) return VI_SUCCESS;
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  ViInt32 total = 0;
  // Each send waits at most the timeout; the whole write too.
  const uint32_t start = vxp_tick_ms();
  while (total < count) {
    const uint32_t limit = t->timeoutMs.load(std::memory_order_relaxed);
    if (total > 0 && limit != 0 && vxp_tick_ms() - start >= limit) return VI_ERROR_TMO;
    const size_t piece = (size_t)(count - total) < kSendPiece ? (size_t)(count - total) : kSendPiece;
    int64_t n = vxp_send(sock_of(t), p + total, piece);
    // A peer that does not read is late, not gone; what went is counted.
    if (n < 0 && vxp_socket_error_is_timeout(vxp_last_socket_error())) return VI_ERROR_TMO;
    if (n <= 0) return VI_ERROR_CONN_LOST;
    total += (ViInt32)n;
    if (retCount) *retCount = total;
  }
  return VI_SUCCESS;
}

ViStatus vx_tcp_settmo(void* context, ViInt32 tmoMs) {
  TcpLink* t = static_cast<TcpLink*>(context);
  if (!vxp_set_recv_timeout(sock_of(t), (uint32_t)tmoMs)) return VI_ERROR_SYSTEM_ERROR;
  if (!vxp_set_send_timeout(sock_of(t), (uint32_t)tmoMs)) return VI_ERROR_SYSTEM_ERROR;
  t->timeoutMs.store((uint32_t)tmoMs, std::memory_order_relaxed);
  return VI_SUCCESS;
}

ViStatus vx_tcp_clear(void* context) {
  TcpLink* t = static_cast<TcpLink*>(context);
  return vx_tcp_drain(t->socket) ? VI_SUCCESS : VI_ERROR_SYSTEM_ERROR;
}

// The socket stays open until close, so a thread still inside recv() or
// send() never sees its descriptor reused.
void vx_tcp_abort(void* context) {
  TcpLink* t = static_cast<TcpLink*>(context);
  if (t->socket != -1) vxp_socket_interrupt(sock_of(t));
}

}  // namespace

// Raw TCP carries bytes only: no status byte, trigger or remote state
// outside the instrument's own commands.
const TransportOps vx_tcp_ops = {
    vx_tcp_open,                // open
    vx_tcp_close,               // close
    vx_tcp_read,                // read
    vx_tcp_write,               // write
    vx_tcp_settmo,              // setTimeout
    vx_tcp_clear,               // clear
    vx_tcp_abort,               // abort
    vx_transport_nsup_readstb,  // readStb
    vx_transport_nsup_trigger,  // trigger
    vx_transport_nsup_remote,   // remote
    vx_transport_stream_end,    // endMessage
    vx_tcp_write,               // writeMore
    vx_transport_nsup_lock,     // lock
    vx_transport_nsup_unlock,   // unlock
    vx_transport_nsup_srq,  // srqEnable
};

const TransportOps vx_tcp_socket_ops = {
    vx_tcp_open_socket,         // open
    vx_tcp_close,               // close
    vx_tcp_read,                // read
    vx_tcp_write,               // write
    vx_tcp_settmo,              // setTimeout
    vx_tcp_clear,               // clear
    vx_tcp_abort,               // abort
    vx_transport_nsup_readstb,  // readStb
    vx_transport_nsup_trigger,  // trigger
    vx_transport_nsup_remote,   // remote
    vx_transport_stream_end,    // endMessage
    vx_tcp_write,               // writeMore
    vx_transport_nsup_lock,     // lock
    vx_transport_nsup_unlock,   // unlock
    vx_transport_nsup_srq,  // srqEnable
};
