// Win32 side of the platform layer: clocks.
#include <windows.h>
#include <cstdint>

#include "platform/clock.h"

uint32_t vxp_tick_ms() { return (uint32_t)GetTickCount(); }

int64_t vxp_wall_ms() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  // 100 ns units since 1601-01-01; 11644473600 s separate that from 1970.
  uint64_t t = ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
  const uint64_t epochDiff = 116444736000000000ull;
  return ((int64_t)t - (int64_t)epochDiff) / 10000;
}

void vxp_sleep_ms(uint32_t ms) { Sleep(ms); }
