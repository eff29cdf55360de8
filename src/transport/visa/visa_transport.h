// Links through an installed VISA library: any address that is neither TCP
// nor direct USB is handed to it unchanged as a resource name. Also the VISA
// search's identification probe.
#ifndef VX_VISA_TRANSPORT_H
#define VX_VISA_TRANSPORT_H

#include <cstddef>

#include "transport/transport.h"

struct VisaFunctions;

extern const TransportOps vx_visa_ops;

// A viRead or viWrite that keeps reporting success without moving a byte is
// repeated at most this many times in a row; the operation then returns
// VI_ERROR_TMO, as if nothing had come or gone within the timeout.
#define VX_VISA_MAX_IDLE_CALLS 64

// Opens resource `name` through `visa` (a module the caller holds), clears
// it, sets tmoMs, writes "*IDN?" and reads the reply into `reply`,
// NUL-terminated, at most size - 1 bytes; a reply that fills them is not
// used. True when a non-empty reply came. Closes both its sessions.
bool vx_visa_identify(const VisaFunctions& visa, const char* name, int tmoMs, char* reply, size_t size);

#endif
