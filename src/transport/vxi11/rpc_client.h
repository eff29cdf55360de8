// ONC RPC version 2 calls (RFC 5531) over a connected TCP socket: the call
// header with no authentication, the reply's xid checked (replies to
// earlier calls that ran out of time are dropped, also one that a timeout
// cut in the middle: the next call reads the rest of it first), its
// accepted and rejected states told apart. Every wait is bounded by the
// call's own.
#ifndef VX_VXI11_RPC_CLIENT_H
#define VX_VXI11_RPC_CLIENT_H

#include <cstddef>
#include <cstdint>

#include "platform/net.h"
#include "transport/vxi11/rpc_record.h"
#include "transport/vxi11/xdr.h"

// How a channel reaches its peer and reads the time, in place of the
// socket and the platform clock (the fuzzer's fake peer and clock). Each
// wait gives up after timeoutMs (0: no limit).
struct RpcChannelIo {
  void* context;
  // Bytes sent (at least 1), 0 when the time ran out, -1 when the connection failed.
  int64_t (*send)(void* context, const uint8_t* p, size_t len, uint32_t timeoutMs);
  RpcReceive (*receive)(void* context, uint8_t* buf, size_t len, size_t* got, uint32_t timeoutMs);
  uint32_t (*tick)(void* context);
};

struct RpcChannel {
  vxp_socket sock;
  const RpcChannelIo* io;  // null: the socket and the platform clock
  uint32_t xid;
  RpcBuffer reply;        // the last reply's record; results point into it
  uint32_t recvTimeout;   // the socket's receive and send timeouts as last
  uint32_t sendTimeout;   // set, so an unchanged one is not set again
  bool broken;            // a send was cut off mid-record, or garbage came: the stream is lost
  RpcRecordState record;  // a reply record a timeout cut, finished by the next call
  // What the last call met, for the caller's log: replies to earlier calls
  // dropped (and the last one's xid), and whether its timeout cut a reply.
  unsigned dropped;
  uint32_t droppedXid;
  bool cutReply;
};

// A channel on an unconnected socket, or on `sock` once connected.
void vx_rpc_channel_init(RpcChannel* ch, vxp_socket sock);
// A channel over `io` instead of a socket.
void vx_rpc_channel_init_io(RpcChannel* ch, const RpcChannelIo* io);
// Connects a new channel to addr:port (network-order address, host-order
// port) within waitMs (0: the system's own limit); *timedOut tells a
// connect that ran out of time from one refused.
bool vx_rpc_channel_connect(RpcChannel* ch, uint32_t addr, uint16_t port, uint32_t waitMs, bool* timedOut);
// The same to an address of either family (a link's open: IPv6 too).
bool vx_rpc_channel_connect(RpcChannel* ch, const vxp_address& addr, uint16_t port, uint32_t waitMs, bool* timedOut);
// Closes the socket and frees the reply buffer.
void vx_rpc_channel_close(RpcChannel* ch);

enum RpcStatus {
  RPC_OK,
  RPC_TIMED_OUT,     // no reply in time; the channel still works, a late reply is dropped
  RPC_LOST,          // the connection ended, failed or carried garbage
  RPC_PROC_UNAVAIL,  // the server does not have this procedure
  RPC_REFUSED,       // any other rejection: program, version, arguments, authentication
};

struct RpcCall {
  uint32_t prog, vers, proc;
  const uint8_t* args;  // XDR-encoded arguments
  size_t argLength;
  const uint8_t* bulk;  // sent after args as they are (the bytes of an opaque whose length ends args), padded
  size_t bulkLength;
  uint32_t waitMs;      // for the whole call; 0: no limit
  size_t replyLimit;    // the longest reply record taken
  size_t enough;        // a record this long is whole without its last-fragment bit (0: never)
};

// Arguments beyond this are not encoded by the callers (a device name's
// create_link is the longest).
#define VX_RPC_MAX_ARGS 512

// Sends the call and waits for its reply; on RPC_OK `results` reads the
// procedure's results (valid until the channel's next call).
RpcStatus vx_rpc_call(RpcChannel* ch, const RpcCall* call, XdrReader* results);

// The 40 bytes of a call header (no authentication); the caller's buffer
// holds at least that.
#define VX_RPC_CALL_HEADER 40
void vx_rpc_put_call_header(uint8_t* out, uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc);

// What one reply record says. RPC_REPLY_OK leaves `results` on the
// procedure's results.
enum RpcReply { RPC_REPLY_OK, RPC_REPLY_OTHER_XID, RPC_REPLY_PROC_UNAVAIL, RPC_REPLY_REFUSED, RPC_REPLY_MALFORMED };
RpcReply vx_rpc_take_reply(const uint8_t* record, size_t length, uint32_t xid, XdrReader* results);

#endif
