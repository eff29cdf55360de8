// The thread's reason of its last failed call, and vx_comm_lastError.
#include "log/last_error.h"

#include <cstdio>
#include <cstring>

#include "info/status_text.h"

namespace {

const size_t kReasonSize = 1024;
thread_local char reason[kReasonSize];

// Appends text up to its newline, cut where the buffer ends.
void append(const char* text) {
  size_t used = strlen(reason);
  size_t len = strcspn(text, "\r\n");
  const size_t room = kReasonSize - 1 - used;
  if (len > room) len = room;
  memcpy(reason + used, text, len);
  reason[used + len] = '\0';
}

}  // namespace

void vx_last_error_begin() { reason[0] = '\0'; }

void vx_last_error_note(const char* line) {
  if (reason[0] == '\0') return append(line);
  // "vx_comm_open() error: " said once: the rest reads as one sentence.
  const char* mark = strstr(reason, "error: ");
  if (mark) {
    const size_t head = static_cast<size_t>(mark - reason) + strlen("error: ");
    if (strncmp(line, reason, head) == 0) line += head;
  }
  append("; ");
  append(line);
}

void vx_last_error_end(const char* name, ViStatus status) {
  if (status >= VI_SUCCESS) {
    reason[0] = '\0';
    return;
  }
  if (reason[0] != '\0' || !name) return;
  const VxStatusText* known = vx_status_text(status);
  if (known)
    snprintf(reason, kReasonSize, "%s() error: %s", name, known->name);
  else
    snprintf(reason, kReasonSize, "%s() error: status 0x%08X", name, static_cast<unsigned>(status));
}

extern "C" ViStatus vx_comm_lastError(char* buffer, ViInt32 count) {
  if (!buffer) return VI_ERROR_SYSTEM_ERROR;
  if (count < 1) return VI_SUCCESS_MAX_CNT;
  size_t len = strlen(reason);
  const size_t room = static_cast<size_t>(count) - 1;
  const bool cut = len > room;
  if (cut) len = room;
  memcpy(buffer, reason, len);
  buffer[len] = '\0';
  return cut ? VI_SUCCESS_MAX_CNT : VI_SUCCESS;
}
