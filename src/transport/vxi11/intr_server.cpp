// The interrupt channel's server: a thread that accepts the instruments'
// connections and reads their call records, bounded in size and time.
#include "transport/vxi11/intr_server.h"

#include <atomic>
#include <mutex>

#include "log/call_log.h"
#include "platform/clock.h"
#include "platform/listen.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "transport/vxi11/intr_call.h"
#include "transport/vxi11/rpc_record.h"
#include "transport/vxi11/xdr.h"

namespace {

// A device_intr_srq call is under 100 bytes; room for credentials too.
const size_t kRecordLimit = 1024;
// The listener and the wake-up socket take two of the places a wait has.
const int kMaxConnections = VXP_WAIT_MAX - 2;
// A record begun must be whole this soon; a connection that stalls in the
// middle of one is closed.
const uint32_t kRecordMs = 5000;
// The longest wait between looks at the stop flag, should a wake-up be lost.
const uint32_t kTickMs = 1000;
// Records taken from one connection before the others get their turn.
const int kRecordsPerTurn = 16;
// One registration per link, and a link table of 100.
const int kMaxRegistrations = 128;
const size_t kStack = 64 * 1024;

struct Registration {
  bool used;
  uint32_t handle;
  SrqSink* sink;
};

struct Connection {
  vxp_socket sock;
  RpcRecordState state;
  RpcBuffer record;
  uint32_t begun;  // when the record under way took its first byte
};

struct Server {
  vxp_thread* thread = nullptr;
  vxp_socket listener = VXP_BAD_SOCKET;
  vxp_socket wake = VXP_BAD_SOCKET;  // a datagram to itself ends the wait
  uint16_t port = 0, wakePort = 0;
  std::atomic<bool> stop{false};
};

// Start and stop; held while the thread is joined, which never takes it.
std::mutex lifeLock;
Server server;
// The registrations; the thread posts holding it, so a registration
// removed under it is posted to no more.
std::mutex handlesLock;
Registration registrations[kMaxRegistrations];
int registered = 0;
uint32_t lastHandle = 0;

void post(const uint8_t* handle, uint32_t length) {
  if (length != VX_INTR_HANDLE_SIZE) {
    writeLog("VXI-11 interrupt channel: device_intr_srq with a handle of %u bytes, not ours: dropped\n",
             (unsigned)length);
    return;
  }
  const uint32_t h = vx_xdr_load(handle);
  std::lock_guard<std::mutex> hold(handlesLock);
  for (Registration& r : registrations) {
    if (r.used && r.handle == h) {
      r.sink->post(r.sink, -1);
      return;
    }
  }
  writeLog("VXI-11 interrupt channel: device_intr_srq for handle %u, which no link has: dropped\n", (unsigned)h);
}

// Gives what the socket holds now, never waiting: no bytes yet is a
// timeout, which leaves the record to be finished on a later turn.
RpcReceive receive_now(void* context, uint8_t* buf, size_t len, size_t* got) {
  const vxp_socket s = *static_cast<vxp_socket*>(context);
  const int ready = vxp_wait_readable(s, 0);
  if (ready == 0) return RPC_RECV_TIMED_OUT;
  if (ready < 0) return RPC_RECV_ENDED;
  const int64_t n = vxp_recv(s, buf, len);
  if (n <= 0) return RPC_RECV_ENDED;
  *got = (size_t)n;
  return RPC_RECV_BYTES;
}

// Reads the records the connection has; false when it must be closed (it
// ended, or sent what no instrument would).
bool serve(Connection* c) {
  RpcByteSource source{&c->sock, receive_now};
  for (int i = 0; i < kRecordsPerTurn; ++i) {
    const bool under_way = c->state.active && (c->state.headerHave > 0 || c->state.fragments > 0);
    const RpcRecordResult r = vx_rpc_record_resume(&source, &c->state, &c->record, kRecordLimit, 0);
    if (r == RPC_RECORD_TIMED_OUT) {
      if (!under_way && (c->state.headerHave > 0 || c->state.fragments > 0)) c->begun = vxp_tick_ms();
      return true;
    }
    if (r == RPC_RECORD_TOO_LONG) {
      writeLog("VXI-11 interrupt channel: a record of more than %u bytes: connection closed\n",
               (unsigned)kRecordLimit);
      return false;
    }
    if (r != RPC_RECORD_OK) return false;
    const uint8_t* handle = nullptr;
    uint32_t length = 0;
    const IntrCall call = vx_intr_read_call(c->record.data, c->record.length, &handle, &length);
    if (call == INTR_CALL_MALFORMED) {
      writeLog("VXI-11 interrupt channel: a record that is no device_intr_srq call: connection closed\n");
      return false;
    }
    if (call == INTR_CALL_SRQ) post(handle, length);
    // Any other call is dropped unanswered, as device_intr_srq is.
  }
  return true;
}

void close_connection(Connection* c) {
  vxp_socket_close(c->sock);
  vx_rpc_buffer_free(&c->record);
}

void run(void*) {
  Connection conns[kMaxConnections];
  int count = 0;
  vxp_socket socks[VXP_WAIT_MAX];
  bool ready[VXP_WAIT_MAX];
  while (!server.stop.load()) {
    socks[0] = server.listener;
    socks[1] = server.wake;
    uint32_t waitMs = kTickMs;
    const uint32_t now = vxp_tick_ms();
    for (int i = 0; i < count; ++i) {
      socks[2 + i] = conns[i].sock;
      if (conns[i].state.active && (conns[i].state.headerHave > 0 || conns[i].state.fragments > 0)) {
        const uint32_t spent = now - conns[i].begun;
        const uint32_t left = spent >= kRecordMs ? 0 : kRecordMs - spent;
        if (left < waitMs) waitMs = left;
      }
    }
    const int rc = vxp_wait_any_readable(socks, 2 + count, waitMs, ready);
    if (rc < 0) {
      writeLog("VXI-11 interrupt channel: waiting on its sockets failed (error %d); service requests end\n",
               vxp_last_socket_error());
      break;
    }
    if (ready[1]) {
      uint8_t b[16];
      uint32_t from = 0;
      vxp_recvfrom(server.wake, b, sizeof b, &from);
    }
    for (int i = count - 1; i >= 0; --i) {
      bool keep = !ready[2 + i] || serve(&conns[i]);
      if (keep && conns[i].state.active && (conns[i].state.headerHave > 0 || conns[i].state.fragments > 0) &&
          vxp_tick_ms() - conns[i].begun >= kRecordMs) {
        writeLog("VXI-11 interrupt channel: a record not finished within %u ms: connection closed\n",
                 (unsigned)kRecordMs);
        keep = false;
      }
      if (!keep) {
        close_connection(&conns[i]);
        conns[i] = conns[--count];
      }
    }
    if (ready[0]) {
      const vxp_socket s = vxp_tcp_accept(server.listener);
      if (s != VXP_BAD_SOCKET && count == kMaxConnections) {
        writeLog("VXI-11 interrupt channel: %d connections already; one more refused\n", kMaxConnections);
        vxp_socket_close(s);
      } else if (s != VXP_BAD_SOCKET) {
        Connection& c = conns[count++];
        c.sock = s;
        vx_rpc_record_state_init(&c.state);
        c.record = RpcBuffer{nullptr, 0, 0};
        c.begun = 0;
      }
    }
  }
  for (int i = 0; i < count; ++i) close_connection(&conns[i]);
}

void close_sockets() {
  if (server.listener != VXP_BAD_SOCKET) vxp_socket_close(server.listener);
  if (server.wake != VXP_BAD_SOCKET) vxp_socket_close(server.wake);
  server.listener = server.wake = VXP_BAD_SOCKET;
}

// lifeLock held.
bool start() {
  if (!vxp_net_startup()) return false;
  server.listener = vxp_tcp_listen_any(&server.port);
  server.wake = vxp_udp_socket();
  vxp_address wakeAddress;
  const uint32_t loopback = vxp_inet_addr("127.0.0.1");
  if (server.listener == VXP_BAD_SOCKET || server.wake == VXP_BAD_SOCKET || !vxp_bind(server.wake, loopback, 0) ||
      !vxp_socket_local_address(server.wake, &wakeAddress, &server.wakePort)) {
    writeLog("VXI-11 error: cannot listen for interrupt channels (error %d)\n", vxp_last_socket_error());
    close_sockets();
    vxp_net_cleanup();
    return false;
  }
  server.stop = false;
  server.thread = vxp_thread_start(run, nullptr, kStack);
  if (!server.thread) {
    writeLog("VXI-11 error: cannot start the interrupt channel's thread\n");
    close_sockets();
    vxp_net_cleanup();
    return false;
  }
  return true;
}

// lifeLock held.
void stop() {
  server.stop = true;
  const uint8_t b = 0;
  vxp_sendto(server.wake, &b, 1, vxp_inet_addr("127.0.0.1"), server.wakePort);
  vxp_thread_join(server.thread);
  server.thread = nullptr;
  close_sockets();
  vxp_net_cleanup();
}

}  // namespace

bool vx_intr_register(SrqSink* sink, uint32_t* handle, uint16_t* port) {
  std::lock_guard<std::mutex> life(lifeLock);
  if (!server.thread && !start()) return false;
  std::lock_guard<std::mutex> hold(handlesLock);
  Registration* free = nullptr;
  for (Registration& r : registrations)
    if (!r.used) {
      free = &r;
      break;
    }
  if (!free) {
    writeLog("VXI-11 error: %d links with service requests on already\n", kMaxRegistrations);
    return false;  // others are registered: the server runs on for them
  }
  // Unique among the registrations, so a late call for a handle given
  // back reaches no other link while fewer than 2^32 have come and gone.
  bool taken;
  do {
    ++lastHandle;
    taken = false;
    for (const Registration& r : registrations) taken = taken || (r.used && r.handle == lastHandle);
  } while (taken);
  *free = Registration{true, lastHandle, sink};
  ++registered;
  *handle = lastHandle;
  *port = server.port;
  return true;
}

void vx_intr_handle_bytes(uint32_t handle, uint8_t out[VX_INTR_HANDLE_SIZE]) { vx_xdr_store(out, handle); }

void vx_intr_unregister(uint32_t handle) {
  std::lock_guard<std::mutex> life(lifeLock);
  bool last = false;
  {
    std::lock_guard<std::mutex> hold(handlesLock);
    for (Registration& r : registrations) {
      if (r.used && r.handle == handle) {
        r = Registration{false, 0, nullptr};
        last = --registered == 0;
        break;
      }
    }
  }
  if (last && server.thread) stop();
}
