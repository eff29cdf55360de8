// What the block write and the block read share: the largest size the
// definite-length header can carry, and the file access of the block file
// transfers; and the raw writes' way through the block write.
#ifndef VX_IO_BLOCK_H
#define VX_IO_BLOCK_H

#include <cstddef>
#include <cstdio>

#include "vx_comm.h"

// The header holds at most nine decimal digits.
#define VX_BLOCK_MAX_SIZE 999999999

// Piece size of the block file transfers.
#define VX_BLOCK_FILE_PIECE 1024

// File reads and writes of the block file transfers go through here, so
// that tests can make them fail; fread and fwrite by default.
struct BlockFileOps {
  size_t (*read)(void* buffer, size_t size, size_t count, FILE* file);
  size_t (*write)(const void* buffer, size_t size, size_t count, FILE* file);
};

inline BlockFileOps vx_block_file = {fread, fwrite};

struct LinkSlot;

// A raw write of the caller's (vx_comm_write: one transport write;
// vx_comm_writeBlocking, `whole`: until all went or one failed). While data
// a vx_comm_writeBlockSize announced is owed, no byte before the last of it
// ends the message and that byte ends it, unless the same write goes on
// after it. The caller holds the link's lock.
ViStatus vx_block_raw_write(LinkSlot* slot, const void* buffer, ViInt32 count, ViInt32* retCount, bool whole);

// Forgets the data a vx_comm_writeBlockSize announced: any other write
// (a line, another block) means the caller has left that block, and later
// raw writes are plain ones again.
void vx_block_forget_owed(LinkSlot* slot);

#endif
