// Record marking: reading fragments into one record, bounded.
#include "transport/vxi11/rpc_record.h"

#include <cstdlib>

#include "transport/vxi11/xdr.h"

namespace {

const uint32_t kLastFragment = 0x80000000u;
// Empty fragments cost the sender nothing but a header; a record of more
// than this many is not a peer's honest reply.
const unsigned kMaxFragments = 4096;

// Reads up to `*n` bytes into `*into`, advancing both as bytes come.
RpcRecordResult read_into(const RpcByteSource* source, uint8_t* into, size_t* n) {
  while (*n > 0) {
    size_t got = 0;
    RpcReceive r = source->receive(source->context, into, *n, &got);
    if (r == RPC_RECV_TIMED_OUT) return RPC_RECORD_TIMED_OUT;
    if (r != RPC_RECV_BYTES || got == 0 || got > *n) return RPC_RECORD_ENDED;
    into += got;
    *n -= got;
  }
  return RPC_RECORD_OK;
}

}  // namespace

bool vx_rpc_buffer_reserve(RpcBuffer* b, size_t n) {
  if (n <= b->capacity) return true;
  // Grown by halves at least, so a record read fragment by fragment is not
  // copied once per fragment.
  size_t want = b->capacity + b->capacity / 2;
  if (want < n) want = n;
  void* grown = realloc(b->data, want);
  if (!grown) return false;
  b->data = static_cast<uint8_t*>(grown);
  b->capacity = want;
  return true;
}

void vx_rpc_buffer_free(RpcBuffer* b) {
  free(b->data);
  b->data = nullptr;
  b->length = 0;
  b->capacity = 0;
}

void vx_rpc_record_state_init(RpcRecordState* state) { *state = RpcRecordState{}; }

RpcRecordResult vx_rpc_record_read(const RpcByteSource* source, RpcBuffer* out, size_t limit, size_t enough) {
  RpcRecordState state;
  vx_rpc_record_state_init(&state);
  return vx_rpc_record_resume(source, &state, out, limit, enough);
}

RpcRecordResult vx_rpc_record_resume(const RpcByteSource* source, RpcRecordState* st, RpcBuffer* out, size_t limit,
                                     size_t enough) {
  if (!st->active) {
    vx_rpc_record_state_init(st);
    st->active = true;
    st->limit = limit;
    st->enough = enough;
    out->length = 0;
  }
  // Whatever ends this call other than a timeout ends the record too.
  RpcRecordResult r = RPC_RECORD_OK;
  for (;;) {
    if (st->headerHave < 4) {
      if (st->fragments >= kMaxFragments) {
        r = RPC_RECORD_TOO_LONG;
        break;
      }
      size_t want = 4 - st->headerHave;
      r = read_into(source, st->header + st->headerHave, &want);
      st->headerHave = 4 - want;
      if (r != RPC_RECORD_OK) break;
      const uint32_t word = vx_xdr_load(st->header);
      st->fragmentLeft = word & ~kLastFragment;
      st->lastFragment = (word & kLastFragment) != 0;
      ++st->fragments;
      if (st->fragmentLeft > st->limit - out->length) {
        r = RPC_RECORD_TOO_LONG;
        break;
      }
      if (!vx_rpc_buffer_reserve(out, out->length + st->fragmentLeft)) {
        r = RPC_RECORD_NO_MEMORY;
        break;
      }
    }
    size_t want = st->fragmentLeft;
    r = read_into(source, out->data + out->length, &want);
    out->length += st->fragmentLeft - want;
    st->fragmentLeft = want;
    if (r != RPC_RECORD_OK) break;
    st->headerHave = 0;
    if (st->lastFragment || (st->enough > 0 && out->length >= st->enough)) break;
  }
  if (r != RPC_RECORD_TIMED_OUT) st->active = false;
  return r;
}

void vx_rpc_record_mark(uint8_t header[4], uint32_t length) { vx_xdr_store(header, kLastFragment | length); }
