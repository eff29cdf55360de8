// DNS message reader and writer for the mDNS search: names, header,
// records and the SRV, A and TXT data it takes.
#include "find/dns_message.h"

#include <cstring>

namespace {

const unsigned kHeaderSize = 12;
const unsigned kMaxPointers = 64;  // more than any real name needs; pointers go backwards anyway

uint16_t be16(const uint8_t* p) { return (uint16_t)((p[0] << 8) | p[1]); }
uint32_t be32(const uint8_t* p) { return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3]; }

char lower(uint8_t c) { return (char)(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c); }

}  // namespace

bool vx_dns_name_from_labels(DnsName* out, const char* const* labels, int count) {
  size_t size = 0;
  for (int i = 0; i < count; ++i) {
    const size_t n = strlen(labels[i]);
    if (n == 0 || n > VX_DNS_LABEL_MAX || size + 1 + n + 1 > VX_DNS_NAME_MAX) return false;
    out->wire[size++] = (uint8_t)n;
    memcpy(out->wire + size, labels[i], n);
    size += n;
  }
  out->wire[size++] = 0;
  out->size = (uint16_t)size;
  return true;
}

bool vx_dns_name_equal(const DnsName& a, const DnsName& b) {
  if (a.size != b.size) return false;
  // Length bytes are at most 63, so lowering them changes nothing.
  for (size_t i = 0; i < a.size; ++i)
    if (lower(a.wire[i]) != lower(b.wire[i])) return false;
  return true;
}

bool vx_dns_name_is_child(const DnsName& name, const DnsName& suffix) {
  if (name.size < 2 || name.wire[0] == 0) return false;
  const size_t first = 1u + name.wire[0];
  if (first + suffix.size != name.size) return false;
  for (size_t i = 0; i < suffix.size; ++i)
    if (lower(name.wire[first + i]) != lower(suffix.wire[i])) return false;
  return true;
}

bool vx_dns_read_name(const uint8_t* msg, size_t size, size_t* at, DnsName* out) {
  size_t p = *at;
  size_t lowest = p;  // a pointer must lead below every byte read so far
  size_t after = 0;   // where the name ends in place: set at the first pointer
  unsigned pointers = 0;
  size_t n = 0;
  for (;;) {
    if (p >= size) return false;
    const uint8_t len = msg[p];
    if ((len & 0xC0) == 0xC0) {
      if (p + 1 >= size || ++pointers > kMaxPointers) return false;
      const size_t target = ((size_t)(len & 0x3F) << 8) | msg[p + 1];
      if (after == 0) after = p + 2;
      if (target >= lowest) return false;
      lowest = p = target;
      continue;
    }
    if (len & 0xC0) return false;  // the extended label types are not in use
    if (n + 1 + len > VX_DNS_NAME_MAX) return false;
    if (len == 0) {
      out->wire[n++] = 0;
      out->size = (uint16_t)n;
      *at = after ? after : p + 1;
      return true;
    }
    if (p + 1 + len > size) return false;
    memcpy(out->wire + n, msg + p, 1u + len);
    n += 1u + len;
    p += 1u + len;
  }
}

bool vx_dns_reader_begin(DnsReader* r, const uint8_t* msg, size_t size) {
  r->msg = msg;
  r->size = size;
  r->left = 0;
  if (size < kHeaderSize) return false;
  r->header = DnsHeader{be16(msg), be16(msg + 2), be16(msg + 4), be16(msg + 6), be16(msg + 8), be16(msg + 10)};
  r->at = kHeaderSize;
  for (unsigned q = 0; q < r->header.questions; ++q) {
    DnsName skipped;
    if (!vx_dns_read_name(msg, size, &r->at, &skipped) || r->at + 4 > size) return false;
    r->at += 4;
  }
  r->left = (unsigned)r->header.answers + r->header.authorities + r->header.additionals;
  return true;
}

int vx_dns_reader_next(DnsReader* r, DnsRecord* rec) {
  if (r->left == 0) return 0;
  if (!vx_dns_read_name(r->msg, r->size, &r->at, &rec->name) || r->at + 10 > r->size) {
    r->left = 0;
    return -1;
  }
  const uint8_t* p = r->msg + r->at;
  rec->type = be16(p);
  rec->klass = be16(p + 2) & 0x7FFF;  // the cache-flush bit of mDNS answers
  rec->ttl = be32(p + 4);
  rec->dataSize = be16(p + 8);
  rec->data = r->at + 10;
  if (rec->dataSize > r->size - rec->data) {
    r->left = 0;
    return -1;
  }
  r->at = rec->data + rec->dataSize;
  --r->left;
  return 1;
}

bool vx_dns_read_srv(const uint8_t* msg, const DnsRecord& rec, uint16_t* port, DnsName* target) {
  if (rec.type != VX_DNS_SRV || rec.dataSize < 7) return false;
  *port = be16(msg + rec.data + 4);
  size_t at = rec.data + 6;
  // The target's own bytes must lie within the record; pointers may lead
  // to earlier parts of the message.
  return vx_dns_read_name(msg, rec.data + rec.dataSize, &at, target);
}

bool vx_dns_read_a(const uint8_t* msg, const DnsRecord& rec, uint32_t* addr) {
  if (rec.type != VX_DNS_A || rec.dataSize != 4) return false;
  memcpy(addr, msg + rec.data, 4);  // stays in network order
  return true;
}

bool vx_dns_read_aaaa(const uint8_t* msg, const DnsRecord& rec, uint8_t addr[16]) {
  if (rec.type != VX_DNS_AAAA || rec.dataSize != 16) return false;
  memcpy(addr, msg + rec.data, 16);
  return true;
}

bool vx_dns_txt_value(const uint8_t* msg, const DnsRecord& rec, const char* key, char* out, size_t outSize) {
  if (rec.type != VX_DNS_TXT || outSize == 0) return false;
  const size_t keyLen = strlen(key);
  const uint8_t* p = msg + rec.data;
  const uint8_t* end = p + rec.dataSize;
  while (p < end) {
    const size_t n = *p++;
    if (n > (size_t)(end - p)) return false;
    if (n > keyLen && p[keyLen] == '=') {
      bool same = true;
      for (size_t i = 0; i < keyLen && same; ++i) same = lower(p[i]) == lower((uint8_t)key[i]);
      if (same) {
        size_t v = n - keyLen - 1;
        if (v > outSize - 1) v = outSize - 1;
        memcpy(out, p + keyLen + 1, v);
        out[v] = '\0';
        return true;
      }
    }
    p += n;
  }
  return false;
}

void vx_dns_put_bytes(DnsWriter* w, const void* data, size_t n) {
  if (!w->ok || n > w->capacity - w->size) {
    w->ok = false;
    return;
  }
  if (n > 0) memcpy(w->buf + w->size, data, n);
  w->size += n;
}

void vx_dns_put_u16(DnsWriter* w, uint16_t v) {
  const uint8_t b[2] = {(uint8_t)(v >> 8), (uint8_t)v};
  vx_dns_put_bytes(w, b, 2);
}

void vx_dns_writer_begin(DnsWriter* w, uint8_t* buf, size_t capacity, const DnsHeader& h) {
  w->buf = buf;
  w->capacity = capacity;
  w->size = 0;
  w->ok = true;
  const uint16_t fields[6] = {h.id, h.flags, h.questions, h.answers, h.authorities, h.additionals};
  for (uint16_t f : fields) vx_dns_put_u16(w, f);
}

void vx_dns_put_name(DnsWriter* w, const DnsName& name) { vx_dns_put_bytes(w, name.wire, name.size); }

void vx_dns_put_question(DnsWriter* w, const DnsName& name, uint16_t type) {
  vx_dns_put_name(w, name);
  vx_dns_put_u16(w, type);
  vx_dns_put_u16(w, VX_DNS_CLASS_IN);
}

void vx_dns_put_record(DnsWriter* w, const DnsName& name, uint16_t type, uint32_t ttl, const void* data, size_t n) {
  vx_dns_put_name(w, name);
  vx_dns_put_u16(w, type);
  vx_dns_put_u16(w, VX_DNS_CLASS_IN);
  vx_dns_put_u16(w, (uint16_t)(ttl >> 16));
  vx_dns_put_u16(w, (uint16_t)ttl);
  if (n > 0xFFFF) {
    w->ok = false;
    return;
  }
  vx_dns_put_u16(w, (uint16_t)n);
  vx_dns_put_bytes(w, data, n);
}
