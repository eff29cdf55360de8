// Record marking: reading fragments into one record, bounded.
#include "transport/vxi11/rpc_record.h"

#include <cstdlib>

#include "transport/vxi11/xdr.h"

namespace {

const uint32_t kLastFragment = 0x80000000u;
// Empty fragments cost the sender nothing but a header; a record of more
// than this many is not a peer's honest reply.
const unsigned kMaxFragments = 4096;

RpcRecordResult read_exactly(const RpcByteSource* source, uint8_t* into, size_t n) {
  while (n > 0) {
    size_t got = 0;
    RpcReceive r = source->receive(source->context, into, n, &got);
    if (r == RPC_RECV_TIMED_OUT) return RPC_RECORD_TIMED_OUT;
    if (r != RPC_RECV_BYTES || got == 0 || got > n) return RPC_RECORD_ENDED;
    into += got;
    n -= got;
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

RpcRecordResult vx_rpc_record_read(const RpcByteSource* source, RpcBuffer* out, size_t limit, size_t enough) {
  out->length = 0;
  for (unsigned n = 0; n < kMaxFragments; ++n) {
    uint8_t header[4];
    RpcRecordResult r = read_exactly(source, header, sizeof header);
    if (r != RPC_RECORD_OK) return r;
    const uint32_t word = vx_xdr_load(header);
    const size_t fragment = word & ~kLastFragment;
    if (fragment > limit - out->length) return RPC_RECORD_TOO_LONG;
    if (!vx_rpc_buffer_reserve(out, out->length + fragment)) return RPC_RECORD_NO_MEMORY;
    r = read_exactly(source, out->data + out->length, fragment);
    if (r != RPC_RECORD_OK) return r;
    out->length += fragment;
    if ((word & kLastFragment) || (enough > 0 && out->length >= enough)) return RPC_RECORD_OK;
  }
  return RPC_RECORD_TOO_LONG;
}

void vx_rpc_record_mark(uint8_t header[4], uint32_t length) { vx_xdr_store(header, kLastFragment | length); }
