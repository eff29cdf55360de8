// Little-endian 32-bit fields, as the USBTMC header, the USB bus service's
// frames and the binary block header carry them. The one copy for the
// library; the tools and the Wine test driver build apart and keep their own.
#ifndef VX_COMMON_LE32_H
#define VX_COMMON_LE32_H

#include <cstdint>

inline void vx_put_le32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

inline uint32_t vx_get_le32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

#endif
