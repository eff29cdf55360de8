// XDR (RFC 4506) as the RPC client needs it: big-endian 32-bit words and
// variable-length opaque data padded to four bytes. The writer fills a
// fixed buffer and the reader never reads past its end; both remember the
// first failure, so a caller checks once after a whole message.
#ifndef VX_VXI11_XDR_H
#define VX_VXI11_XDR_H

#include <cstddef>
#include <cstdint>
#include <cstring>

inline void vx_xdr_store(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24);
  p[1] = (uint8_t)(v >> 16);
  p[2] = (uint8_t)(v >> 8);
  p[3] = (uint8_t)v;
}

inline uint32_t vx_xdr_load(const uint8_t* p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

// Bytes of padding after `n` bytes of opaque data.
inline size_t vx_xdr_pad(size_t n) { return (4 - (n & 3)) & 3; }

struct XdrWriter {
  uint8_t* data;
  size_t capacity;
  size_t length;
  bool ok;
};

inline XdrWriter vx_xdr_writer(uint8_t* data, size_t capacity) { return XdrWriter{data, capacity, 0, true}; }

inline void vx_xdr_put(XdrWriter* w, uint32_t v) {
  if (!w->ok || w->capacity - w->length < 4) {
    w->ok = false;
    return;
  }
  vx_xdr_store(w->data + w->length, v);
  w->length += 4;
}

// Length, bytes, zero padding.
inline void vx_xdr_put_opaque(XdrWriter* w, const void* bytes, size_t n) {
  if (n > UINT32_MAX) w->ok = false;
  vx_xdr_put(w, (uint32_t)n);
  const size_t pad = vx_xdr_pad(n);
  if (!w->ok || w->capacity - w->length < n + pad) {
    w->ok = false;
    return;
  }
  if (n) memcpy(w->data + w->length, bytes, n);
  memset(w->data + w->length + n, 0, pad);
  w->length += n + pad;
}

struct XdrReader {
  const uint8_t* data;
  size_t left;
  bool ok;
};

inline XdrReader vx_xdr_reader(const uint8_t* data, size_t n) { return XdrReader{data, n, true}; }

inline uint32_t vx_xdr_get(XdrReader* r) {
  if (!r->ok || r->left < 4) {
    r->ok = false;
    return 0;
  }
  uint32_t v = vx_xdr_load(r->data);
  r->data += 4;
  r->left -= 4;
  return v;
}

// Variable-length opaque: *bytes points into the reader's data. The
// padding may be missing after the last item (some servers leave it out).
inline void vx_xdr_get_opaque(XdrReader* r, const uint8_t** bytes, uint32_t* n) {
  *bytes = nullptr;
  *n = 0;
  uint32_t len = vx_xdr_get(r);
  if (!r->ok || len > r->left) {
    r->ok = false;
    return;
  }
  *bytes = r->data;
  *n = len;
  size_t step = len + vx_xdr_pad(len);
  if (step > r->left) step = r->left;
  r->data += step;
  r->left -= step;
}

#endif
