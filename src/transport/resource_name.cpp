// The reader of VISA resource names (see resource_name.h): split at "::",
// then each part checked for what its place holds.
#include "transport/resource_name.h"

#include <cstring>

#include "common/ipv4.h"

namespace {

const int kMaxParts = 6;
const uint16_t kHislipPort = 4880;  // IVI-6.1, the HiSLIP port
const unsigned kMaxGpibAddress = 30;

struct Part {
  const char* at;
  size_t len;
};

char lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'f'); }

bool same_word(const Part& p, const char* word) {
  size_t n = strlen(word);
  if (p.len != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (lower(p.at[i]) != lower(word[i])) return false;
  return true;
}

// Decimal digits only, at most maxDigits of them (zero padding allowed
// within that), value at most maxValue.
bool read_decimal(const char* at, size_t len, size_t maxDigits, unsigned maxValue, unsigned* value) {
  if (len == 0 || len > maxDigits) return false;
  unsigned v = 0;
  for (size_t i = 0; i < len; ++i) {
    if (!is_digit(at[i])) return false;
    v = v * 10u + (unsigned)(at[i] - '0');
  }
  if (v > maxValue) return false;
  *value = v;
  return true;
}

// A USB vendor or product ID: "0x" and one to four hex digits, or decimal.
bool read_usb_id(const Part& p, uint16_t* value) {
  if (p.len > 2 && p.at[0] == '0' && lower(p.at[1]) == 'x') {
    if (p.len > 6) return false;
    unsigned v = 0;
    for (size_t i = 2; i < p.len; ++i) {
      if (!is_hex(p.at[i])) return false;
      char c = lower(p.at[i]);
      v = v * 16u + (unsigned)(is_digit(c) ? c - '0' : c - 'a' + 10);
    }
    *value = (uint16_t)v;
    return true;
  }
  unsigned v;
  if (!read_decimal(p.at, p.len, 5, 0xFFFF, &v)) return false;
  *value = (uint16_t)v;
  return true;
}

// "TCPIP" or "USB" and the board number (none: 0).
bool read_interface(const Part& p, const char* word, uint16_t* board) {
  size_t n = strlen(word);
  if (p.len < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (lower(p.at[i]) != lower(word[i])) return false;
  if (p.len == n) {
    *board = 0;
    return true;
  }
  unsigned v;
  if (!read_decimal(p.at + n, p.len - n, 5, 0xFFFF, &v)) return false;
  *board = (uint16_t)v;
  return true;
}

// A label the way inet_aton() reads numbers: decimal, octal or "0x" hex.
bool numeric_label(const char* at, size_t len) {
  if (len >= 2 && at[0] == '0' && lower(at[1]) == 'x') {
    for (size_t i = 2; i < len; ++i)
      if (!is_hex(at[i])) return false;
    return true;
  }
  for (size_t i = 0; i < len; ++i)
    if (!is_digit(at[i])) return false;
  return true;
}

// An IPv6 literal in brackets ("[::1]", "[fe80::1%eth0]"): hex digits,
// colons and dots, then an optional zone after '%'. Stored without the
// brackets; the system reads the address itself when the link opens.
const char* check_ipv6(const Part& p, char* out) {
  const char* bad = "the host in brackets is not an IPv6 address";
  if (p.len < 4 || p.at[p.len - 1] != ']') return bad;
  const size_t len = p.len - 2;
  if (len >= VX_RNAME_HOST_SIZE) return "the host name is too long";
  bool zone = false, colon = false;
  for (size_t i = 1; i <= len; ++i) {
    char c = p.at[i];
    if (c == '%' && !zone && i > 1 && i < len) {
      zone = true;
      continue;
    }
    bool ok = zone ? (is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'z') || c == '_' || c == '-' || c == '.')
                   : (is_hex(c) || c == ':' || c == '.');
    if (!ok) return bad;
    colon = colon || c == ':';
  }
  if (!colon) return bad;
  memcpy(out, p.at + 1, len);
  out[len] = '\0';
  return nullptr;
}

// A host: strict dotted IPv4, an IPv6 literal in brackets, or a host name
// of labels of letters, digits, '-' and '_', a fully qualified one perhaps
// with its final dot ("host.lab."). Text made of numbers only that is no
// strict address is refused: the system's resolver would read "127.1" or
// "0x7f.1" as some address of its own making.
const char* check_host(const Part& p, char* out) {
  if (p.len > 0 && p.at[0] == '[') return check_ipv6(p, out);
  if (p.len == 0 || p.len >= VX_RNAME_HOST_SIZE) return "the host name is too long";
  memcpy(out, p.at, p.len);
  out[p.len] = '\0';
  // The root's empty label after a final dot is no label to check.
  const size_t labels = p.len > 1 && p.at[p.len - 1] == '.' ? p.len - 1 : p.len;
  bool allNumeric = true;
  for (size_t start = 0; start <= labels;) {
    size_t end = start;
    while (end < labels && p.at[end] != '.') ++end;
    const size_t len = end - start;
    if (len == 0 || len > 63) return "the host is not a host name or a dotted IPv4 address";
    for (size_t i = start; i < end; ++i) {
      char c = p.at[i];
      bool ok =
          is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'z') || c == '_' || (c == '-' && i != start && i + 1 != end);
      if (!ok) return "the host is not a host name or a dotted IPv4 address";
    }
    allNumeric = allNumeric && numeric_label(p.at + start, len);
    start = end + 1;
  }
  uint32_t addr;
  if (allNumeric && !vx_ipv4_parse(out, &addr))
    return "the host is not a dotted IPv4 address (four decimal numbers of 0 to 255)";
  return nullptr;
}

// True when the `len` bytes at `at` begin with `word`, in any case.
bool starts_with_word(const char* at, size_t len, const char* word) {
  const size_t n = strlen(word);
  if (len < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (lower(at[i]) != word[i]) return false;
  return true;
}

// The device of a TCPIP INSTR name into the record, as written: the words
// inst, gpib and hislip are read in any case, but the name goes to the
// instrument unchanged, since a device table may tell "COM1" from "com1".
const char* check_device(const Part& p, VxResourceName* r) {
  const char* bad = "the device is not instN, gpibN,M, hislip...[,port] or a plain device name";
  if (p.len >= VX_RNAME_FIELD_SIZE) return "the device name is too long";
  for (size_t i = 0; i < p.len; ++i) {
    char c = lower(p.at[i]);
    bool ok =
        is_digit(c) || (c >= 'a' && c <= 'z') || c == '_' || c == ',' || c == '.' || c == '-' || c == '[' || c == ']';
    if (!ok) return bad;
  }
  memcpy(r->device, p.at, p.len);
  r->device[p.len] = '\0';
  const char* d = r->device;
  const char* end = d + p.len;
  const char* comma = static_cast<const char*>(memchr(d, ',', p.len));
  unsigned v;
  // Every name that begins with "hislip" is a HiSLIP sub-address (hislip0,
  // hislip_PXI0_CHASSIS1_SLOT1_INDEX0), with the port after a comma.
  if (starts_with_word(d, p.len, "hislip")) {
    r->deviceKind = VX_LAN_HISLIP;
    r->port = kHislipPort;
    const char* numEnd = comma ? comma : end;
    if (read_decimal(d + 6, (size_t)(numEnd - d - 6), 5, 0xFFFF, &v)) r->deviceIndex = (uint16_t)v;
    if (!comma) return nullptr;
    if (!read_decimal(comma + 1, (size_t)(end - comma - 1), 5, 0xFFFF, &v) || v == 0) return bad;
    r->port = (uint16_t)v;
    r->device[comma - d] = '\0';  // the sub-address sent is the part before the port
    return nullptr;
  }
  // instN and gpibN,M are the word and a digit; anything else is a plain name.
  r->deviceKind = VX_LAN_OTHER;
  VxLanDeviceKind kind;
  size_t n;
  if (starts_with_word(d, p.len, "inst") && p.len > 4 && is_digit(d[4])) {
    kind = VX_LAN_INST;
    n = 4;
  } else if (starts_with_word(d, p.len, "gpib") && p.len > 4 && is_digit(d[4])) {
    kind = VX_LAN_GPIB;
    n = 4;
  } else {
    return nullptr;
  }
  r->deviceKind = kind;
  const char* num = d + n;
  const char* numEnd = comma ? comma : end;
  if (!read_decimal(num, (size_t)(numEnd - num), 5, 0xFFFF, &v)) return bad;
  r->deviceIndex = (uint16_t)v;
  if (kind == VX_LAN_INST) return comma ? bad : nullptr;
  // gpibN,M[,S]
  if (!comma) return bad;
  const char* second = static_cast<const char*>(memchr(comma + 1, ',', (size_t)(end - comma - 1)));
  const char* primaryEnd = second ? second : end;
  if (!read_decimal(comma + 1, (size_t)(primaryEnd - comma - 1), 2, kMaxGpibAddress, &v)) return bad;
  r->primary = (int16_t)v;
  if (second) {
    if (!read_decimal(second + 1, (size_t)(end - second - 1), 2, kMaxGpibAddress, &v)) return bad;
    r->secondary = (int16_t)v;
  }
  return nullptr;
}

const char* read_tcpip(const Part* parts, int n, VxResourceName* r) {
  if (n < 3 || n > 4) return "a TCPIP name is TCPIP[board]::host[::device]::INSTR or TCPIP[board]::host::port::SOCKET";
  if (const char* why = check_host(parts[1], r->host)) return why;
  const Part& last = parts[n - 1];
  if (same_word(last, "SOCKET")) {
    if (n != 4) return "a SOCKET name is TCPIP[board]::host::port::SOCKET";
    unsigned port;
    if (!read_decimal(parts[2].at, parts[2].len, 5, 0xFFFF, &port) || port == 0)
      return "the port is not a number of 1 to 65535";
    r->rclass = VX_RNAME_SOCKET;
    r->port = (uint16_t)port;
    return nullptr;
  }
  if (!same_word(last, "INSTR")) return "the resource class is not INSTR or SOCKET";
  r->rclass = VX_RNAME_INSTR;
  if (n == 3) {
    strcpy(r->device, "inst0");
    r->deviceKind = VX_LAN_INST;
    return nullptr;
  }
  return check_device(parts[2], r);
}

const char* read_usb(const Part* parts, int n, VxResourceName* r) {
  if (n < 5) return "a USB name is USB[board]::vendor::product::serial[::interface]::INSTR";
  const Part& last = parts[n - 1];
  if (same_word(last, "INSTR"))
    r->rclass = VX_RNAME_INSTR;
  else if (same_word(last, "RAW"))
    r->rclass = VX_RNAME_RAW;
  else
    return "the resource class is not INSTR or RAW";
  if (!read_usb_id(parts[1], &r->vendorId) || !read_usb_id(parts[2], &r->productId))
    return "the vendor or product ID is not a number of 0 to 0xFFFF";
  const Part& serial = parts[3];
  if (serial.len >= VX_RNAME_FIELD_SIZE) return "the serial number is too long";
  for (size_t i = 0; i < serial.len; ++i)
    if (serial.at[i] <= ' ' || serial.at[i] > '~')
      return "the serial number holds a blank or a character that is not ASCII";
  memcpy(r->serial, serial.at, serial.len);
  r->serial[serial.len] = '\0';
  if (n == 6) {
    unsigned v;
    if (!read_decimal(parts[4].at, parts[4].len, 3, 255, &v)) return "the USB interface is not a number of 0 to 255";
    r->usbInterface = (int16_t)v;
  }
  return nullptr;
}

const char* parse(const char* text, VxResourceName* r) {
  const size_t len = strnlen(text, VX_RNAME_MAX_TEXT + 1);
  if (len == 0) return "the name is empty";
  if (len > VX_RNAME_MAX_TEXT) return "the name is longer than 255 characters";
  Part parts[kMaxParts];
  int n = 0;
  for (const char* p = text;;) {
    // The colons inside an IPv6 literal's brackets separate nothing.
    const char* close = *p == '[' ? strchr(p, ']') : nullptr;
    const char* sep = strstr(close ? close : p, "::");
    const char* end = sep ? sep : text + len;
    if (end == p) return "the name has an empty part";
    if (n == kMaxParts) return "the name has too many parts";
    parts[n++] = {p, (size_t)(end - p)};
    if (!sep) break;
    p = sep + 2;
  }
  if (read_interface(parts[0], "TCPIP", &r->board)) {
    r->interface = VX_RNAME_TCPIP;
    return read_tcpip(parts, n, r);
  }
  if (read_interface(parts[0], "USB", &r->board)) {
    r->interface = VX_RNAME_USB;
    return read_usb(parts, n, r);
  }
  return "not a TCPIP or USB resource name";
}

}  // namespace

bool vx_rname_parse(const char* text, VxResourceName* out, const char** why) {
  VxResourceName r{};
  r.primary = -1;
  r.secondary = -1;
  r.usbInterface = -1;
  const char* problem = text ? parse(text, &r) : "no name";
  if (why) *why = problem;
  if (problem) return false;
  *out = r;
  return true;
}
