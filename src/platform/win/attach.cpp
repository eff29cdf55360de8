// Win32 side of the platform layer: attach and detach.
#include <windows.h>

#include "platform/attach.h"

// Only process attach and detach matter; thread notifications are turned off
// so that thread starts in the host do not take the loader lock for us. When
// this file is linked into an executable, Windows never calls this.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    vx_lib_attach();
  } else if (reason == DLL_PROCESS_DETACH) {
    vx_lib_detach();
  }
  return TRUE;
}
