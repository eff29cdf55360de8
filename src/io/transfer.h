// The loop that every multi-call transfer shares: ask the transport for the
// whole remainder each time, add what moved, stop at the first failure.
#ifndef VX_IO_TRANSFER_H
#define VX_IO_TRANSFER_H

#include "vx_comm.h"

// Moves count bytes through op (a transport read or write). After each call
// that moved bytes, stores retBase plus the running total through retCount
// when given. Returns the status of the last call; VI_SUCCESS when count is
// 0 or negative and no call was made.
template <typename Op, typename Byte>
ViStatus vx_move_all(Op op, void* context, Byte* buffer, ViInt32 count, ViInt32* retCount, ViInt32 retBase = 0) {
  ViStatus status = VI_SUCCESS;
  ViInt32 total = 0;
  while (total < count) {
    ViInt32 moved = 0;
    status = op(context, buffer + total, count - total, &moved);
    // Never let a transport's count walk the total past the buffer.
    if (moved > count - total) moved = count - total;
    if (moved > 0) {
      total += moved;
      // Also when the call failed after moving some (a write that timed
      // out midway): the caller learns how far it got.
      if (retCount) *retCount = retBase + total;
    }
    if (status != VI_SUCCESS) break;
    // A transport that claims success without moving a byte would make
    // this loop spin for ever.
    if (moved <= 0) return VI_ERROR_SYSTEM_ERROR;
  }
  return status;
}

#endif
