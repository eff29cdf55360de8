// Dotted-quad IPv4 text, read strictly: exactly four decimal numbers of
// 0..255, leading zeros allowed. inet_addr() reads "192.168.001.010" as
// octal and takes "127.2" as 127.0.0.2; instruments show their address
// zero-padded and users copy it, so both would reach the wrong instrument.
#ifndef VX_COMMON_IPV4_H
#define VX_COMMON_IPV4_H

#include <cstdint>
#include <cstring>

// True when `text` is exactly such an address; *addr then holds it in
// network byte order. Nothing but the four numbers and three dots is taken:
// no sign, no blank, no trailing text.
inline bool vx_ipv4_parse(const char* text, uint32_t* addr) {
  if (!text) return false;
  uint8_t bytes[4];
  const char* p = text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && *p++ != '.') return false;
    unsigned value = 0;
    int digits = 0;
    // Up to 8 digits keeps zero padding ("010") and bounds the arithmetic.
    while (*p >= '0' && *p <= '9') {
      if (++digits > 8) return false;
      value = value * 10u + (unsigned)(*p++ - '0');
    }
    if (digits == 0 || value > 255u) return false;
    bytes[i] = (uint8_t)value;
  }
  if (*p != '\0') return false;
  std::memcpy(addr, bytes, sizeof bytes);  // bytes are in network order
  return true;
}

#endif
