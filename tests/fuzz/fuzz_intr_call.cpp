// The interrupt channel's input: any host that reaches the library's
// interrupt server may send it. The bytes are a stream of records (read in
// pieces the input chooses, under the server's bound), each read as a call
// by vx_intr_read_call. Oracles: no record beyond its bound; a handle only
// in a device_intr_srq call, within its record and at most 40 bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

#include "fuzz_util.h"
#include "transport/vxi11/intr_call.h"
#include "transport/vxi11/rpc_record.h"

namespace {

struct Pieces {
  FuzzedDataProvider* in;
};

RpcReceive receive(void* context, uint8_t* buf, size_t len, size_t* got) {
  FuzzedDataProvider* in = static_cast<Pieces*>(context)->in;
  if (in->remaining_bytes() == 0) return RPC_RECV_ENDED;
  const size_t n = in->ConsumeIntegralInRange<size_t>(1, len < 64 ? len : 64);
  const std::vector<uint8_t> bytes = in->ConsumeBytes<uint8_t>(n);
  if (bytes.empty()) return RPC_RECV_ENDED;
  std::copy(bytes.begin(), bytes.end(), buf);
  *got = bytes.size();
  return RPC_RECV_BYTES;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx_fuzz_init();
  FuzzedDataProvider in(data, size);
  Pieces pieces{&in};
  const RpcByteSource source{&pieces, receive};
  const size_t limit = 1024;
  RpcBuffer record{nullptr, 0, 0};
  for (int k = 0; k < 64; ++k) {
    if (vx_rpc_record_read(&source, &record, limit, 0) != RPC_RECORD_OK) break;
    VX_FUZZ_CHECK(record.length <= limit);
    const uint8_t* handle = nullptr;
    uint32_t length = 99;
    const IntrCall kind = vx_intr_read_call(record.data, record.length, &handle, &length);
    if (kind == INTR_CALL_SRQ) {
      VX_FUZZ_CHECK(length <= 40);
      VX_FUZZ_CHECK(handle >= record.data && handle + length <= record.data + record.length);
    } else {
      VX_FUZZ_CHECK(handle == nullptr && length == 0);
    }
  }
  vx_rpc_buffer_free(&record);
  return 0;
}
