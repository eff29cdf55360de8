// VXI-11 links to other makers' LAN instruments: ONC RPC to the instrument's
// core channel (its port from the portmapper), an abort channel for ending
// calls in flight.
#ifndef VX_VXI11_TRANSPORT_H
#define VX_VXI11_TRANSPORT_H

#include <cstddef>
#include <cstdint>

#include "transport/transport.h"

extern const TransportOps vx_vxi11_ops;

// The search's identification: a link to device "inst0" on the core
// channel at addr:port (network-order address, host-order port), "*IDN?"
// with END, one device_read, the link destroyed; everything within waitMs.
// The reply, NUL-terminated, up to size - 1 bytes.
enum Vxi11Probe {
  VXI11_PROBE_NONE,          // no VXI-11 core channel answered there
  VXI11_PROBE_UNIDENTIFIED,  // create_link was answered (even refused), but no identification came
  VXI11_PROBE_IDENTIFIED,    // `reply` holds the identification
};
Vxi11Probe vx_vxi11_identify(uint32_t addr, uint16_t port, uint32_t waitMs, char* reply, size_t size);

#endif
