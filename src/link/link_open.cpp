// vx_comm_open and vx_comm_close: the only places where a slot passes
// between free and taken.
#include <cstring>

#include "link/link_table.h"
#include "log/call_log.h"
#include "log/last_error.h"
#include "platform/named_mutex.h"
#include "platform/usb_driver.h"
#include "transport/route.h"

namespace {

// How long a close waits for the calls it interrupted to leave.
const uint32_t kDrainLimitMs = 1000;

// Every field but the gate back to zero; the gate is the caller's.
void wipe(LinkSlot* s) {
  s->context = nullptr;
  s->ops = TransportOps{};
  s->pendingData = nullptr;
  s->pendingLength = 0;
  s->blockSize = 0;
  s->blockConsumed = 0;
  s->blockOwed = 0;
  s->useLock = 0;
  s->lockMutex = nullptr;
}

void drop_lock_mutex(LinkSlot* s) {
  if (s->useLock != 0 && s->lockMutex != nullptr) vxp_mutex_destroy(s->lockMutex);
  s->lockMutex = nullptr;
}

}  // namespace

extern "C" ViStatus vx_comm_open(const char* address, ViInt32 tmoMs, ViInt32* linkId) {
  // Emptied before anything is chosen: whatever the open logs from here,
  // the refusal of a name included, is its reason.
  vx_last_error_begin();
  // These two fail without a log line (the log's format is fixed), but
  // with a reason.
  if (!address || !linkId) {
    vx_last_error_note(address ? "vx_comm_open() error: linkId is null" : "vx_comm_open() error: address is null");
    return VI_ERROR_SYSTEM_ERROR;
  }
  writeLog("vx_comm_open(address=%s, tmoMs=%d)\n", address, (int)tmoMs);
  *linkId = -1;

  TransportRoute route;
  vx_route_choose(address, &route);

  vx_link_list_lock();
  LinkSlot* slot = nullptr;
  // Reserved from here on, so no other open chooses it while this one
  // connects without the mutex, nor while a failed attempt is being undone.
  for (LinkSlot& s : vx_link_table) {
    if (vx_gate_reserve(&s.gate)) {
      slot = &s;
      break;
    }
  }
  if (!slot) {
    vx_link_list_unlock();
    vx_last_error_note("vx_comm_open() error: all 100 links are in use");
    return VI_ERROR_SYSTEM_ERROR;
  }
  wipe(slot);
  if (route.ops) slot->ops = *route.ops;
  if (route.perLinkLock) {
    slot->useLock = 1;
    slot->lockMutex = vxp_mutex_create();
  }
  vx_link_list_unlock();

  ViInt32 result = -1;
  vxp_named_mutex_take_problem();  // none left from an earlier claim
  vxp_usb_take_problem();
  // A name nothing serves fails here, after the slot, so that the statuses
  // stay those of every other failed open (a full table still answers
  // VI_ERROR_SYSTEM_ERROR).
  if (!route.ops)
    writeLog(
        "vx_comm_open() error: no usable VISA library is loaded, and the library does not serve this name itself: %s\n",
        route.refusal);
  const bool opened = route.ops && slot->ops.open(route.address, tmoMs, slot) == VI_SUCCESS;
  // A device that could not be reserved or reached for a reason of the
  // machine's own (the reservation directory, no USB service) says so, as
  // nothing else would.
  const char* reservation = vxp_named_mutex_take_problem();
  const char* bus = vxp_usb_take_problem();
  if (!opened) {
    if (reservation) writeLog("vx_comm_open() error: cannot reserve the device: %s\n", reservation);
    if (bus) writeLog("vx_comm_open() error: %s\n", bus);
    writeLog("vx_comm_open() error: failed opening a physical link\n");
    vx_link_list_lock();
    drop_lock_mutex(slot);
    wipe(slot);
    vx_gate_unreserve(&slot->gate);
    vx_link_list_unlock();
  } else {
    result = vx_link_id(slot);
    vx_gate_open(&slot->gate);
    vx_last_error_end("vx_comm_open", VI_SUCCESS);  // a line on the way was no failure
  }
  writeLog("vx_comm_open() returns: linkId=%d\n", (int)result);
  *linkId = result;
  return VI_SUCCESS;
}

extern "C" ViStatus vx_comm_close(ViInt32 linkId) {
  vx_last_error_begin();
  if (linkId < 1 || linkId > VX_LINK_COUNT) return VI_ERROR_CONN_LOST;
  LinkSlot* slot = &vx_link_table[linkId - 1];
  // Only one close wins; from then on every new call on the link is refused
  // as on a closed one.
  bool callsInside = false;
  if (!vx_gate_begin_close(&slot->gate, &callsInside)) return VI_ERROR_CONN_LOST;
  writeLog("vx_comm_close(linkId=%d)\n", (int)linkId);

  // Calls under way (or waiting for the per-link lock) still use the
  // context. A call blocked without a time limit would keep the close
  // waiting for ever, so the transport interrupts them; they report
  // VI_ERROR_CONN_LOST and leave, and only then is the context released.
  // A call the transport could not interrupt in time (a VISA library that
  // holds on) finishes the close itself when it leaves, so the close
  // returns within the bound and nothing is released under it.
  // A wait for a service request is inside without a transport call.
  vx_srq_close(&slot->srq);
  if (callsInside) slot->ops.abort(slot->context);
  if (vx_gate_drain(&slot->gate, kDrainLimitMs) || vx_gate_hand_off(&slot->gate)) vx_link_finish_close(slot, true);
  writeLog("vx_comm_close() returns: status is always VI_SUCCESS\n");
  return VI_SUCCESS;
}

void vx_link_finish_close(LinkSlot* slot, bool logged) {
  vx_link_lock(slot, "vx_comm_close");
  slot->ops.close(slot->context);
  vx_link_unlock(slot, "vx_comm_close");
  // The transport posts no more once its close has returned.
  vx_srq_reset(&slot->srq);

  if (logged) writeLog("vx_comm_close(): locking link list mutex\n");
  vx_link_list_lock();
  if (logged) writeLog("vx_comm_close(): got link list mutex\n");
  drop_lock_mutex(slot);
  {
    std::lock_guard<std::mutex> hold(slot->stateLock);
    vx_link_reset_state(slot);
  }
  slot->context = nullptr;
  vx_gate_finish_close(&slot->gate);
  vx_link_list_unlock();
}
