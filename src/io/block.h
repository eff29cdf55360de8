// What the block write and the block read share: the largest size the
// definite-length header can carry, and the file access of the block file
// transfers.
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

#endif
