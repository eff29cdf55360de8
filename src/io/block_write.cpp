// Blocks out: the command, a separator, the definite-length header and the
// data, from memory or from a file, and the caller's raw writes of the data
// a vx_comm_writeBlockSize announced. Nothing follows the data; on a route
// with messages (VXI-11, HiSLIP) no byte before the last data byte ends the
// message (a data byte that is a line feed included), and the last one does.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "io/block.h"
#include "io/transfer.h"
#include "link/link_call.h"
#include "log/call_log.h"

namespace {

typedef ViStatus (*WriteOp)(void*, const void*, ViInt32, ViInt32*);

const ViInt32 kNoBound = 0x7FFFFFFF;

ViStatus send_all(LinkSlot* slot, const void* bytes, ViInt32 count) {
  return vx_move_all<WriteOp>(slot->ops.write, slot->context, static_cast<const uint8_t*>(bytes), count, nullptr);
}

// Data of a block whose message goes on after them: a line feed among them
// ends nothing.
ViStatus send_data(LinkSlot* slot, const void* bytes, ViInt32 count) {
  return vx_move_all<WriteOp>(slot->ops.writeMore, slot->context, static_cast<const uint8_t*>(bytes), count, nullptr);
}

// Sends the command (up to its first NUL, LF or CR, without the spaces
// that end it), the separator and the header announcing `size` data bytes.
// The caller holds the link's lock.
ViStatus writeBlockHeader(LinkSlot* slot, const char* cmd, ViInt32 size) {
  // A negative size has no header form and nine digits hold no more than
  // this; refusing here keeps the header buffer whole and sends nothing.
  if (size < 0 || size > VX_BLOCK_MAX_SIZE) return VI_ERROR_SYSTEM_ERROR;
  vx_block_forget_owed(slot);
  char header[12];  // '#', the digit count, up to nine digits, the NUL of snprintf
  int digits = snprintf(header + 2, sizeof header - 2, "%d", (int)size);
  if (digits < 1 || digits > 9) return VI_ERROR_SYSTEM_ERROR;
  header[0] = '#';
  header[1] = (char)('0' + digits);

  ViInt32 len = 0;
  if (cmd) {
    while (cmd[len] != '\0' && cmd[len] != '\n' && cmd[len] != '\r') {
      if (len == kNoBound) return VI_ERROR_SYSTEM_ERROR;
      ++len;
    }
  }
  // Spaces at the end ("WAV:DATA ", a common habit) are no parameter: they
  // go as a trailing line end does, else the block would follow an empty one.
  while (len > 0 && cmd[len - 1] == ' ') --len;
  // A space in what is left means the command already has a parameter, so
  // the block follows as the next one, after a comma.
  const char separator = (len > 0 && memchr(cmd, ' ', (size_t)len)) ? ',' : ' ';

  ViStatus status = send_all(slot, cmd, len);
  if (status == VI_SUCCESS) status = send_all(slot, &separator, 1);
  if (status == VI_SUCCESS) status = send_all(slot, header, (ViInt32)digits + 2);
  return status;
}

// The file's length. ftell's long is 32 bits on Windows, so a file too long
// for it shows as a failed seek, as -1, or as bytes found past the length
// reported; each is refused, as is a length the header cannot carry.
bool file_size(FILE* file, ViInt32* size) {
  if (fseek(file, 0, SEEK_END) != 0) return false;
  long end = ftell(file);
  if (end < 0 || end > VX_BLOCK_MAX_SIZE) return false;
  if (fseek(file, end, SEEK_SET) != 0) return false;
  if (fgetc(file) != EOF || ferror(file)) return false;
  if (fseek(file, 0, SEEK_SET) != 0) return false;
  *size = (ViInt32)end;
  return true;
}

// Header for the file's length, then exactly that many bytes, piece by
// piece. A piece that cannot be read whole (a read error, or a file that
// shrank meanwhile) ends the data: the block is short, and the caller must
// know it.
ViStatus send_file(LinkSlot* slot, const char* cmd, FILE* file) {
  ViInt32 size = 0;
  if (!file_size(file, &size)) return VI_ERROR_SYSTEM_ERROR;
  ViStatus status = writeBlockHeader(slot, cmd, size);
  uint8_t piece[VX_BLOCK_FILE_PIECE];
  ViInt32 left = size;
  while (status == VI_SUCCESS && left > 0) {
    size_t want = left < VX_BLOCK_FILE_PIECE ? (size_t)left : (size_t)VX_BLOCK_FILE_PIECE;
    if (vx_block_file.read(piece, 1, want, file) != want) return VI_ERROR_SYSTEM_ERROR;
    status = send_data(slot, piece, (ViInt32)want);
    left -= (ViInt32)want;
  }
  return status;
}

}  // namespace

extern "C" ViStatus vx_comm_writeBlockSize(ViInt32 linkId, const char* cmd, ViInt32 count) {
  LinkCall call(linkId);
  if (!call) return VI_ERROR_CONN_LOST;
  writeLog("vx_comm_writeBlockSize(linkId=%d, cmd=%s, count=%d)\n", (int)linkId, cmd ? cmd : "(null)", (int)count);
  LinkSlot* slot = call.slot();
  ViStatus result = call.locked("vx_comm_writeBlockSize", [&] {
    ViStatus status = writeBlockHeader(slot, cmd, count);
    if (status != VI_SUCCESS) return status;
    {
      std::lock_guard<std::mutex> hold(slot->stateLock);
      slot->blockOwed = count;
    }
    // A block without data is whole with its header.
    return count == 0 ? slot->ops.endMessage(slot->context) : VI_SUCCESS;
  });
  writeLog("vx_comm_writeBlockSize() returns: status=%d\n", (int)result);
  return result;
}

extern "C" ViStatus vx_comm_writeBlock(ViInt32 linkId, const char* cmd, const void* buffer, ViInt32 count) {
  LinkCall call(linkId);
  if (!call) return VI_ERROR_CONN_LOST;
  if (!buffer && count > 0) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_writeBlock(linkId=%d, cmd=%s, buffer=%p, count=%d)\n", (int)linkId, cmd ? cmd : "(null)", buffer,
           (int)count);
  ViStatus result = call.locked("vx_comm_writeBlock", [&] {
    ViStatus status = writeBlockHeader(call.slot(), cmd, count);
    if (status == VI_SUCCESS) status = send_data(call.slot(), buffer, count);
    if (status == VI_SUCCESS) status = call.slot()->ops.endMessage(call.slot()->context);
    return status;
  });
  writeLog("vx_comm_writeBlock() returns: status=%d\n", (int)result);
  return result;
}

extern "C" ViStatus vx_comm_writeBlockFile(ViInt32 linkId, const char* cmd, const char* fileName) {
  LinkCall call(linkId);
  if (!call) return VI_ERROR_CONN_LOST;
  if (!fileName) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_writeBlockFile(linkId=%d, cmd=%s, fileName=%s)\n", (int)linkId, cmd ? cmd : "(null)", fileName);
  ViStatus result = call.locked("vx_comm_writeBlockFile", [&] {
    FILE* file = fopen(fileName, "rb");
    if (!file) {
      writeLog("vx_comm_writeBlockFile() error: cannot open %s: %s\n", fileName, strerror(errno));
      return VI_ERROR_SYSTEM_ERROR;
    }
    ViStatus status = send_file(call.slot(), cmd, file);
    fclose(file);
    if (status == VI_SUCCESS) status = call.slot()->ops.endMessage(call.slot()->context);
    return status;
  });
  writeLog("vx_comm_writeBlockFile() returns: status=%d\n", (int)result);
  return result;
}

ViStatus vx_block_raw_write(LinkSlot* slot, const void* buffer, ViInt32 count, ViInt32* retCount, bool whole) {
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  int32_t owed;
  {
    std::lock_guard<std::mutex> hold(slot->stateLock);
    owed = slot->blockOwed;
  }
  if (owed <= 0 || count <= 0) {
    if (whole) return vx_move_all<WriteOp>(slot->ops.write, slot->context, bytes, count, retCount);
    return slot->ops.write(slot->context, buffer, count, retCount);
  }
  // Short of the last owed byte the message goes on. A write that reaches
  // it is a plain one: a line feed that ends it (the data's own, or one
  // right after them) ends the message; one that stops there ends the
  // message on that byte.
  WriteOp op = count < owed ? slot->ops.writeMore : slot->ops.write;
  ViInt32 moved = 0;
  ViStatus status = whole ? vx_move_all<WriteOp>(op, slot->context, bytes, count, &moved)
                          : op(slot->context, buffer, count, &moved);
  if (moved < 0) moved = 0;
  if (moved > count) moved = count;
  if (retCount) *retCount = moved;
  {
    std::lock_guard<std::mutex> hold(slot->stateLock);
    slot->blockOwed = slot->blockOwed > moved ? slot->blockOwed - moved : 0;
  }
  if (status == VI_SUCCESS && count == owed && moved == owed) status = slot->ops.endMessage(slot->context);
  return status;
}

void vx_block_forget_owed(LinkSlot* slot) {
  std::lock_guard<std::mutex> hold(slot->stateLock);
  slot->blockOwed = 0;
}
