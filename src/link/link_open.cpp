// vx_comm_open and vx_comm_close: the only places where a slot passes
// between free and taken.
#include <cstring>

#include "link/link_table.h"
#include "log/call_log.h"
#include "platform/named_mutex.h"
#include "transport/tcp/tcp_transport.h"
#include "transport/usb/usb_device.h"
#include "transport/visa/visa_transport.h"
#include "transport/vxi11/vxi11_transport.h"

namespace {

enum LinkKind { KIND_TCP, KIND_USB, KIND_VISA, KIND_VXI11 };

// How long a close waits for the calls it interrupted to leave.
const uint32_t kDrainLimitMs = 1000;

LinkKind classify(const char* address, const char** handedOn) {
  *handedOn = address;
  if (strncmp(address, "TCP-", 4) == 0) {
    *handedOn = address + 4;
    return KIND_TCP;
  }
  if (address[0] >= '0' && address[0] <= '9') return KIND_TCP;
  if (strncmp(address, "USB-", 4) == 0) return KIND_USB;
  // A LAN instrument's INSTR resource is reached natively, over VXI-11.
  if ((strncmp(address, "TCPIP", 5) == 0 || strncmp(address, "tcpip", 5) == 0) && strstr(address, "::") &&
      !strstr(address, "::SOCKET"))
    return KIND_VXI11;
  return KIND_VISA;
}

const TransportOps* ops_for(LinkKind kind) {
  switch (kind) {
    case KIND_TCP:
      return &vx_tcp_ops;
    case KIND_USB:
      return &vx_usb_ops;
    case KIND_VXI11:
      return &vx_vxi11_ops;
    case KIND_VISA:
      break;
  }
  return &vx_visa_ops;
}

// Every field but the gate back to zero; the gate is the caller's.
void wipe(LinkSlot* s) {
  s->context = nullptr;
  s->ops = TransportOps{};
  s->pendingData = nullptr;
  s->pendingLength = 0;
  s->blockSize = 0;
  s->blockConsumed = 0;
  s->useLock = 0;
  s->lockMutex = nullptr;
}

void drop_lock_mutex(LinkSlot* s) {
  if (s->useLock != 0 && s->lockMutex != nullptr) vxp_mutex_destroy(s->lockMutex);
  s->lockMutex = nullptr;
}

}  // namespace

extern "C" ViStatus vx_comm_open(const char* address, ViInt32 tmoMs, ViInt32* linkId) {
  if (!address || !linkId) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_open(address=%s, tmoMs=%d)\n", address, (int)tmoMs);
  *linkId = -1;

  const char* handedOn;
  LinkKind kind = classify(address, &handedOn);

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
    return VI_ERROR_SYSTEM_ERROR;
  }
  wipe(slot);
  slot->ops = *ops_for(kind);
  if (kind == KIND_USB) {
    slot->useLock = 1;
    slot->lockMutex = vxp_mutex_create();
  }
  vx_link_list_unlock();

  ViInt32 result = -1;
  vxp_named_mutex_take_problem();  // none left from an earlier claim
  const bool opened = slot->ops.open(handedOn, tmoMs, slot) == VI_SUCCESS;
  // A device that could not be reserved for a reason of the machine's own
  // (the reservation directory) says so, as nothing else would.
  const char* reservation = vxp_named_mutex_take_problem();
  if (!opened) {
    if (reservation) writeLog("vx_comm_open() error: cannot reserve the device: %s\n", reservation);
    writeLog("vx_comm_open() error: failed opening a physical link\n");
    vx_link_list_lock();
    drop_lock_mutex(slot);
    wipe(slot);
    vx_gate_unreserve(&slot->gate);
    vx_link_list_unlock();
  } else {
    result = vx_link_id(slot);
    vx_gate_open(&slot->gate);
  }
  writeLog("vx_comm_open() returns: linkId=%d\n", (int)result);
  *linkId = result;
  return VI_SUCCESS;
}

extern "C" ViStatus vx_comm_close(ViInt32 linkId) {
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
  if (callsInside) slot->ops.abort(slot->context);
  if (vx_gate_drain(&slot->gate, kDrainLimitMs) || vx_gate_hand_off(&slot->gate)) vx_link_finish_close(slot, true);
  writeLog("vx_comm_close() returns: status is always VI_SUCCESS\n");
  return VI_SUCCESS;
}

void vx_link_finish_close(LinkSlot* slot, bool logged) {
  vx_comm_lock(slot, "vx_comm_close");
  slot->ops.close(slot->context);
  vx_comm_unlock(slot, "vx_comm_close");

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
