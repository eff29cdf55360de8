// POSIX side of the platform layer: threads.
#include "platform/thread.h"

#include <limits.h>
#include <pthread.h>
#include <new>

struct vxp_thread {
  pthread_t id;
  vxp_thread_fn fn;
  void* arg;
};

static void* thread_main(void* p) {
  vxp_thread* t = static_cast<vxp_thread*>(p);
  t->fn(t->arg);
  return nullptr;
}

vxp_thread* vxp_thread_start(vxp_thread_fn fn, void* arg, size_t stackSize) {
  // Callers pass Windows-style initial commitments (a few KiB); a POSIX
  // stack does not grow past its size, so give real code room to run.
  const size_t minimum = 256 * 1024;
  if (stackSize < minimum) stackSize = minimum;
  vxp_thread* t = new (std::nothrow) vxp_thread;
  if (!t) return nullptr;
  t->fn = fn;
  t->arg = arg;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    delete t;
    return nullptr;
  }
  pthread_attr_setstacksize(&attr, stackSize);
  int rc = pthread_create(&t->id, &attr, thread_main, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete t;
    return nullptr;
  }
  return t;
}

void vxp_thread_join(vxp_thread* t) {
  if (!t) return;
  pthread_join(t->id, nullptr);
  delete t;
}
