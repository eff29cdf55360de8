// The records of the interrupt channel, read as RPC calls.
#include "transport/vxi11/intr_call.h"

#include "transport/vxi11/vxi11_core.h"
#include "transport/vxi11/xdr.h"

namespace {

const uint32_t kCall = 0, kRpcVersion = 2;
// The most an authentication body may hold.
const uint32_t kMaxAuth = 400;

// Skips an opaque_auth (flavour and body); false when it does not fit.
bool skip_auth(XdrReader* r) {
  vx_xdr_get(r);
  const uint8_t* body = nullptr;
  uint32_t n = 0;
  vx_xdr_get_opaque(r, &body, &n);
  return r->ok && n <= kMaxAuth;
}

}  // namespace

IntrCall vx_intr_read_call(const uint8_t* record, size_t length, const uint8_t** handle, uint32_t* handleLength) {
  *handle = nullptr;
  *handleLength = 0;
  XdrReader r = vx_xdr_reader(record, length);
  vx_xdr_get(&r);  // xid: nothing answers it
  const uint32_t type = vx_xdr_get(&r);
  const uint32_t rpcVersion = vx_xdr_get(&r);
  const uint32_t prog = vx_xdr_get(&r);
  const uint32_t vers = vx_xdr_get(&r);
  const uint32_t proc = vx_xdr_get(&r);
  if (!r.ok || type != kCall || !skip_auth(&r) || !skip_auth(&r)) return INTR_CALL_MALFORMED;
  if (rpcVersion != kRpcVersion || prog != VX_VXI11_INTR_PROG || vers != VX_VXI11_VERSION ||
      proc != VX_VXI11_INTR_SRQ)
    return INTR_CALL_OTHER;
  const uint8_t* bytes = nullptr;
  uint32_t n = 0;
  vx_xdr_get_opaque(&r, &bytes, &n);
  if (!r.ok || n > VX_VXI11_MAX_HANDLE) return INTR_CALL_MALFORMED;
  *handle = bytes;
  *handleLength = n;
  return INTR_CALL_SRQ;
}
