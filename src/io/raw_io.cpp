// Raw transfers, clear and timeout: the bytes go through untouched.
#include "io/block.h"
#include "io/transfer.h"
#include "link/link_call.h"
#include "log/call_log.h"

namespace {

typedef ViStatus (*ReadOp)(void*, void*, ViInt32, ViInt32*);

int shown(const ViInt32* retCount) { return retCount ? (int)*retCount : 0; }

}  // namespace

extern "C" ViStatus vx_comm_write(ViInt32 linkId, const void* buffer, ViInt32 count, ViInt32* retCount) {
  LinkCall call(linkId);
  if (!call) return VI_ERROR_CONN_LOST;
  if (!buffer && count > 0) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_write(linkId=%d, buffer=%p, count=%d, retCount=%p)\n", (int)linkId, buffer, (int)count,
           (void*)retCount);
  LinkSlot* slot = call.slot();
  ViStatus status =
      call.locked("vx_comm_write", [&] { return vx_block_raw_write(slot, buffer, count, retCount, false); });
  writeLog("vx_comm_write() returns: status=%d, retCount=%d\n", (int)status, shown(retCount));
  return status;
}

extern "C" ViStatus vx_comm_read(ViInt32 linkId, void* buffer, ViInt32 count, ViInt32* retCount) {
  LinkCall call(linkId);
  if (!call) return VI_ERROR_CONN_LOST;
  if (!buffer && count > 0) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_read(linkId=%d, buffer=%p, count=%d, retCount=%p)\n", (int)linkId, buffer, (int)count,
           (void*)retCount);
  LinkSlot* slot = call.slot();
  ViStatus status = call.locked("vx_comm_read", [&] { return slot->ops.read(slot->context, buffer, count, retCount); });
  writeLog("vx_comm_read() returns: status=%d, retCount=%d\n", (int)status, shown(retCount));
  return status;
}

extern "C" ViStatus vx_comm_writeBlocking(ViInt32 linkId, const void* buffer, ViInt32 count, ViInt32* retCount) {
  LinkCall call(linkId);
  if (!call) return VI_ERROR_CONN_LOST;
  if (!buffer && count > 0) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_writeBlocking(linkId=%d, buffer=%p, count=%d, retCount=%p)\n", (int)linkId, buffer, (int)count,
           (void*)retCount);
  LinkSlot* slot = call.slot();
  ViStatus status =
      call.locked("vx_comm_writeBlocking", [&] { return vx_block_raw_write(slot, buffer, count, retCount, true); });
  writeLog("vx_comm_writeBlocking() returns: status=%d, retCount=%d\n", (int)status, shown(retCount));
  return status;
}

extern "C" ViStatus vx_comm_readBlocking(ViInt32 linkId, void* buffer, ViInt32 count, ViInt32* retCount) {
  LinkCall call(linkId);
  if (!call) return VI_ERROR_CONN_LOST;
  if (!buffer && count > 0) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_readBlocking(linkId=%d, buffer=%p, count=%d, retCount=%p)\n", (int)linkId, buffer, (int)count,
           (void*)retCount);
  LinkSlot* slot = call.slot();
  ViStatus status = call.locked("vx_comm_readBlocking", [&] {
    return vx_move_all<ReadOp>(slot->ops.read, slot->context, static_cast<uint8_t*>(buffer), count, retCount);
  });
  writeLog("vx_comm_readBlocking() returns: status=%d, retCount=%d\n", (int)status, shown(retCount));
  return status;
}

// The work of vx_comm_clear_async on a slot the caller has entered; also the
// inner step of vx_comm_clear, so that a close beginning meanwhile cannot
// make the inner step fail after the outer call was admitted.
static ViStatus clear_entered(LinkCall& call) {
  LinkSlot* slot = call.slot();
  writeLog("vx_comm_clear_async(linkId=%d)\n", (int)call.linkId());
  vx_srq_interrupt(&slot->srq);
  ViStatus status = call.unlocked([&] { return slot->ops.clear(slot->context); });
  {
    std::lock_guard<std::mutex> hold(slot->stateLock);
    vx_link_reset_state(slot);
  }
  writeLog("vx_comm_clear_async() returns: status=%d\n", (int)status);
  return status;
}

extern "C" ViStatus vx_comm_clear_async(ViInt32 linkId) {
  LinkCall call(linkId);
  if (!call) {
    writeLog("vx_comm_clear_async() error: VI_ERROR_CONN_LOST\n");
    return VI_ERROR_CONN_LOST;
  }
  return clear_entered(call);
}

extern "C" ViStatus vx_comm_clear(ViInt32 linkId) {
  LinkCall call(linkId);
  if (!call) {
    writeLog("vx_comm_clear() error: VI_ERROR_CONN_LOST\n");
    return VI_ERROR_CONN_LOST;
  }
  writeLog("vx_comm_clear(linkId=%d)\n", (int)linkId);
  ViStatus status = call.locked("vx_comm_clear", [&] { return clear_entered(call); });
  writeLog("vx_comm_clear() returns: status=%d\n", (int)status);
  return status;
}

extern "C" ViStatus vx_comm_setTmoMs(ViInt32 linkId, ViInt32 tmoMs) {
  LinkCall call(linkId);
  if (!call) {
    writeLog("vx_comm_setTmoMs() error: VI_ERROR_CONN_LOST\n");
    return VI_ERROR_CONN_LOST;
  }
  writeLog("vx_comm_setTmoMs(linkId=%d, tmoMs=%d)\n", (int)linkId, (int)tmoMs);
  LinkSlot* slot = call.slot();
  ViStatus status = call.locked("vx_comm_setTmoMs", [&] { return slot->ops.setTimeout(slot->context, tmoMs); });
  writeLog("vx_comm_setTmoMs() returns: status=%d\n", (int)status);
  return status;
}
