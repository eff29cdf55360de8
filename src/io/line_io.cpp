// SCPI lines: a command out with its line feed, one reply line back, and
// the PendingLine that carries what arrived after that line to the next.
#include "io/line_io.h"

#include <cstdlib>
#include <cstring>

#include "io/block.h"
#include "io/transfer.h"
#include "log/call_log.h"

namespace {

const ViInt32 kNoBound = 0x7FFFFFFF;
// A command shorter than this that lacks its line feed goes out with it in
// one write: one segment, USBTMC message or VISA write instead of two, for
// which the instrument would wake up twice. Longer ones are not copied.
const ViInt32 kJoinMax = 512;

bool ends_line(char c) { return c == '\n' || c == '\0'; }

// Length of the command: up to and including the first LF, up to and
// excluding the first NUL or CR, and never more than bound bytes.
ViInt32 command_length(const char* cmd, ViInt32 bound) {
  ViInt32 len = 0;
  while (len < bound) {
    char c = cmd[len];
    if (c == '\n') return len + 1;
    if (c == '\0' || c == '\r') return len;
    ++len;
  }
  return len;
}

ViStatus send_line(LinkSlot* slot, const char* cmd, ViInt32 count, ViInt32* retCount) {
  if (retCount) *retCount = 0;
  vx_block_forget_owed(slot);
  ViInt32 len = command_length(cmd, count >= 1 ? count : kNoBound);
  if (len >= 1 && len < kJoinMax && cmd[len - 1] != '\n') {
    char line[kJoinMax];
    memcpy(line, cmd, (size_t)len);
    line[len] = '\n';
    return vx_move_all(slot->ops.write, slot->context, line, len + 1, retCount);
  }
  ViStatus status = vx_move_all(slot->ops.write, slot->context, cmd, len, retCount);
  if (status == VI_SUCCESS && len >= 1 && cmd[len - 1] != '\n')
    status = vx_move_all(slot->ops.write, slot->context, "\n", 1, retCount, len);
  return status;
}

// Moves the front of the PendingLine into buf, up to and including a line
// end, at most count bytes. Returns the bytes moved.
ViInt32 take_pending(LinkSlot* slot, char* buf, ViInt32 count) {
  std::lock_guard<std::mutex> hold(slot->stateLock);
  if (!slot->pendingData) return 0;
  ViInt32 n = 0;
  while (n < count && n < slot->pendingLength) {
    char c = (char)slot->pendingData[n];
    buf[n++] = c;
    if (ends_line(c)) break;
  }
  slot->pendingLength -= n;
  if (slot->pendingLength <= 0) {
    free(slot->pendingData);
    slot->pendingData = nullptr;
    slot->pendingLength = 0;
  } else {
    memmove(slot->pendingData, slot->pendingData + n, (size_t)slot->pendingLength);
  }
  return n;
}

// Puts `extra` stream bytes back at the front of the PendingLine: they came
// before anything it still holds. False when no memory could be had.
bool keep_remainder(LinkSlot* slot, const char* bytes, ViInt32 extra) {
  std::lock_guard<std::mutex> hold(slot->stateLock);
  ViInt32 held = slot->pendingData ? slot->pendingLength : 0;
  if (held > kNoBound - extra) return false;
  uint8_t* p = static_cast<uint8_t*>(vx_link_alloc((size_t)(extra + held)));
  if (!p) return false;
  memcpy(p, bytes, (size_t)extra);
  if (held > 0) memcpy(p + extra, slot->pendingData, (size_t)held);
  free(slot->pendingData);
  slot->pendingData = p;
  slot->pendingLength = extra + held;
  return true;
}

ViStatus read_line(LinkSlot* slot, char* buf, ViInt32 count, ViInt32* retCount) {
  if (retCount) *retCount = 0;
  if (count <= 0) return VI_SUCCESS;
  buf[0] = '\0';

  ViInt32 pos = take_pending(slot, buf, count);
  ViInt32 extra = 0;
  ViStatus status = VI_SUCCESS;
  for (;;) {
    if (pos >= count) break;
    if (pos >= 1 && ends_line(buf[pos - 1])) break;
    ViInt32 got = 0;
    status = slot->ops.read(slot->context, buf + pos, count - pos, &got);
    if (got < 0) got = 0;
    if (got > count - pos) got = count - pos;
    extra = got;
    while (extra >= 1 && pos < count) {
      --extra;
      ++pos;
      if (ends_line(buf[pos - 1])) break;
    }
    if (status != VI_SUCCESS) break;
    if (got == 0) {  // success without a byte: a broken transport, not a line
      status = VI_ERROR_SYSTEM_ERROR;
      break;
    }
  }

  // A full buffer gives its last byte back to make room for the
  // terminator, unless that byte is a NUL that already ends the text.
  if (pos >= count && buf[count - 1] != '\0') {
    pos = count - 1;
    ++extra;
  }
  if (extra >= 1 && !keep_remainder(slot, buf + pos, extra)) {
    // No memory for the remainder: hand it over in the line rather than
    // drop it, keeping the terminator inside buf.
    pos += extra;
    if (pos > count - 1) pos = count - 1;
  }

  // A failed line is dropped here only: the instrument is told nothing (a
  // timeout is no reason to clear it; vx_comm_clear does that when asked).
  if (status != VI_SUCCESS) {
    buf[0] = '\0';
    return status;
  }
  if (pos < count) buf[pos] = '\0';
  if (retCount) *retCount = pos;
  return status;
}

}  // namespace

ViStatus vx_puts_entered(LinkCall& call, const char* cmd, ViInt32 count, ViInt32* retCount) {
  writeLog("vx_comm_puts(linkId=%d, cmd=%s, count=%d, retCount=%p)\n", (int)call.linkId(), cmd, (int)count,
           (void*)retCount);
  ViStatus status = call.locked("vx_comm_puts", [&] { return send_line(call.slot(), cmd, count, retCount); });
  writeLog("vx_comm_puts() returns: status=%d, retCount=%d\n", (int)status, retCount ? (int)*retCount : 0);
  return status;
}

extern "C" ViStatus vx_comm_puts(ViInt32 linkId, const char* cmd, ViInt32 count, ViInt32* retCount) {
  LinkCall call(linkId);
  if (!call) {
    writeLog("vx_comm_puts() error: VI_ERROR_CONN_LOST\n");
    return VI_ERROR_CONN_LOST;
  }
  if (!cmd) return VI_ERROR_SYSTEM_ERROR;
  return vx_puts_entered(call, cmd, count, retCount);
}

extern "C" ViStatus vx_comm_gets(ViInt32 linkId, char* buf, ViInt32 count, ViInt32* retCount) {
  LinkCall call(linkId);
  if (!call) {
    writeLog("vx_comm_gets() error: VI_ERROR_CONN_LOST\n");
    return VI_ERROR_CONN_LOST;
  }
  if (!buf) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_gets(linkId=%d, buf=%p, count=%d, retCount=%p)\n", (int)linkId, (void*)buf, (int)count,
           (void*)retCount);
  ViStatus status = call.locked("vx_comm_gets", [&] { return read_line(call.slot(), buf, count, retCount); });
  // With no room there is no text in buf to show.
  const char* shownText = (retCount && count > 0) ? buf : "";
  writeLog("vx_comm_gets() returns: status=%d, buf=%s, retCount=%d\n", (int)status, shownText,
           retCount ? (int)*retCount : 0);
  return status;
}
