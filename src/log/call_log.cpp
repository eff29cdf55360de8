#include "log/call_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "log/last_error.h"
#include "platform/clock.h"
#include "vx_comm.h"

namespace {

const size_t kPathSize = 1024;

// One lock serialises every message and every change of the path: a line
// is written whole before the next starts, the path is never read half
// changed, and the banner can only be written by one message.
std::mutex logLock;
char logPath[kPathSize];         // empty: logging is off
std::atomic<bool> logOn{false};  // mirrors "path not empty" for the lock-free fast path
bool startSet = false;
int64_t startMs = 0;

void empty_file(const char* path) {
  FILE* f = fopen(path, "w");
  if (f) fclose(f);
}

}  // namespace

void writeLog(const char* format, ...) {
  // Error lines are the thread's reason for vx_comm_lastError, with or
  // without a log.
  const bool error = strstr(format, "error: ") != nullptr;
  if (error) {
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    vx_last_error_note(line);
  }
  if (!logOn.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> hold(logLock);
  if (logPath[0] == '\0') return;

  int64_t now = vxp_wall_ms();
  bool first = false;
  if (!startSet) {
    startSet = true;
    startMs = now;
    first = true;
    empty_file(logPath);
  }
  FILE* f = fopen(logPath, "a");
  if (!f) return;
  if (first) fputs("vx_comm_lib call log - 64 bit library\n", f);

  // A wall clock set back before the start shows as 0.000 rather than a
  // negative stamp.
  int64_t elapsed = now - startMs;
  if (elapsed < 0) elapsed = 0;
  int64_t secs = elapsed / 1000;
  if (secs > INT32_MAX) secs = INT32_MAX;
  fprintf(f, "%d.%03d ", (int)secs, (int)(elapsed % 1000));

  va_list args;
  va_start(args, format);
  vfprintf(f, format, args);
  va_end(args);
  fclose(f);
}

extern "C" void vx_usb_startdebug(const char* path) {
  if (!path) return;
  std::lock_guard<std::mutex> hold(logLock);
  size_t len = strnlen(path, kPathSize);
  if (len >= kPathSize - 1) {
    // Too long for the buffer: logging is off rather than writing elsewhere.
    logPath[0] = '\0';
  } else {
    memcpy(logPath, path, len + 1);
  }
  if (logPath[0] != '\0') empty_file(logPath);
  logOn.store(logPath[0] != '\0', std::memory_order_relaxed);
}

extern "C" void vx_usb_stopdebug(void) {
  std::lock_guard<std::mutex> hold(logLock);
  logPath[0] = '\0';
  logOn.store(false, std::memory_order_relaxed);
}
