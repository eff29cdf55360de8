// HiSLIP messages (IVI-6.1): the 16-byte header every message starts with,
// its encoding and decoding, and the message types and codes the client
// uses. Big-endian fields, as the standard has them.
#ifndef VX_HISLIP_MESSAGE_H
#define VX_HISLIP_MESSAGE_H

#include <cstddef>
#include <cstdint>

#include "vx_comm.h"

#define VX_HISLIP_HEADER_SIZE 16

enum HislipType : uint8_t {
  HISLIP_INITIALIZE = 0,
  HISLIP_INITIALIZE_RESPONSE = 1,
  HISLIP_FATAL_ERROR = 2,
  HISLIP_ERROR = 3,
  HISLIP_ASYNC_LOCK = 4,
  HISLIP_ASYNC_LOCK_RESPONSE = 5,
  HISLIP_DATA = 6,
  HISLIP_DATA_END = 7,
  HISLIP_DEVICE_CLEAR_COMPLETE = 8,
  HISLIP_DEVICE_CLEAR_ACKNOWLEDGE = 9,
  HISLIP_ASYNC_REMOTE_LOCAL_CONTROL = 10,
  HISLIP_ASYNC_REMOTE_LOCAL_RESPONSE = 11,
  HISLIP_TRIGGER = 12,
  HISLIP_INTERRUPTED = 13,
  HISLIP_ASYNC_INTERRUPTED = 14,
  HISLIP_ASYNC_MAXIMUM_MESSAGE_SIZE = 15,
  HISLIP_ASYNC_MAXIMUM_MESSAGE_SIZE_RESPONSE = 16,
  HISLIP_ASYNC_INITIALIZE = 17,
  HISLIP_ASYNC_INITIALIZE_RESPONSE = 18,
  HISLIP_ASYNC_DEVICE_CLEAR = 19,
  HISLIP_ASYNC_SERVICE_REQUEST = 20,
  HISLIP_ASYNC_STATUS_QUERY = 21,
  HISLIP_ASYNC_STATUS_RESPONSE = 22,
  HISLIP_ASYNC_DEVICE_CLEAR_ACKNOWLEDGE = 23,
};

// The first MessageID after Initialize and after each device clear; each
// Data, DataEnd or Trigger the client sends takes the next, two apart.
#define VX_HISLIP_FIRST_MESSAGE_ID 0xFFFFFF00u
// What a server puts in a reply it cannot tie to a message.
#define VX_HISLIP_UNKNOWN_MESSAGE_ID 0xFFFFFFFFu

// Control code bits. Data, DataEnd, Trigger and AsyncStatusQuery: the
// client has delivered a whole reply (RMT) since its last message.
#define VX_HISLIP_RMT_DELIVERED 0x01
// InitializeResponse and the clear acknowledges: overlapped mode.
#define VX_HISLIP_OVERLAPPED 0x01
// InitializeResponse of a HiSLIP 2.0 server: it accepts no connection
// without encryption.
#define VX_HISLIP_ENCRYPTION_MANDATORY 0x02

// AsyncLock control codes: request and release; AsyncLockResponse codes.
#define VX_HISLIP_LOCK_RELEASE 0
#define VX_HISLIP_LOCK_REQUEST 1
#define VX_HISLIP_LOCK_FAILED 0   // request: not granted within its timeout
#define VX_HISLIP_LOCK_SUCCESS 1  // request granted; release: exclusive lock released
#define VX_HISLIP_LOCK_SHARED_RELEASED 2
#define VX_HISLIP_LOCK_ERROR 3

// FatalError codes the client sends.
#define VX_HISLIP_FATAL_BAD_HEADER 1

struct HislipHeader {
  uint8_t type;
  uint8_t control;
  uint32_t parameter;
  uint64_t length;  // payload bytes after the header
};

void vx_hislip_encode(uint8_t out[VX_HISLIP_HEADER_SIZE], uint8_t type, uint8_t control, uint32_t parameter,
                      uint64_t length);
// False when the bytes do not start with the "HS" prologue: the stream is
// out of step and nothing after it can be framed.
bool vx_hislip_decode(const uint8_t in[VX_HISLIP_HEADER_SIZE], HislipHeader* out);

void vx_hislip_put_be64(uint8_t* p, uint64_t v);
uint64_t vx_hislip_get_be64(const uint8_t* p);

// The standard's text for a FatalError or Error code (the server's own text
// comes in the payload).
const char* vx_hislip_fatal_text(uint8_t code);
const char* vx_hislip_error_text(uint8_t code);
// The status a call returns when the server answers it with Error `code`
// (the link goes on; a FatalError always ends it: VI_ERROR_CONN_LOST).
ViStatus vx_hislip_error_status(uint8_t code);

#endif
