// The library's own version and the texts of statuses. Neither call touches
// a link, so neither writes to the call log: a program may call them in its
// error path without adding lines between the calls that failed.
#include <cstdio>
#include <cstring>

#include "info/status_text.h"
#include "vx_comm.h"

extern "C" const char* vx_comm_version(void) {
  return VX_COMM_VERSION;
}

extern "C" ViStatus vx_comm_statusDesc(ViStatus status, char* buffer, ViInt32 count) {
  if (!buffer) return VI_ERROR_SYSTEM_ERROR;
  if (count < 1) return VI_SUCCESS_MAX_CNT;
  char unknown[32];
  const char* text = unknown;
  if (const VxStatusText* known = vx_status_text(status)) {
    text = known->description;
  } else {
    snprintf(unknown, sizeof unknown, "unknown status 0x%08X", static_cast<unsigned>(status));
  }
  size_t len = strlen(text);
  size_t room = static_cast<size_t>(count) - 1;
  bool cut = len > room;
  if (cut) len = room;
  memcpy(buffer, text, len);
  buffer[len] = '\0';
  return cut ? VI_SUCCESS_MAX_CNT : VI_SUCCESS;
}
