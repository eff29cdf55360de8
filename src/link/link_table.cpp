#include "link/link_table.h"

#include <cstdlib>

#include "log/call_log.h"

LinkSlot vx_link_table[VX_LINK_COUNT];
void* (*vx_link_alloc)(size_t size) = malloc;

namespace {

vxp_mutex* linkListMutex = nullptr;
std::atomic<bool> attached{false};

}  // namespace

void vx_lib_attach() {
  if (attached.exchange(true)) return;
  for (LinkSlot& s : vx_link_table) {
    s.context = nullptr;
    s.ops = TransportOps{};
    s.pendingData = nullptr;
    s.pendingLength = 0;
    s.blockSize = 0;
    s.blockConsumed = 0;
    s.blockOwed = 0;
    s.useLock = 0;
    s.lockMutex = nullptr;
    vx_gate_reset(&s.gate);
  }
  linkListMutex = vxp_mutex_create();
}

// Links still open are left alone: their transports may already be gone
// with the rest of the process.
void vx_lib_detach() {
  if (!attached.exchange(false)) return;
  vxp_mutex_destroy(linkListMutex);
  linkListMutex = nullptr;
}

// Without a mutex (creation failed at load) the steps it guards run
// unguarded, as there is no way to report the failure.
void vx_link_list_lock() { vxp_mutex_lock(linkListMutex); }
void vx_link_list_unlock() { vxp_mutex_unlock(linkListMutex); }

LinkSlot* vx_link_enter(ViInt32 linkId) {
  if (linkId < 1 || linkId > VX_LINK_COUNT) return nullptr;
  LinkSlot* s = &vx_link_table[linkId - 1];
  return vx_gate_enter(&s->gate) ? s : nullptr;
}

void vx_link_leave(LinkSlot* slot) {
  if (vx_gate_leave(&slot->gate)) vx_link_finish_close(slot, false);
}

ViInt32 vx_link_id(const LinkSlot* slot) { return (ViInt32)(slot - vx_link_table) + 1; }

bool vx_link_any_taken() {
  for (const LinkSlot& s : vx_link_table)
    if (!vx_gate_is_closed(&s.gate)) return true;
  return false;
}

bool vx_link_closing(const LinkSlot* slot) { return vx_gate_is_closing(&slot->gate); }

ViStatus vx_link_outcome(const LinkSlot* slot, ViStatus status) {
  return status < VI_SUCCESS && vx_link_closing(slot) ? VI_ERROR_CONN_LOST : status;
}

void vx_link_lock(LinkSlot* slot, const char* name) {
  if (slot->useLock == 0 || slot->lockMutex == nullptr) return;
  writeLog("vx_comm_lock(%p, %s)\n", (void*)slot, name);
  if (vxp_mutex_trylock(slot->lockMutex) == VXP_BUSY) {
    writeLog("vx_comm_lock(%p, %s): locked, waiting\n", (void*)slot, name);
    vxp_mutex_lock(slot->lockMutex);
    writeLog("vx_comm_lock(%p, %s): got lock after waiting\n", (void*)slot, name);
  }
}

void vx_link_unlock(LinkSlot* slot, const char* name) {
  if (slot->useLock == 0 || slot->lockMutex == nullptr) return;
  writeLog("vx_comm_unlock(%p, %s)\n", (void*)slot, name);
  vxp_mutex_unlock(slot->lockMutex);
}

void vx_link_reset_state(LinkSlot* slot) {
  free(slot->pendingData);
  slot->pendingData = nullptr;
  slot->pendingLength = 0;
  slot->blockSize = 0;
  slot->blockConsumed = 0;
  slot->blockOwed = 0;
}
