#include "link/link_table.h"

#include <cstdlib>

#include "log/call_log.h"

LinkSlot vx_link_table[VX_LINK_COUNT];
void* (*vx_link_alloc)(size_t size) = malloc;

namespace {

vxp_mutex* linkListMutex = nullptr;
std::atomic<bool> attached{false};

const uint32_t kStateMask = 3u;
const uint32_t kOneCall = 4u;

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
    s.useLock = 0;
    s.lockMutex = nullptr;
    s.guard.store(LINK_FREE);
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
  uint32_t g = s->guard.load(std::memory_order_acquire);
  do {
    if ((g & kStateMask) != LINK_OPEN) return nullptr;
  } while (!s->guard.compare_exchange_weak(g, g + kOneCall, std::memory_order_acq_rel, std::memory_order_acquire));
  return s;
}

void vx_link_leave(LinkSlot* slot) { slot->guard.fetch_sub(kOneCall, std::memory_order_acq_rel); }

ViInt32 vx_link_id(const LinkSlot* slot) { return (ViInt32)(slot - vx_link_table) + 1; }

bool vx_link_any_taken() {
  for (const LinkSlot& s : vx_link_table)
    if ((s.guard.load(std::memory_order_acquire) & kStateMask) != LINK_FREE) return true;
  return false;
}

void vx_comm_lock(LinkSlot* slot, const char* name) {
  if (slot->useLock == 0 || slot->lockMutex == nullptr) return;
  writeLog("vx_comm_lock(%p, %s)\n", (void*)slot, name);
  if (vxp_mutex_trylock(slot->lockMutex) == VXP_BUSY) {
    writeLog("vx_comm_lock(%p, %s): locked, waiting\n", (void*)slot, name);
    vxp_mutex_lock(slot->lockMutex);
    writeLog("vx_comm_lock(%p, %s): got lock after waiting\n", (void*)slot, name);
  }
}

void vx_comm_unlock(LinkSlot* slot, const char* name) {
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
}
