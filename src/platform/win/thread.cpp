// Win32 side of the platform layer: threads.
#include <windows.h>
#include <new>

#include "platform/thread.h"

struct vxp_thread {
  HANDLE h;
  vxp_thread_fn fn;
  void* arg;
};

static DWORD WINAPI thread_main(LPVOID p) {
  vxp_thread* t = static_cast<vxp_thread*>(p);
  t->fn(t->arg);
  return 0;
}

vxp_thread* vxp_thread_start(vxp_thread_fn fn, void* arg, size_t stackSize) {
  vxp_thread* t = new (std::nothrow) vxp_thread;
  if (!t) return nullptr;
  t->fn = fn;
  t->arg = arg;
  // stackSize is the initial commitment; the stack grows on demand up to the
  // reservation in the executable's header, so small values are safe.
  t->h = CreateThread(nullptr, stackSize, thread_main, t, 0, nullptr);
  if (!t->h) {
    delete t;
    return nullptr;
  }
  return t;
}

void vxp_thread_join(vxp_thread* t) {
  if (!t) return;
  WaitForSingleObject(t->h, INFINITE);
  CloseHandle(t->h);
  delete t;
}
