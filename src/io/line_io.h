#ifndef VX_LINE_IO_H
#define VX_LINE_IO_H

#include "link/link_call.h"

// vx_comm_puts on a slot the caller has entered: entry line, per-link lock
// under "vx_comm_puts", the command and its line feed, unlock, result line.
// The block reader sends its query through this too.
ViStatus vx_puts_entered(LinkCall& call, const char* cmd, ViInt32 count, ViInt32* retCount);

#endif
