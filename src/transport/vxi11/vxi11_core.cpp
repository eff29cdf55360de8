// The VXI-11 procedures: arguments encoded, results decoded, bounded.
#include "transport/vxi11/vxi11_core.h"

#include <cstring>

namespace {

const uint32_t kCreateLink = 10, kDeviceWrite = 11, kDeviceRead = 12, kDeviceLock = 18, kDeviceUnlock = 19,
               kDestroyLink = 23, kDeviceAbort = 1, kEnableSrq = 20, kCreateIntrChan = 25, kDestroyIntrChan = 26;
const uint32_t kDeviceTcp = 0;  // the interrupt channel's prog_family
const uint32_t kFlagWaitLock = 1, kFlagEnd = 8;
const size_t kSmallReply = 1024;
// A device_read reply may carry a little more than asked of a device that
// miscounts; what is beyond the request is kept by the transport.
const size_t kReadSlack = 65536;

Vxi11Result call(RpcChannel* ch, uint32_t prog, uint32_t proc, const XdrWriter& args, const uint8_t* bulk,
                 size_t bulkLength, uint32_t waitMs, size_t replyLimit, XdrReader* results) {
  if (!args.ok) return Vxi11Result{RPC_REFUSED, 0};
  const RpcCall c{prog,       VX_VXI11_VERSION, proc,       args.data, args.length, bulk,
                  bulkLength, waitMs,           replyLimit, 0};
  Vxi11Result r{vx_rpc_call(ch, &c, results), 0};
  if (r.rpc == RPC_OK) {
    r.error = vx_xdr_get(results);
    if (!results->ok) {
      // A reply without even an error code: the peer cannot be trusted.
      ch->broken = true;
      r.rpc = RPC_LOST;
    }
  }
  return r;
}

// A successful reply whose results end early makes the channel
// untrustworthy; a failed one may leave out what it has no value for.
Vxi11Result checked(RpcChannel* ch, Vxi11Result r, const XdrReader& results) {
  if (r.rpc == RPC_OK && r.error == VXI11_NO_ERROR && !results.ok) {
    ch->broken = true;
    r.rpc = RPC_LOST;
  }
  return r;
}

}  // namespace

Vxi11Result vx_vxi11_create_link(RpcChannel* core, const char* device, uint32_t waitMs, Vxi11Link* link) {
  uint8_t buf[VX_RPC_MAX_ARGS];
  XdrWriter w = vx_xdr_writer(buf, sizeof buf);
  vx_xdr_put(&w, (uint32_t)(uintptr_t)core & 0x7FFFFFFFu);  // clientId: only echoed in interrupts
  vx_xdr_put(&w, 0);                                        // lockDevice: no
  vx_xdr_put(&w, 0);                                        // lock_timeout
  vx_xdr_put_opaque(&w, device, strlen(device));
  XdrReader res;
  Vxi11Result r = call(core, VX_VXI11_CORE_PROG, kCreateLink, w, nullptr, 0, waitMs, kSmallReply, &res);
  if (r.rpc != RPC_OK) return r;
  link->lid = vx_xdr_get(&res);
  const uint32_t abortPort = vx_xdr_get(&res);
  link->abortPort = abortPort > 65535 ? 0 : (uint16_t)abortPort;
  link->maxRecvSize = vx_xdr_get(&res);
  return checked(core, r, res);
}

Vxi11Result vx_vxi11_write(RpcChannel* core, uint32_t lid, const uint8_t* data, uint32_t length, bool end,
                           uint32_t ioTimeout, uint32_t lockTimeout, uint32_t waitMs, uint32_t* accepted) {
  *accepted = 0;
  uint8_t buf[24];
  XdrWriter w = vx_xdr_writer(buf, sizeof buf);
  vx_xdr_put(&w, lid);
  vx_xdr_put(&w, ioTimeout);
  vx_xdr_put(&w, lockTimeout);
  vx_xdr_put(&w, (end ? kFlagEnd : 0) | (lockTimeout ? kFlagWaitLock : 0));
  vx_xdr_put(&w, length);  // the opaque's length; its bytes follow as bulk
  XdrReader res;
  Vxi11Result r = call(core, VX_VXI11_CORE_PROG, kDeviceWrite, w, data, length, waitMs, kSmallReply, &res);
  if (r.rpc != RPC_OK) return r;
  *accepted = vx_xdr_get(&res);
  return checked(core, r, res);
}

Vxi11Result vx_vxi11_read(RpcChannel* core, uint32_t lid, uint32_t requestSize, uint32_t ioTimeout,
                          uint32_t lockTimeout, uint32_t waitMs,
                          const uint8_t** data, uint32_t* length, uint32_t* reason) {
  *data = nullptr;
  *length = 0;
  *reason = 0;
  uint8_t buf[24];
  XdrWriter w = vx_xdr_writer(buf, sizeof buf);
  vx_xdr_put(&w, lid);
  vx_xdr_put(&w, requestSize);
  vx_xdr_put(&w, ioTimeout);
  vx_xdr_put(&w, lockTimeout);
  // No termination character: lines are read by the library.
  vx_xdr_put(&w, lockTimeout ? kFlagWaitLock : 0);
  vx_xdr_put(&w, 0);  // termChar
  XdrReader res;
  const size_t limit = (size_t)requestSize + kReadSlack;
  Vxi11Result r = call(core, VX_VXI11_CORE_PROG, kDeviceRead, w, nullptr, 0, waitMs, limit, &res);
  if (r.rpc != RPC_OK) return r;
  *reason = vx_xdr_get(&res);
  vx_xdr_get_opaque(&res, data, length);
  return checked(core, r, res);
}

Vxi11Result vx_vxi11_generic(RpcChannel* core, Vxi11Generic proc, uint32_t lid, uint32_t ioTimeout,
                             uint32_t lockTimeout, uint32_t waitMs, uint8_t* stb) {
  uint8_t buf[16];
  XdrWriter w = vx_xdr_writer(buf, sizeof buf);
  vx_xdr_put(&w, lid);
  vx_xdr_put(&w, lockTimeout ? kFlagWaitLock : 0);
  vx_xdr_put(&w, lockTimeout);
  vx_xdr_put(&w, ioTimeout);
  XdrReader res;
  Vxi11Result r = call(core, VX_VXI11_CORE_PROG, proc, w, nullptr, 0, waitMs, kSmallReply, &res);
  if (r.rpc != RPC_OK || proc != VXI11_READSTB) return r;
  const uint32_t value = vx_xdr_get(&res);
  if (stb) *stb = (uint8_t)value;
  return checked(core, r, res);
}

namespace {

// destroy_link and device_abort: the link id is all they take.
Vxi11Result lid_call(RpcChannel* channel, uint32_t prog, uint32_t proc, uint32_t lid, uint32_t waitMs) {
  uint8_t buf[4];
  XdrWriter w = vx_xdr_writer(buf, sizeof buf);
  vx_xdr_put(&w, lid);
  XdrReader res;
  return call(channel, prog, proc, w, nullptr, 0, waitMs, kSmallReply, &res);
}

}  // namespace

Vxi11Result vx_vxi11_lock(RpcChannel* core, uint32_t lid, bool wait, uint32_t lockTimeout, uint32_t waitMs) {
  uint8_t buf[12];
  XdrWriter w = vx_xdr_writer(buf, sizeof buf);
  vx_xdr_put(&w, lid);
  vx_xdr_put(&w, wait ? kFlagWaitLock : 0);
  vx_xdr_put(&w, lockTimeout);
  XdrReader res;
  return call(core, VX_VXI11_CORE_PROG, kDeviceLock, w, nullptr, 0, waitMs, kSmallReply, &res);
}

Vxi11Result vx_vxi11_unlock(RpcChannel* core, uint32_t lid, uint32_t waitMs) {
  return lid_call(core, VX_VXI11_CORE_PROG, kDeviceUnlock, lid, waitMs);
}

Vxi11Result vx_vxi11_destroy_link(RpcChannel* core, uint32_t lid, uint32_t waitMs) {
  return lid_call(core, VX_VXI11_CORE_PROG, kDestroyLink, lid, waitMs);
}

Vxi11Result vx_vxi11_abort(RpcChannel* abortChannel, uint32_t lid, uint32_t waitMs) {
  return lid_call(abortChannel, VX_VXI11_ABORT_PROG, kDeviceAbort, lid, waitMs);
}

Vxi11Result vx_vxi11_create_intr_chan(RpcChannel* core, uint32_t hostAddr, uint16_t hostPort, uint32_t waitMs) {
  uint8_t buf[20];
  XdrWriter w = vx_xdr_writer(buf, sizeof buf);
  vx_xdr_put(&w, hostAddr);
  vx_xdr_put(&w, hostPort);  // an unsigned short travels as a whole XDR word
  vx_xdr_put(&w, VX_VXI11_INTR_PROG);
  vx_xdr_put(&w, VX_VXI11_VERSION);
  vx_xdr_put(&w, kDeviceTcp);
  XdrReader res;
  return call(core, VX_VXI11_CORE_PROG, kCreateIntrChan, w, nullptr, 0, waitMs, kSmallReply, &res);
}

Vxi11Result vx_vxi11_destroy_intr_chan(RpcChannel* core, uint32_t waitMs) {
  uint8_t buf[1];
  XdrWriter w = vx_xdr_writer(buf, 0);  // no arguments
  XdrReader res;
  return call(core, VX_VXI11_CORE_PROG, kDestroyIntrChan, w, nullptr, 0, waitMs, kSmallReply, &res);
}

Vxi11Result vx_vxi11_enable_srq(RpcChannel* core, uint32_t lid, bool enable, const uint8_t* handle, uint32_t length,
                                uint32_t waitMs) {
  uint8_t buf[12 + VX_VXI11_MAX_HANDLE];
  XdrWriter w = vx_xdr_writer(buf, sizeof buf);
  vx_xdr_put(&w, lid);
  vx_xdr_put(&w, enable ? 1 : 0);
  if (length == 0 || length > VX_VXI11_MAX_HANDLE) w.ok = false;  // an empty handle has crashed instruments
  vx_xdr_put_opaque(&w, handle, length);
  XdrReader res;
  return call(core, VX_VXI11_CORE_PROG, kEnableSrq, w, nullptr, 0, waitMs, kSmallReply, &res);
}
