// The instrument controls of IEEE 488 over any transport: the status byte,
// the device trigger and the remote state. Each is one transport
// operation, under the per-link lock; a route without the operation
// answers VI_ERROR_NSUP_OPER.
#include "link/link_call.h"
#include "log/call_log.h"

namespace {

// VISA's REN modes run from VI_GPIB_REN_DEASSERT to VI_GPIB_REN_ADDRESS_GTL.
bool known_mode(ViUInt16 mode) { return mode <= VI_GPIB_REN_ADDRESS_GTL; }

}  // namespace

extern "C" ViStatus vx_comm_readStb(ViInt32 linkId, ViUInt16* stb) {
  LinkCall call(linkId);
  if (!call) {
    writeLog("vx_comm_readStb() error: VI_ERROR_CONN_LOST\n");
    return VI_ERROR_CONN_LOST;
  }
  if (!stb) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_readStb(linkId=%d, stb=%p)\n", (int)linkId, (void*)stb);
  LinkSlot* slot = call.slot();
  ViUInt16 value = 0;
  ViStatus status = call.locked("vx_comm_readStb", [&] { return slot->ops.readStb(slot->context, &value); });
  // Only a status byte that was read reaches the caller.
  if (status >= VI_SUCCESS) *stb = value;
  writeLog("vx_comm_readStb() returns: status=%d, stb=%d\n", (int)status, status >= VI_SUCCESS ? (int)value : 0);
  return status;
}

extern "C" ViStatus vx_comm_trigger(ViInt32 linkId) {
  LinkCall call(linkId);
  if (!call) {
    writeLog("vx_comm_trigger() error: VI_ERROR_CONN_LOST\n");
    return VI_ERROR_CONN_LOST;
  }
  writeLog("vx_comm_trigger(linkId=%d)\n", (int)linkId);
  LinkSlot* slot = call.slot();
  ViStatus status = call.locked("vx_comm_trigger", [&] { return slot->ops.trigger(slot->context); });
  writeLog("vx_comm_trigger() returns: status=%d\n", (int)status);
  return status;
}

extern "C" ViStatus vx_comm_remote(ViInt32 linkId, ViUInt16 mode) {
  LinkCall call(linkId);
  if (!call) {
    writeLog("vx_comm_remote() error: VI_ERROR_CONN_LOST\n");
    return VI_ERROR_CONN_LOST;
  }
  if (!known_mode(mode)) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_remote(linkId=%d, mode=%d)\n", (int)linkId, (int)mode);
  LinkSlot* slot = call.slot();
  ViStatus status = call.locked("vx_comm_remote", [&] { return slot->ops.remote(slot->context, mode); });
  writeLog("vx_comm_remote() returns: status=%d\n", (int)status);
  return status;
}

extern "C" ViStatus vx_comm_lock(ViInt32 linkId, ViInt32 tmoMs) {
  LinkCall call(linkId);
  if (!call) {
    writeLog("vx_comm_lock() error: VI_ERROR_CONN_LOST\n");
    return VI_ERROR_CONN_LOST;
  }
  if (tmoMs < 0) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_lock(linkId=%d, tmoMs=%d)\n", (int)linkId, (int)tmoMs);
  LinkSlot* slot = call.slot();
  ViStatus status = call.locked("vx_comm_lock", [&] { return slot->ops.lock(slot->context, tmoMs); });
  writeLog("vx_comm_lock() returns: status=%d\n", (int)status);
  return status;
}

extern "C" ViStatus vx_comm_unlock(ViInt32 linkId) {
  LinkCall call(linkId);
  if (!call) {
    writeLog("vx_comm_unlock() error: VI_ERROR_CONN_LOST\n");
    return VI_ERROR_CONN_LOST;
  }
  writeLog("vx_comm_unlock(linkId=%d)\n", (int)linkId);
  LinkSlot* slot = call.slot();
  ViStatus status = call.locked("vx_comm_unlock", [&] { return slot->ops.unlock(slot->context); });
  writeLog("vx_comm_unlock() returns: status=%d\n", (int)status);
  return status;
}
