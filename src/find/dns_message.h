// DNS messages as the mDNS search reads and writes them: names kept as
// label sequences in wire form (never as dotted text, since a label may
// hold dots), a reader of header, questions and records with every length
// checked against the message, and a writer of queries (and of answers, for
// tests and fuzz seeds).
#ifndef VX_FIND_DNS_MESSAGE_H
#define VX_FIND_DNS_MESSAGE_H

#include <cstddef>
#include <cstdint>

#define VX_DNS_NAME_MAX 255  // a name's wire form, root label included
#define VX_DNS_LABEL_MAX 63

enum : uint16_t { VX_DNS_A = 1, VX_DNS_PTR = 12, VX_DNS_TXT = 16, VX_DNS_AAAA = 28, VX_DNS_SRV = 33 };
#define VX_DNS_CLASS_IN 1
#define VX_DNS_FLAG_RESPONSE 0x8000

// A name in uncompressed wire form: length-prefixed labels ending in the
// empty root label; `size` counts every byte, the root's included.
struct DnsName {
  uint16_t size;
  uint8_t wire[VX_DNS_NAME_MAX];
};

// The name of `count` labels given as text (each 1 to 63 bytes, taken
// whole, dots included). False when a label or the whole is too long.
bool vx_dns_name_from_labels(DnsName* out, const char* const* labels, int count);
// Equal names, ASCII letters compared without case.
bool vx_dns_name_equal(const DnsName& a, const DnsName& b);
// True when `name` is one label followed by exactly `suffix`.
bool vx_dns_name_is_child(const DnsName& name, const DnsName& suffix);

// Reads the name at *at of the message, following compression pointers;
// on success *at is the offset just after the name where it stands. Every
// pointer must point before the lowest offset read so far for this name,
// so a name cannot loop, and at most 255 bytes and 63 per label are taken.
bool vx_dns_read_name(const uint8_t* msg, size_t size, size_t* at, DnsName* out);

struct DnsHeader {
  uint16_t id, flags, questions, answers, authorities, additionals;
};

// One resource record: its owner name, type, class (cache-flush bit
// cleared), TTL and where its data lies within the message.
struct DnsRecord {
  DnsName name;
  uint16_t type, klass;
  uint32_t ttl;
  size_t data, dataSize;  // data + dataSize <= the message's size
};

// Reads a message's records in turn: answers, authorities, additionals.
struct DnsReader {
  const uint8_t* msg;
  size_t size;
  size_t at;
  unsigned left;  // records still to read
  DnsHeader header;
};

// Reads the header and steps over the questions; false when they do not fit.
bool vx_dns_reader_begin(DnsReader* r, const uint8_t* msg, size_t size);
// 1: *rec holds the next record; 0: no more; -1: the message is malformed
// (the rest is not read).
int vx_dns_reader_next(DnsReader* r, DnsRecord* rec);

// SRV data: port and target (a name that may be compressed, starting
// within the record's data). A data: the address in network order; AAAA
// data: the 16 bytes of the address.
bool vx_dns_read_srv(const uint8_t* msg, const DnsRecord& rec, uint16_t* port, DnsName* target);
bool vx_dns_read_a(const uint8_t* msg, const DnsRecord& rec, uint32_t* addr);
bool vx_dns_read_aaaa(const uint8_t* msg, const DnsRecord& rec, uint8_t addr[16]);
// The value of key `key` (compared without case) among a TXT record's
// "key=value" strings, cut to outSize - 1 bytes and NUL-terminated. False
// when the key is absent or the strings overrun the data.
bool vx_dns_txt_value(const uint8_t* msg, const DnsRecord& rec, const char* key, char* out, size_t outSize);

// Writes a message into a buffer; `ok` turns false at the first write that
// does not fit, and nothing is written from then on.
struct DnsWriter {
  uint8_t* buf;
  size_t capacity;
  size_t size;
  bool ok;
};

void vx_dns_writer_begin(DnsWriter* w, uint8_t* buf, size_t capacity, const DnsHeader& header);
void vx_dns_put_bytes(DnsWriter* w, const void* data, size_t n);
void vx_dns_put_u16(DnsWriter* w, uint16_t v);
void vx_dns_put_name(DnsWriter* w, const DnsName& name);
void vx_dns_put_question(DnsWriter* w, const DnsName& name, uint16_t type);
// A record with class IN and the given data.
void vx_dns_put_record(DnsWriter* w, const DnsName& name, uint16_t type, uint32_t ttl, const void* data, size_t n);

#endif
