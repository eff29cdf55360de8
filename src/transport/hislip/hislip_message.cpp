// HiSLIP header encoding and decoding, and the texts of the error codes.
#include "transport/hislip/hislip_message.h"

namespace {

void put_be32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24);
  p[1] = (uint8_t)(v >> 16);
  p[2] = (uint8_t)(v >> 8);
  p[3] = (uint8_t)v;
}

uint32_t get_be32(const uint8_t* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

}  // namespace

void vx_hislip_put_be64(uint8_t* p, uint64_t v) {
  put_be32(p, (uint32_t)(v >> 32));
  put_be32(p + 4, (uint32_t)v);
}

uint64_t vx_hislip_get_be64(const uint8_t* p) { return (uint64_t)get_be32(p) << 32 | get_be32(p + 4); }

void vx_hislip_encode(uint8_t out[VX_HISLIP_HEADER_SIZE], uint8_t type, uint8_t control, uint32_t parameter,
                      uint64_t length) {
  out[0] = 'H';
  out[1] = 'S';
  out[2] = type;
  out[3] = control;
  put_be32(out + 4, parameter);
  vx_hislip_put_be64(out + 8, length);
}

bool vx_hislip_decode(const uint8_t in[VX_HISLIP_HEADER_SIZE], HislipHeader* out) {
  if (in[0] != 'H' || in[1] != 'S') return false;
  out->type = in[2];
  out->control = in[3];
  out->parameter = get_be32(in + 4);
  out->length = vx_hislip_get_be64(in + 8);
  return true;
}

// IVI-6.1's tables of FatalError and Error codes.
const char* vx_hislip_fatal_text(uint8_t code) {
  switch (code) {
    case 0:
      return "unidentified error";
    case 1:
      return "poorly formed message header";
    case 2:
      return "connection used without both channels established";
    case 3:
      return "invalid initialization sequence";
    case 4:
      return "server refused the connection: maximum number of clients exceeded";
    case 5:
      return "secure connection failed";
    default:
      return code >= 128 ? "device-defined fatal error" : "reserved fatal error code";
  }
}

const char* vx_hislip_error_text(uint8_t code) {
  switch (code) {
    case 0:
      return "unidentified error";
    case 1:
      return "unrecognized message type";
    case 2:
      return "unrecognized control code";
    case 3:
      return "unrecognized vendor-defined message";
    case 4:
      return "message too large";
    case 5:
      return "authentication failed";
    default:
      return code >= 128 ? "device-defined error" : "reserved error code";
  }
}

ViStatus vx_hislip_error_status(uint8_t code) {
  switch (code) {
    case 1:  // unrecognized message type: the server does not do that
    case 3:  // unrecognized vendor-defined message
      return VI_ERROR_NSUP_OPER;
    case 2:  // unrecognized control code: e.g. a remote/local mode it lacks
      return VI_ERROR_NSUP_MODE;
    case 5:
      return VI_ERROR_NPERMISSION;
    default:  // unidentified, message too large, device-defined, reserved
      return VI_ERROR_IO;
  }
}
