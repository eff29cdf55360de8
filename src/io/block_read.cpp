// Blocks in: the optional query, the header in its definite-length or
// binary form, and the data, delivered in pieces across calls or into a
// file. The link's BlockState carries a block from one call to the next.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/le32.h"
#include "io/block.h"
#include "io/line_io.h"
#include "io/transfer.h"
#include "link/link_call.h"
#include "log/call_log.h"

namespace {

typedef ViStatus (*ReadOp)(void*, void*, ViInt32, ViInt32*);

// Asks only for the bytes still missing, so that no byte past the item
// (in the header, no data byte) is taken from the transport.
ViStatus read_exactly(LinkSlot* slot, uint8_t* into, ViInt32 count) {
  return vx_move_all<ReadOp>(slot->ops.read, slot->context, into, count, nullptr);
}

// The digits of a definite-length header as a number: leading blanks
// skipped, an optional sign, then digits up to the first other byte; 0 when
// no digit follows. Nine digits at most, so 64 bits cannot overflow.
int64_t definite_size(const uint8_t* digits, ViInt32 n) {
  ViInt32 i = 0;
  while (i < n && (digits[i] == ' ' || digits[i] == '\t')) ++i;
  bool negative = false;
  if (i < n && (digits[i] == '+' || digits[i] == '-')) negative = digits[i++] == '-';
  int64_t value = 0;
  while (i < n && digits[i] >= '0' && digits[i] <= '9') value = value * 10 + (digits[i++] - '0');
  return negative ? -value : value;
}

void set_block(LinkSlot* slot, int32_t size, int32_t consumed) {
  std::lock_guard<std::mutex> hold(slot->stateLock);
  slot->blockSize = size;
  slot->blockConsumed = consumed;
}

// Starts a block: sends the query and reads the header, unless a block is
// already in progress, whose whole size is then reported instead. Takes no
// lock of its own; the query goes through the line write, which does.
// `name` is the export's, for its error line.
ViStatus readBlockHeader(LinkCall& call, const char* name, const char* cmd, ViInt32* retSize) {
  LinkSlot* slot = call.slot();
  if (retSize) *retSize = 0;
  {
    std::lock_guard<std::mutex> hold(slot->stateLock);
    if (slot->blockSize > 0) {
      if (retSize) *retSize = slot->blockSize;
      return VI_SUCCESS;
    }
  }
  if (cmd && vx_puts_entered(call, cmd, 0, nullptr) != VI_SUCCESS) return VI_ERROR_SYSTEM_ERROR;

  uint8_t mark = 0;
  if (read_exactly(slot, &mark, 1) != VI_SUCCESS) return VI_ERROR_SYSTEM_ERROR;
  int64_t size = 0;
  ViStatus status;
  if (mark == '#') {
    uint8_t digit = 0;
    status = read_exactly(slot, &digit, 1);
    if (status != VI_SUCCESS) return status;
    // 0 would be the indefinite-length form, which has no size to go by.
    if (digit < '1' || digit > '9') return VI_ERROR_SYSTEM_ERROR;
    uint8_t digits[10] = {0};
    ViInt32 n = digit - '0';
    status = read_exactly(slot, digits, n);
    if (status != VI_SUCCESS) return status;
    size = definite_size(digits, n);
  } else if (mark == 0) {
    uint8_t field[4] = {0, 0, 0, 0};
    status = read_exactly(slot, field + 1, 3);
    if (status != VI_SUCCESS) return status;
    if (field[1] != 0 || field[2] != 0 || field[3] != 0) return VI_ERROR_SYSTEM_ERROR;
    status = read_exactly(slot, field, 4);
    if (status != VI_SUCCESS) return status;
    uint32_t bits = vx_get_le32(field);
    size = bits > 0x7FFFFFFFu ? (int64_t)bits - 0x100000000LL : (int64_t)bits;
  } else {
    // The byte is gone from the link; the line keeps it for the caller.
    writeLog("%s() error: the reply is no block: it starts with '%c' (0x%02X), not '#' or four zero bytes\n", name,
             mark >= ' ' && mark < 127 ? (char)mark : '.', (unsigned)mark);
    return VI_ERROR_SYSTEM_ERROR;
  }
  // A block of negative length means nothing; reporting it as a size would
  // hand the caller a meaningless number with a success.
  if (size < 0) return VI_ERROR_SYSTEM_ERROR;

  if (retSize) *retSize = (ViInt32)size;
  set_block(slot, (int32_t)size, 0);
  return VI_SUCCESS;
}

// Delivers the next piece of the block in progress, at most count bytes.
// VI_SUCCESS when the block is complete (or none was in progress),
// VI_SUCCESS_MAX_CNT when data remains, otherwise the failing read's status
// with the block abandoned. With `continuing`, a block that is no longer in
// progress was cleared under the caller, which is an error.
ViStatus readBlockPiece(LinkSlot* slot, uint8_t* buffer, ViInt32 count, ViInt32* retCount, bool continuing) {
  int32_t size, consumed;
  {
    std::lock_guard<std::mutex> hold(slot->stateLock);
    size = slot->blockSize;
    consumed = slot->blockConsumed;
    if (size <= 0 || consumed < 0 || consumed >= size) {
      slot->blockSize = 0;
      slot->blockConsumed = 0;
      if (continuing) return VI_ERROR_SYSTEM_ERROR;
      if (retCount) *retCount = 0;
      return VI_SUCCESS;
    }
  }
  if (count <= 0) {
    if (retCount) *retCount = 0;
    return VI_SUCCESS_MAX_CNT;
  }
  ViInt32 piece = size - consumed < count ? size - consumed : count;
  ViStatus status = read_exactly(slot, buffer, piece);
  if (status != VI_SUCCESS) {
    set_block(slot, 0, 0);
    return status;
  }

  std::lock_guard<std::mutex> hold(slot->stateLock);
  // A clear (or another thread's block read, on a link without a lock)
  // changed the BlockState during the read: the block these bytes belong
  // to is gone, and calling it complete would be wrong.
  if (slot->blockSize != size || slot->blockConsumed != consumed) return VI_ERROR_SYSTEM_ERROR;
  if (retCount) *retCount = piece;
  if ((int64_t)consumed + piece >= size) {
    slot->blockSize = 0;
    slot->blockConsumed = 0;
    return VI_SUCCESS;
  }
  slot->blockConsumed = consumed + piece;
  return VI_SUCCESS_MAX_CNT;
}

ViStatus read_block_entered(LinkCall& call, const char* cmd, void* buffer, ViInt32 count, ViInt32* retCount) {
  ViStatus status = readBlockHeader(call, "vx_comm_readBlock", cmd, nullptr);
  if (status != VI_SUCCESS) return status;
  return readBlockPiece(call.slot(), static_cast<uint8_t*>(buffer), count, retCount, false);
}

// The whole block (or the rest of the one in progress) into the file. Every
// pass but the last delivers at least one byte of a block shorter than
// 2^31, so the loop ends.
ViStatus receive_file(LinkCall& call, const char* cmd, FILE* file) {
  LinkSlot* slot = call.slot();
  uint8_t piece[VX_BLOCK_FILE_PIECE];
  for (bool first = true;; first = false) {
    // A close that has begun meanwhile (it waits for this call) ends the
    // transfer.
    if (vx_link_closing(slot)) return VI_ERROR_CONN_LOST;

    if (first) {
      ViStatus status = readBlockHeader(call, "vx_comm_readBlockFile", cmd, nullptr);
      if (status != VI_SUCCESS) return status;
    }
    ViInt32 got = 0;
    ViStatus status = readBlockPiece(slot, piece, VX_BLOCK_FILE_PIECE, &got, !first);
    if (status != VI_SUCCESS && status != VI_SUCCESS_MAX_CNT) return status;
    if (got > 0 && vx_block_file.write(piece, 1, (size_t)got, file) != (size_t)got) {
      // The file would lack this piece; a later call must not go on to
      // fill it with the rest of the block as if nothing had happened.
      set_block(slot, 0, 0);
      return VI_ERROR_SYSTEM_ERROR;
    }
    if (status == VI_SUCCESS) return VI_SUCCESS;
  }
}

}  // namespace

extern "C" ViStatus vx_comm_readBlockSize(ViInt32 linkId, const char* cmd, ViInt32* retSize) {
  LinkCall call(linkId);
  if (!call) return VI_ERROR_CONN_LOST;
  writeLog("vx_comm_readBlockSize(linkId=%d, cmd=%s, retSize=%p)\n", (int)linkId, cmd ? cmd : "(null)", (void*)retSize);
  ViStatus status = call.locked("vx_comm_readBlockSize",
                                [&] { return readBlockHeader(call, "vx_comm_readBlockSize", cmd, retSize); });
  writeLog("vx_comm_readBlockSize() returns: status=%d, retSize=%d\n", (int)status,
           retSize && status == VI_SUCCESS ? (int)*retSize : 0);
  return status;
}

extern "C" ViStatus vx_comm_readBlockData(ViInt32 linkId, void* buffer, ViInt32 count, ViInt32* retCount) {
  LinkCall call(linkId);
  if (!call) return VI_ERROR_CONN_LOST;
  if (!buffer && count > 0) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_readBlockData(linkId=%d, buffer=%p, count=%d, retCount=%p)\n", (int)linkId, buffer, (int)count,
           (void*)retCount);
  ViStatus status = call.locked("vx_comm_readBlock", [&] {
    return readBlockPiece(call.slot(), static_cast<uint8_t*>(buffer), count, retCount, false);
  });
  writeLog("vx_comm_readBlockData() returns: status=%d, retCount=%d\n", (int)status, retCount ? (int)*retCount : 0);
  return status;
}

extern "C" ViStatus vx_comm_readBlock_async(ViInt32 linkId, const char* cmd, void* buffer, ViInt32 count,
                                            ViInt32* retCount) {
  LinkCall call(linkId);
  if (!call) return VI_ERROR_CONN_LOST;
  if (!buffer && count > 0) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_readBlock_async(linkId=%d, cmd=%s, buffer=%p, count=%d, retCount=%p)\n", (int)linkId,
           cmd ? cmd : "(null)", buffer, (int)count, (void*)retCount);
  ViStatus status = call.unlocked([&] { return read_block_entered(call, cmd, buffer, count, retCount); });
  writeLog("vx_comm_readBlock_async() returns: status=%d, retCount=%d\n", (int)status, retCount ? (int)*retCount : 0);
  return status;
}

extern "C" ViStatus vx_comm_readBlock(ViInt32 linkId, const char* cmd, void* buffer, ViInt32 count, ViInt32* retCount) {
  LinkCall call(linkId);
  if (!call) return VI_ERROR_CONN_LOST;
  if (!buffer && count > 0) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_readBlock(linkId=%d, cmd=%s, buffer=%p, count=%d, retCount=%p)\n", (int)linkId,
           cmd ? cmd : "(null)", buffer, (int)count, (void*)retCount);
  ViStatus status =
      call.locked("vx_comm_readBlock", [&] { return read_block_entered(call, cmd, buffer, count, retCount); });
  writeLog("vx_comm_readBlock() returns: status=%d, retCount=%d\n", (int)status, retCount ? (int)*retCount : 0);
  return status;
}

extern "C" ViStatus vx_comm_readBlockFile(ViInt32 linkId, const char* cmd, const char* fileName) {
  LinkCall call(linkId);
  if (!call) return VI_ERROR_CONN_LOST;
  if (!fileName) return VI_ERROR_SYSTEM_ERROR;
  writeLog("vx_comm_readBlockFile(linkId=%d, cmd=%s, fileName=%s)\n", (int)linkId, cmd ? cmd : "(null)", fileName);
  ViStatus result = call.locked("vx_comm_readBlockFile", [&] {
    FILE* file = fopen(fileName, "wb");
    if (!file) {
      writeLog("vx_comm_readBlockFile() error: cannot create %s: %s\n", fileName, strerror(errno));
      return VI_ERROR_SYSTEM_ERROR;
    }
    ViStatus status = receive_file(call, cmd, file);
    // Buffered pieces are written out only now; losing them is a failure.
    if (fclose(file) != 0 && status >= VI_SUCCESS) status = VI_ERROR_SYSTEM_ERROR;
    return status;
  });
  writeLog("vx_comm_readBlockFile() returns: status=%d\n", (int)result);
  return result;
}
