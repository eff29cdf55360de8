// Service requests over any transport: the link's queue (link/srq_queue.h)
// collects what the transport posts; a wait takes from it without the
// per-link lock, and reads the status byte under it when the notification
// carried none.
#include "link/link_call.h"
#include "log/call_log.h"

extern "C" ViStatus vx_comm_enableSrq(ViInt32 linkId, ViInt32 enable) {
  LinkCall call(linkId);
  if (!call) {
    writeLog("vx_comm_enableSrq() error: VI_ERROR_CONN_LOST\n");
    return VI_ERROR_CONN_LOST;
  }
  writeLog("vx_comm_enableSrq(linkId=%d, enable=%d)\n", (int)linkId, (int)enable);
  LinkSlot* slot = call.slot();
  vx_srq_queue* q = &slot->srq;
  std::lock_guard<std::mutex> one(q->switchLock);
  ViStatus status = call.locked("vx_comm_enableSrq", [&] {
    if (enable != 0) {
      if (vx_srq_collecting(q)) return VI_SUCCESS;
      // Collecting first: a request that comes while the transport starts
      // is kept.
      vx_srq_collect(q, true);
      const ViStatus s = slot->ops.srqEnable(slot->context, &q->sink);
      if (s < VI_SUCCESS) vx_srq_collect(q, false);
      return s;
    }
    if (!vx_srq_collecting(q)) return VI_SUCCESS;
    const ViStatus s = slot->ops.srqEnable(slot->context, nullptr);
    vx_srq_collect(q, false);
    return s;
  });
  writeLog("vx_comm_enableSrq() returns: status=%d\n", (int)status);
  return status;
}

extern "C" ViStatus vx_comm_waitSrq(ViInt32 linkId, ViInt32 tmoMs, ViUInt16* stb, ViInt32* dropped) {
  LinkCall call(linkId);
  if (!call) {
    writeLog("vx_comm_waitSrq() error: VI_ERROR_CONN_LOST\n");
    return VI_ERROR_CONN_LOST;
  }
  if (!stb) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_waitSrq(linkId=%d, tmoMs=%d)\n", (int)linkId, (int)tmoMs);
  LinkSlot* slot = call.slot();
  int carried = -1;
  ViInt32 lost = 0;
  ViStatus status = vx_srq_wait(&slot->srq, tmoMs, &carried, &lost);
  if (lost > 0)
    writeLog("vx_comm_waitSrq(): %d service requests were dropped: the queue of %d was full\n", (int)lost,
             (int)VX_SRQ_QUEUE_LENGTH);
  if (dropped) *dropped = lost;
  ViUInt16 value = carried >= 0 ? (ViUInt16)carried : 0;
  if (status == VI_SUCCESS && carried < 0) {
    // The notification named no status byte: a serial poll reads it (and
    // on VXI-11 and HiSLIP lets the instrument drop its request).
    status = call.locked("vx_comm_waitSrq", [&] { return slot->ops.readStb(slot->context, &value); });
  } else {
    status = call.unlocked([status] { return status; });
  }
  if (status >= VI_SUCCESS) *stb = value;
  writeLog("vx_comm_waitSrq() returns: status=%d, stb=%d\n", (int)status, status >= VI_SUCCESS ? (int)value : 0);
  return status;
}
