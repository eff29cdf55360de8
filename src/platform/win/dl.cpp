// Win32 side of the platform layer: dynamic loading.
#include <windows.h>
#include <cstdlib>
#include <cstring>

#include "platform/dl.h"
#include "platform/win/wide_text.h"

// Looked for in the program's folder (where a host may ship its own VISA)
// and in System32 (where VISA installers put it), never in the current
// folder or on PATH, where anyone may have left a visa32.dll. Its own
// imports are looked up in the same two folders, which are the folders it
// was found in: a VISA library beside its helpers still finds them.
const char vxp_visa_file_name[] = "visa32.dll";
const char vxp_visa_search[] = "the program's folder and System32 (not the current folder, not PATH)";
const DWORD kSearchScope = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;

void* vxp_dl_open(const char* fileName) {
  if (!fileName) return nullptr;
  wchar_t* name = vxp_win_widen(fileName);
  if (!name) return nullptr;
  HMODULE lib = LoadLibraryExW(name, nullptr, kSearchScope);
  free(name);
  return reinterpret_cast<void*>(lib);
}

void* vxp_dl_sym(void* lib, const char* name) {
  if (!lib || !name) return nullptr;
  FARPROC f = GetProcAddress(static_cast<HMODULE>(lib), name);
  // Function and object pointers have the same size and form on Windows.
  void* p;
  static_assert(sizeof p == sizeof f, "function pointers must fit in void*");
  memcpy(&p, &f, sizeof p);
  return p;
}

void vxp_dl_close(void* lib) {
  if (lib) FreeLibrary(static_cast<HMODULE>(lib));
}
