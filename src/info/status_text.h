// Names and descriptions of the VISA statuses: what the library returns and
// what a VISA library may pass through a VISA link.
#ifndef VX_STATUS_TEXT_H
#define VX_STATUS_TEXT_H

#include <stddef.h>
#include <stdint.h>

struct VxStatusText {
  uint32_t value;  // the status as its unsigned 32-bit pattern
  const char* name;
  const char* description;
};

// The entry of a status, or null for a value VISA does not define.
const VxStatusText* vx_status_text(int32_t status);

// Every description fits a buffer of this size with its NUL, as does the
// text written for an unknown status.
const size_t kVxStatusTextMax = 256;

#endif
