// Links through an installed VISA library: any address that is neither TCP
// nor direct USB is handed to it unchanged as a resource name.
#ifndef VX_VISA_TRANSPORT_H
#define VX_VISA_TRANSPORT_H

#include "transport/transport.h"

extern const TransportOps vx_visa_ops;

// A viRead or viWrite that keeps reporting success without moving a byte is
// repeated at most this many times in a row; the operation then returns
// VI_ERROR_TMO, as if nothing had come or gone within the timeout.
#define VX_VISA_MAX_IDLE_CALLS 64

#endif
