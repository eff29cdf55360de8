// RPC replies on a stream: record marking (fragments, the last-fragment
// bit, the bound, a record taken whole once `enough` bytes came without
// the bit), the reply's states and xid, and the device_read results read
// from it; fed in pieces of any size, checked against a model of the
// fragment stream.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "transport/vxi11/rpc_client.h"
#include "transport/vxi11/rpc_record.h"

namespace {

struct Pieces {
  const uint8_t* data;
  size_t left;
  std::vector<size_t> sizes;
  size_t next;
};

RpcReceive take(void* context, uint8_t* buf, size_t len, size_t* got) {
  Pieces* p = static_cast<Pieces*>(context);
  if (p->left == 0) return RPC_RECV_ENDED;
  size_t n = p->next < p->sizes.size() ? p->sizes[p->next++] : p->left;
  if (n == 0) return RPC_RECV_TIMED_OUT;
  if (n > len) n = len;
  if (n > p->left) n = p->left;
  memcpy(buf, p->data, n);
  p->data += n;
  p->left -= n;
  *got = n;
  return RPC_RECV_BYTES;
}

// The record the stream holds, read the simple way; false when the stream
// ends first or the record exceeds the limit.
bool model_record(const std::string& s, size_t limit, size_t enough, std::string* record) {
  size_t at = 0;
  record->clear();
  for (int i = 0; i < 4096; ++i) {
    if (s.size() - at < 4) return false;
    const uint32_t word = (uint32_t)(uint8_t)s[at] << 24 | (uint32_t)(uint8_t)s[at + 1] << 16 |
                          (uint32_t)(uint8_t)s[at + 2] << 8 | (uint8_t)s[at + 3];
    at += 4;
    const size_t n = word & 0x7FFFFFFFu;
    if (n > limit - record->size()) return false;
    if (s.size() - at < n) return false;
    record->append(s, at, n);
    at += n;
    if ((word & 0x80000000u) || (enough > 0 && record->size() >= enough)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx_fuzz_init();
  FuzzedDataProvider in(data, size);
  const size_t limit = in.ConsumeIntegralInRange<size_t>(0, 4096);
  const size_t enough = in.ConsumeBool() ? 28 : 0;
  const uint32_t xid = in.ConsumeIntegral<uint32_t>();
  Pieces p{nullptr, 0, {}, 0};
  const size_t pieceCount = in.ConsumeIntegralInRange<size_t>(0, 16);
  for (size_t i = 0; i < pieceCount; ++i) p.sizes.push_back(in.ConsumeIntegralInRange<size_t>(1, 64));
  const std::string stream = in.ConsumeRemainingBytesAsString();
  p.data = reinterpret_cast<const uint8_t*>(stream.data());
  p.left = stream.size();

  RpcBuffer buffer{nullptr, 0, 0};
  const RpcByteSource source{&p, take};
  const RpcRecordResult r = vx_rpc_record_read(&source, &buffer, limit, enough);
  std::string expected;
  const bool whole = model_record(stream, limit, enough, &expected);
  VX_FUZZ_CHECK((r == RPC_RECORD_OK) == whole);
  if (r == RPC_RECORD_OK) {
    VX_FUZZ_CHECK(buffer.length == expected.size() && buffer.length <= limit);
    VX_FUZZ_CHECK(expected.empty() || memcmp(buffer.data, expected.data(), expected.size()) == 0);
    XdrReader results;
    if (vx_rpc_take_reply(buffer.data, buffer.length, xid, &results) == RPC_REPLY_OK) {
      // device_read's results: error, reason, data; never beyond the record.
      vx_xdr_get(&results);
      vx_xdr_get(&results);
      const uint8_t* bytes;
      uint32_t n;
      vx_xdr_get_opaque(&results, &bytes, &n);
      if (results.ok) {
        VX_FUZZ_CHECK(bytes >= buffer.data && bytes + n <= buffer.data + buffer.length);
        VX_FUZZ_CHECK(results.data <= buffer.data + buffer.length);
      } else {
        VX_FUZZ_CHECK(bytes == nullptr && n == 0);
      }
    }
  }
  vx_rpc_buffer_free(&buffer);
  return 0;
}
