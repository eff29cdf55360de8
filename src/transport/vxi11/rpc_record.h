// ONC RPC record marking on a stream (RFC 5531 section 11): each fragment
// starts with a 32-bit word, the top bit marking the last fragment of the
// record and the other 31 its length. Records are read from a byte source
// (a socket with a deadline, or bytes in memory for the fuzzer) into a
// growing buffer of the caller's, never beyond a bound.
#ifndef VX_VXI11_RPC_RECORD_H
#define VX_VXI11_RPC_RECORD_H

#include <cstddef>
#include <cstdint>

// What a receive from the source gave: bytes, or why none.
enum RpcReceive { RPC_RECV_BYTES, RPC_RECV_TIMED_OUT, RPC_RECV_ENDED };

struct RpcByteSource {
  void* context;
  // At least one byte and at most `len` into buf (*got set), or why not.
  RpcReceive (*receive)(void* context, uint8_t* buf, size_t len, size_t* got);
};

// A heap buffer reused from call to call; released by vx_rpc_buffer_free.
struct RpcBuffer {
  uint8_t* data;
  size_t length;
  size_t capacity;
};

// Room for at least `n` bytes; false when memory is short.
bool vx_rpc_buffer_reserve(RpcBuffer* b, size_t n);
void vx_rpc_buffer_free(RpcBuffer* b);

enum RpcRecordResult {
  RPC_RECORD_OK,
  RPC_RECORD_TIMED_OUT,
  RPC_RECORD_ENDED,     // the stream ended or failed
  RPC_RECORD_TOO_LONG,  // more than `limit` bytes of record: the stream cannot be trusted
  RPC_RECORD_NO_MEMORY,
};

// Where a record being read stands, so that one cut off by a timeout is
// finished by the next read instead of leaving the stream mid-record.
struct RpcRecordState {
  bool active;          // a record begun and not finished: `out` holds its bytes so far
  uint8_t header[4];    // the fragment header being read
  size_t headerHave;    // its bytes so far; 4 once the fragment's data is being read
  size_t fragmentLeft;  // the data of the current fragment still to come
  bool lastFragment;
  unsigned fragments;
  size_t limit, enough;  // those of the read that began the record
};

// No record begun.
void vx_rpc_record_state_init(RpcRecordState* state);

// Reads one whole record into `out` (length set, data replaced). With
// `enough` above 0, a record also ends with the fragment that brings it to
// `enough` bytes, whatever that fragment's top bit says: some instruments'
// portmappers leave the bit out of their fixed-size replies.
RpcRecordResult vx_rpc_record_read(const RpcByteSource* source, RpcBuffer* out, size_t limit, size_t enough);

// The same, resumable: after RPC_RECORD_TIMED_OUT with `state` active, the
// next call goes on with that record (into the same `out`, under the limit
// and `enough` it began with, whatever these arguments say); otherwise it
// begins a new one. Any other failure leaves the stream unusable.
RpcRecordResult vx_rpc_record_resume(const RpcByteSource* source, RpcRecordState* state, RpcBuffer* out,
                                     size_t limit, size_t enough);

// The fragment header of a record of `length` bytes sent as one fragment.
void vx_rpc_record_mark(uint8_t header[4], uint32_t length);

#endif
