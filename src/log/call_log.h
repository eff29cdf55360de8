// The call log: an optional trace file of the exported calls.
#ifndef VX_CALL_LOG_H
#define VX_CALL_LOG_H

// Writes one message, stamped with the time since the first message of the
// process, when a log path is set; nothing otherwise. Never fails its
// caller. Messages of different threads never interleave. A message whose
// format holds "error: " is an error line: it is also the thread's reason
// (log/last_error.h), log or no log.
void writeLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif
