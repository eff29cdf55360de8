// The interrupt channel's server: one per process, for every VXI-11 link
// with service requests on. Instruments connect to it (create_intr_chan
// names its port) and send device_intr_srq calls naming the handle their
// link gave them in device_enable_srq; each is posted to that link's sink
// without a status byte (the waiter reads it with device_readstb). Those
// calls are one-way: nothing is ever sent back. It starts with the first
// registration and stops, its thread joined, with the last.
#ifndef VX_VXI11_INTR_SERVER_H
#define VX_VXI11_INTR_SERVER_H

#include <cstdint>

#include "transport/transport.h"

// The bytes of a handle on the wire.
#define VX_INTR_HANDLE_SIZE 4

// Registers `sink` under a handle no other registration of the process
// has (*handle) and gives the port the server listens on (host order, on
// every IPv4 address). False, with a log line, when the server cannot run.
bool vx_intr_register(SrqSink* sink, uint32_t* handle, uint16_t* port);
// The handle as device_enable_srq sends it.
void vx_intr_handle_bytes(uint32_t handle, uint8_t out[VX_INTR_HANDLE_SIZE]);
// Forgets the registration: once this returns, nothing is posted to its
// sink. The last one stops the server.
void vx_intr_unregister(uint32_t handle);

#endif
