// Win32 side of the platform layer: the unnamed recursive mutex.
#include <windows.h>
#include <new>

#include "platform/mutex.h"

// A Win32 mutex is recursive, and the next wait after its owner thread ends
// returns WAIT_ABANDONED with ownership granted, which is what the shared
// code expects from a robust mutex.
struct vxp_mutex {
  HANDLE h;
};

static vxp_lock_result wait_outcome(DWORD rc) {
  if (rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED) return VXP_LOCKED;
  if (rc == WAIT_TIMEOUT) return VXP_BUSY;
  return VXP_LOCK_ERROR;
}

vxp_mutex* vxp_mutex_create() {
  vxp_mutex* m = new (std::nothrow) vxp_mutex;
  if (!m) return nullptr;
  m->h = CreateMutexW(nullptr, FALSE, nullptr);
  if (!m->h) {
    delete m;
    return nullptr;
  }
  return m;
}

void vxp_mutex_destroy(vxp_mutex* m) {
  if (!m) return;
  CloseHandle(m->h);
  delete m;
}

vxp_lock_result vxp_mutex_trylock(vxp_mutex* m) {
  if (!m) return VXP_LOCK_ERROR;
  return wait_outcome(WaitForSingleObject(m->h, 0));
}

bool vxp_mutex_lock(vxp_mutex* m) {
  if (!m) return false;
  return wait_outcome(WaitForSingleObject(m->h, INFINITE)) == VXP_LOCKED;
}

void vxp_mutex_unlock(vxp_mutex* m) {
  if (m) ReleaseMutex(m->h);
}
