// What one record on the interrupt channel holds: the instrument's
// device_intr_srq call and the handle it names, another call (dropped), or
// garbage (the connection is closed). Every length is checked against the
// record and a small limit before use.
#ifndef VX_VXI11_INTR_CALL_H
#define VX_VXI11_INTR_CALL_H

#include <cstddef>
#include <cstdint>

enum IntrCall {
  INTR_CALL_SRQ,        // device_intr_srq: *handle and *length are set
  INTR_CALL_OTHER,      // a call of another program, version or procedure
  INTR_CALL_MALFORMED,  // no RPC call, or a device_intr_srq that does not hold together
};

// *handle points into `record`.
IntrCall vx_intr_read_call(const uint8_t* record, size_t length, const uint8_t** handle, uint32_t* handleLength);

#endif
