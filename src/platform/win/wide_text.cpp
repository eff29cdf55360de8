// Win32 side of the platform layer: narrow and wide text (wide_text.h).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>

#include "platform/win/wide_text.h"

wchar_t* vxp_win_widen(const char* text) {
  if (!text) return nullptr;
  int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  wchar_t* out = static_cast<wchar_t*>(malloc((size_t)n * sizeof(wchar_t)));
  if (out && MultiByteToWideChar(CP_ACP, 0, text, -1, out, n) != n) {
    free(out);
    out = nullptr;
  }
  return out;
}

char* vxp_win_narrow(const wchar_t* text) {
  if (!text) return nullptr;
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return nullptr;
  char* out = static_cast<char*>(malloc((size_t)n));
  if (out && WideCharToMultiByte(CP_ACP, 0, text, -1, out, n, nullptr, nullptr) != n) {
    free(out);
    out = nullptr;
  }
  return out;
}
