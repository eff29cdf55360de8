// The VXI-11 procedures the library calls (VXI-11 specification, section
// B): on the core channel create_link, device_write, device_read,
// device_readstb, device_trigger, device_clear, device_remote,
// device_local, device_lock, device_unlock, destroy_link, and for service
// requests create_intr_chan, device_enable_srq and destroy_intr_chan; on
// the abort channel device_abort.
#ifndef VX_VXI11_CORE_H
#define VX_VXI11_CORE_H

#include <cstddef>
#include <cstdint>

#include "transport/vxi11/rpc_client.h"

#define VX_VXI11_CORE_PROG 0x0607AFu
#define VX_VXI11_ABORT_PROG 0x0607B0u
#define VX_VXI11_VERSION 1u
// The interrupt channel's program, served by the library (intr_server.h),
// and its one procedure, device_intr_srq.
#define VX_VXI11_INTR_PROG 0x0607B1u
#define VX_VXI11_INTR_SRQ 30u
// The longest handle device_enable_srq takes.
#define VX_VXI11_MAX_HANDLE 40u

// Device_ErrorCode values (VXI-11 B.5.2).
enum Vxi11Error : uint32_t {
  VXI11_NO_ERROR = 0,
  VXI11_SYNTAX = 1,
  VXI11_NOT_ACCESSIBLE = 3,
  VXI11_INVALID_LINK = 4,
  VXI11_PARAMETER = 5,
  VXI11_NO_CHANNEL = 6,
  VXI11_NOT_SUPPORTED = 8,
  VXI11_OUT_OF_RESOURCES = 9,
  VXI11_LOCKED = 11,
  VXI11_NO_LOCK_HELD = 12,
  VXI11_IO_TIMEOUT = 15,
  VXI11_IO_ERROR = 17,
  VXI11_INVALID_ADDRESS = 21,
  VXI11_ABORTED = 23,
  VXI11_CHANNEL_ESTABLISHED = 29,
};

// device_read reasons.
#define VX_VXI11_REASON_REQCNT 1u
#define VX_VXI11_REASON_CHR 2u
#define VX_VXI11_REASON_END 4u

// Procedures with Device_GenericParms.
enum Vxi11Generic : uint32_t {
  VXI11_READSTB = 13,
  VXI11_TRIGGER = 14,
  VXI11_CLEAR = 15,
  VXI11_REMOTE = 16,
  VXI11_LOCAL = 17,
};

// The RPC's outcome and, when that is RPC_OK, the device's error code.
struct Vxi11Result {
  RpcStatus rpc;
  uint32_t error;
};

struct Vxi11Link {
  uint32_t lid;
  uint16_t abortPort;
  uint32_t maxRecvSize;
};

// waitMs bounds each whole call on the socket (0: no limit); ioTimeout is
// the VXI-11 io_timeout the device itself keeps, lockTimeout how long the
// device waits for a lock another link holds before it starts.
Vxi11Result vx_vxi11_create_link(RpcChannel* core, const char* device, uint32_t waitMs, Vxi11Link* link);
// *accepted: the bytes the device took.
Vxi11Result vx_vxi11_write(RpcChannel* core, uint32_t lid, const uint8_t* data, uint32_t length, bool end,
                           uint32_t ioTimeout, uint32_t lockTimeout, uint32_t waitMs, uint32_t* accepted);
// *data points into the channel's reply buffer, valid until its next call.
Vxi11Result vx_vxi11_read(RpcChannel* core, uint32_t lid, uint32_t requestSize, uint32_t ioTimeout,
                          uint32_t lockTimeout, uint32_t waitMs,
                          const uint8_t** data, uint32_t* length, uint32_t* reason);
// *stb is written by VXI11_READSTB only (may be null otherwise).
Vxi11Result vx_vxi11_generic(RpcChannel* core, Vxi11Generic proc, uint32_t lid, uint32_t ioTimeout,
                             uint32_t lockTimeout, uint32_t waitMs, uint8_t* stb);
// device_lock: `wait` sets the waitlock flag, so the device waits up to
// lockTimeout for a lock another link holds.
Vxi11Result vx_vxi11_lock(RpcChannel* core, uint32_t lid, bool wait, uint32_t lockTimeout, uint32_t waitMs);
Vxi11Result vx_vxi11_unlock(RpcChannel* core, uint32_t lid, uint32_t waitMs);
Vxi11Result vx_vxi11_destroy_link(RpcChannel* core, uint32_t lid, uint32_t waitMs);
// create_intr_chan: the device connects to hostAddr:hostPort (an IPv4
// address as a number, 127.0.0.1 being 0x7F000001) over TCP and sends its
// device_intr_srq calls there. destroy_intr_chan closes that connection.
Vxi11Result vx_vxi11_create_intr_chan(RpcChannel* core, uint32_t hostAddr, uint16_t hostPort, uint32_t waitMs);
Vxi11Result vx_vxi11_destroy_intr_chan(RpcChannel* core, uint32_t waitMs);
// device_enable_srq: on, the device names `handle` (1 to 40 bytes) in each
// device_intr_srq of this link.
Vxi11Result vx_vxi11_enable_srq(RpcChannel* core, uint32_t lid, bool enable, const uint8_t* handle, uint32_t length,
                                uint32_t waitMs);
Vxi11Result vx_vxi11_abort(RpcChannel* abortChannel, uint32_t lid, uint32_t waitMs);

#endif
