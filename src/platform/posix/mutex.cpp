// POSIX side of the platform layer: the unnamed recursive mutex.
#include "platform/mutex.h"

#include <errno.h>
#include <pthread.h>
#include <new>

struct vxp_mutex {
  pthread_mutex_t m;
};

vxp_mutex* vxp_mutex_create() {
  vxp_mutex* m = new (std::nothrow) vxp_mutex;
  if (!m) return nullptr;
  pthread_mutexattr_t attr;
  bool ok = pthread_mutexattr_init(&attr) == 0;
  if (ok) {
    ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
         pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
         pthread_mutex_init(&m->m, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
  }
  if (!ok) {
    delete m;
    return nullptr;
  }
  return m;
}

void vxp_mutex_destroy(vxp_mutex* m) {
  if (!m) return;
  pthread_mutex_destroy(&m->m);
  delete m;
}

// EOWNERDEAD: the owner ended while holding it. The caller now owns it;
// marking it consistent makes it usable as if it had been free.
static vxp_lock_result lock_outcome(vxp_mutex* m, int rc) {
  if (rc == 0) return VXP_LOCKED;
  if (rc == EOWNERDEAD) {
    pthread_mutex_consistent(&m->m);
    return VXP_LOCKED;
  }
  if (rc == EBUSY) return VXP_BUSY;
  return VXP_LOCK_ERROR;
}

vxp_lock_result vxp_mutex_trylock(vxp_mutex* m) {
  if (!m) return VXP_LOCK_ERROR;
  return lock_outcome(m, pthread_mutex_trylock(&m->m));
}

bool vxp_mutex_lock(vxp_mutex* m) {
  if (!m) return false;
  return lock_outcome(m, pthread_mutex_lock(&m->m)) == VXP_LOCKED;
}

void vxp_mutex_unlock(vxp_mutex* m) {
  if (m) pthread_mutex_unlock(&m->m);
}
