// Win32 side of the platform layer: the machine-wide named mutex.
//
// The reservation is the existence of the named kernel object, not its
// ownership: the mutex is created owned and never waited on, so it does not
// matter which thread created it, whether that thread has ended (the mutex
// is then abandoned but still exists), or which thread closes the handle.
// A second CreateMutexW of the name, from any process, reports
// ERROR_ALREADY_EXISTS (or ERROR_ACCESS_DENIED across users): refused.
#include <windows.h>

#include <cstdlib>
#include <new>

#include "platform/named_mutex.h"
#include "platform/win/wide_text.h"

struct vxp_named_mutex {
  HANDLE h;
};

vxp_named_mutex* vxp_named_mutex_claim(const char* name) {
  if (!name || !name[0]) return nullptr;
  wchar_t* text = vxp_win_widen(name);
  if (!text) return nullptr;
  HANDLE h = CreateMutexW(nullptr, TRUE, text);
  DWORD err = GetLastError();
  free(text);
  if (!h) return nullptr;
  if (err == ERROR_ALREADY_EXISTS) {
    CloseHandle(h);
    return nullptr;
  }
  vxp_named_mutex* m = new (std::nothrow) vxp_named_mutex;
  if (!m) {
    CloseHandle(h);
    return nullptr;
  }
  m->h = h;
  return m;
}

// Every failure here means the name is held (or is no kernel name at all).
const char* vxp_named_mutex_take_problem() { return nullptr; }

void vxp_named_mutex_release(vxp_named_mutex* m) {
  if (!m) return;
  CloseHandle(m->h);
  delete m;
}
