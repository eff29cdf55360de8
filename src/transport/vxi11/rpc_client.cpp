// RPC calls over a socket with a deadline: encode, send as one record,
// read records until the one that answers this call.
#include "transport/vxi11/rpc_client.h"

#include <cstring>

#include "platform/clock.h"

namespace {

const uint32_t kRpcVersion = 2;
const uint32_t kCall = 0, kReply = 1;
const uint32_t kAccepted = 0;
const uint32_t kSuccess = 0, kProcUnavail = 3;
const size_t kMaxVerifier = 400;  // RFC 5531: opaque_auth bodies are at most 400 bytes
// Replies to calls that ran out of time before are skipped, up to these.
const int kMaxStaleReplies = 16;

uint32_t tick_of(const RpcChannel* ch) { return ch->io ? ch->io->tick(ch->io->context) : vxp_tick_ms(); }

struct Deadline {
  const RpcChannel* ch;
  uint32_t start;
  uint32_t waitMs;  // 0: none
  // Milliseconds left, at least 1; 0 when the time is up.
  uint32_t left() const {
    if (waitMs == 0) return UINT32_MAX;
    uint32_t spent = tick_of(ch) - start;
    return spent >= waitMs ? 0 : waitMs - spent;
  }
};

struct SocketSource {
  RpcChannel* ch;
  Deadline deadline;
};

// Whether the socket's timeout must be set before waiting `timeout` ms (0:
// none): only when it would wait longer. A shorter one that runs out first
// is set again to what is left then; setting it before every receive cost
// a system call or two per call, as the time left changes by the
// millisecond.
bool must_set(uint32_t current, uint32_t timeout) {
  if (current == UINT32_MAX) return true;  // never set
  if (timeout == 0) return current != 0;
  return current == 0 || current > timeout;
}

RpcReceive receive_from_socket(void* context, uint8_t* buf, size_t len, size_t* got) {
  SocketSource* src = static_cast<SocketSource*>(context);
  RpcChannel* ch = src->ch;
  if (ch->io) {
    const uint32_t left = src->deadline.left();
    if (left == 0) return RPC_RECV_TIMED_OUT;
    return ch->io->receive(ch->io->context, buf, len, got, src->deadline.waitMs == 0 ? 0 : left);
  }
  // The first wait may end early, on a shorter timeout an earlier call left
  // on the socket; the second waits exactly what is left.
  for (int pass = 0; pass < 2; ++pass) {
    const uint32_t left = src->deadline.left();
    if (left == 0) return RPC_RECV_TIMED_OUT;
    const uint32_t timeout = src->deadline.waitMs == 0 ? 0 : left;
    if (pass > 0 || must_set(ch->recvTimeout, timeout)) {
      if (!vxp_set_recv_timeout(ch->sock, timeout)) return RPC_RECV_ENDED;
      ch->recvTimeout = timeout;
    }
    int64_t n = vxp_recv(ch->sock, buf, len);
    if (n > 0) {
      *got = (size_t)n;
      return RPC_RECV_BYTES;
    }
    if (n == 0 || !vxp_socket_error_is_timeout(vxp_last_socket_error())) return RPC_RECV_ENDED;
  }
  return RPC_RECV_TIMED_OUT;
}

// Sends all of `len` bytes before the deadline; RPC_OK, RPC_TIMED_OUT or RPC_LOST.
RpcStatus send_all(RpcChannel* ch, const Deadline& deadline, const uint8_t* p, size_t len) {
  for (int timeouts = 0; len > 0;) {
    const uint32_t left = deadline.left();
    if (left == 0) return RPC_TIMED_OUT;
    const uint32_t timeout = deadline.waitMs == 0 ? 0 : left;
    if (ch->io) {
      const int64_t n = ch->io->send(ch->io->context, p, len, timeout);
      if (n < 0 || (size_t)n > len) return RPC_LOST;
      if (n == 0) return RPC_TIMED_OUT;
      p += n;
      len -= (size_t)n;
      continue;
    }
    if (timeouts > 0 || must_set(ch->sendTimeout, timeout)) {
      if (!vxp_set_send_timeout(ch->sock, timeout)) return RPC_LOST;
      ch->sendTimeout = timeout;
    }
    int64_t n = vxp_send(ch->sock, p, len);
    if (n <= 0) {
      if (n == 0 || !vxp_socket_error_is_timeout(vxp_last_socket_error())) return RPC_LOST;
      if (++timeouts == 2) return RPC_TIMED_OUT;  // the second wait was the deadline's own
      continue;
    }
    p += n;
    len -= (size_t)n;
  }
  return RPC_OK;
}

}  // namespace

void vx_rpc_channel_init(RpcChannel* ch, vxp_socket sock) {
  ch->sock = sock;
  ch->io = nullptr;
  // Distinct first xids per channel make a reply that strays between
  // channels less likely to be taken.
  ch->xid = vxp_tick_ms() ^ (uint32_t)(uintptr_t)ch;
  ch->reply = RpcBuffer{nullptr, 0, 0};
  ch->recvTimeout = UINT32_MAX;  // never a value set: the first call sets its own
  ch->sendTimeout = UINT32_MAX;
  ch->broken = false;
  vx_rpc_record_state_init(&ch->record);
  ch->dropped = 0;
  ch->droppedXid = 0;
  ch->cutReply = false;
}

void vx_rpc_channel_init_io(RpcChannel* ch, const RpcChannelIo* io) {
  vx_rpc_channel_init(ch, VXP_BAD_SOCKET);
  ch->io = io;
}

bool vx_rpc_channel_connect(RpcChannel* ch, uint32_t addr, uint16_t port, uint32_t waitMs, bool* timedOut) {
  return vx_rpc_channel_connect(ch, vxp_address_v4(addr), port, waitMs, timedOut);
}

bool vx_rpc_channel_connect(RpcChannel* ch, const vxp_address& addr, uint16_t port, uint32_t waitMs, bool* timedOut) {
  *timedOut = false;
  vx_rpc_channel_init(ch, VXP_BAD_SOCKET);
  vxp_socket s = vxp_tcp_socket_for(addr);
  if (s == VXP_BAD_SOCKET) return false;
  vxp_connect_result rc = vxp_tcp_connect_to(s, addr, port, waitMs);
  if (rc != VXP_CONNECTED) {
    *timedOut = rc == VXP_CONNECT_TIMED_OUT;
    vxp_socket_close(s);
    return false;
  }
  vxp_set_nodelay(s);  // every call waits for its reply: nothing to gather
  ch->sock = s;
  return true;
}

void vx_rpc_channel_close(RpcChannel* ch) {
  if (ch->sock != VXP_BAD_SOCKET) vxp_socket_close(ch->sock);
  ch->sock = VXP_BAD_SOCKET;
  vx_rpc_buffer_free(&ch->reply);
}

void vx_rpc_put_call_header(uint8_t* out, uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc) {
  const uint32_t words[10] = {xid, kCall, kRpcVersion, prog, vers, proc, 0, 0, 0, 0};  // AUTH_NONE twice
  for (int i = 0; i < 10; ++i) vx_xdr_store(out + 4 * i, words[i]);
}

RpcReply vx_rpc_take_reply(const uint8_t* record, size_t length, uint32_t xid, XdrReader* results) {
  XdrReader r = vx_xdr_reader(record, length);
  const uint32_t gotXid = vx_xdr_get(&r);
  const uint32_t type = vx_xdr_get(&r);
  if (!r.ok || type != kReply) return RPC_REPLY_MALFORMED;
  if (gotXid != xid) return RPC_REPLY_OTHER_XID;
  const uint32_t replyStat = vx_xdr_get(&r);
  if (!r.ok) return RPC_REPLY_MALFORMED;
  if (replyStat != kAccepted) return RPC_REPLY_REFUSED;  // MSG_DENIED: version or authentication
  vx_xdr_get(&r);  // verifier flavour
  const uint8_t* verifier;
  uint32_t verifierLength;
  vx_xdr_get_opaque(&r, &verifier, &verifierLength);
  const uint32_t acceptStat = vx_xdr_get(&r);
  if (!r.ok || verifierLength > kMaxVerifier) return RPC_REPLY_MALFORMED;
  if (acceptStat == kProcUnavail) return RPC_REPLY_PROC_UNAVAIL;
  if (acceptStat != kSuccess) return RPC_REPLY_REFUSED;
  *results = r;
  return RPC_REPLY_OK;
}

RpcStatus vx_rpc_call(RpcChannel* ch, const RpcCall* call, XdrReader* results) {
  if (ch->broken || (ch->sock == VXP_BAD_SOCKET && !ch->io)) return RPC_LOST;
  if (call->argLength > VX_RPC_MAX_ARGS) return RPC_REFUSED;
  const size_t pad = vx_xdr_pad(call->bulkLength);
  const size_t body = VX_RPC_CALL_HEADER + call->argLength;
  if (call->bulkLength > 0x7FFFFFF0u - body) return RPC_REFUSED;  // one fragment carries 2^31-1 at most
  const Deadline deadline{ch, tick_of(ch), call->waitMs};
  const uint32_t xid = ++ch->xid;

  // Header and arguments go in one send, the bulk data straight from the
  // caller's buffer after them, so a long write is never copied.
  uint8_t head[4 + VX_RPC_CALL_HEADER + VX_RPC_MAX_ARGS];
  vx_rpc_record_mark(head, (uint32_t)(body + call->bulkLength + pad));
  vx_rpc_put_call_header(head + 4, xid, call->prog, call->vers, call->proc);
  if (call->argLength) memcpy(head + 4 + VX_RPC_CALL_HEADER, call->args, call->argLength);
  // A small write goes in the same send as its header: one packet.
  const size_t joined = call->bulkLength <= VX_RPC_MAX_ARGS - call->argLength ? call->bulkLength : 0;
  if (joined) {
    memcpy(head + 4 + body, call->bulk, joined);
    memset(head + 4 + body + joined, 0, pad);
  }
  RpcStatus s = send_all(ch, deadline, head, 4 + body + (joined ? joined + pad : 0));
  if (s == RPC_OK && !joined && call->bulkLength) {
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    s = send_all(ch, deadline, call->bulk, call->bulkLength);
    if (s == RPC_OK) s = send_all(ch, deadline, zeros, pad);
    if (s != RPC_OK) ch->broken = true;  // the server waits for the rest of a record that never comes
  } else if (s != RPC_OK) {
    ch->broken = true;  // a header sent in part cannot be finished later; a failed send ends the connection
  }
  if (s != RPC_OK) return s;

  SocketSource src{ch, deadline};
  const RpcByteSource source{&src, receive_from_socket};
  ch->dropped = 0;
  ch->cutReply = false;
  for (int i = 0; i <= kMaxStaleReplies; ++i) {
    // A record still active was begun before this call was sent, so it
    // cannot be its reply, whatever xid it bears: read whole and dropped.
    const bool carried = ch->record.active;
    switch (vx_rpc_record_resume(&source, &ch->record, &ch->reply, call->replyLimit, call->enough)) {
      case RPC_RECORD_OK:
        break;
      case RPC_RECORD_TIMED_OUT:
        // The rest of a reply cut off here is read, and dropped, by the
        // next call.
        ch->cutReply = ch->record.active && (ch->record.headerHave > 0 || ch->reply.length > 0);
        return RPC_TIMED_OUT;
      default:
        ch->broken = true;
        return RPC_LOST;
    }
    RpcReply reply = vx_rpc_take_reply(ch->reply.data, ch->reply.length, xid, results);
    if (carried && reply != RPC_REPLY_MALFORMED) reply = RPC_REPLY_OTHER_XID;
    switch (reply) {
      case RPC_REPLY_OK:
        return RPC_OK;
      case RPC_REPLY_OTHER_XID:
        ++ch->dropped;
        ch->droppedXid = vx_xdr_load(ch->reply.data);
        continue;
      case RPC_REPLY_PROC_UNAVAIL:
        return RPC_PROC_UNAVAIL;
      case RPC_REPLY_REFUSED:
        return RPC_REFUSED;
      case RPC_REPLY_MALFORMED:
        break;
    }
    ch->broken = true;
    return RPC_LOST;
  }
  ch->broken = true;
  return RPC_LOST;
}
