// Win32 side of the platform layer: dynamic loading.
#include <windows.h>
#include <cstring>
#include <new>

#include "platform/dl.h"

// Looked for in the program's folder (where a host may ship its own VISA)
// and in System32 (where VISA installers put it), never in the current
// folder or on PATH, where anyone may have left a visa32.dll. Its own
// imports are looked up in the same two folders, which are the folders it
// was found in: a VISA library beside its helpers still finds them.
const char vxp_visa_file_name[] = "visa32.dll";
const DWORD kSearchScope = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;

void* vxp_dl_open(const char* fileName) {
  if (!fileName) return nullptr;
  int wide = MultiByteToWideChar(CP_ACP, 0, fileName, -1, nullptr, 0);
  if (wide <= 0) return nullptr;
  wchar_t* name = new (std::nothrow) wchar_t[(size_t)wide];
  if (!name) return nullptr;
  HMODULE lib = nullptr;
  if (MultiByteToWideChar(CP_ACP, 0, fileName, -1, name, wide) == wide) lib = LoadLibraryExW(name, nullptr, kSearchScope);
  delete[] name;
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
