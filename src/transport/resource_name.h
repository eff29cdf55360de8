// VISA resource names read once, into a record: the one reader that the
// open's route, the search and the pyvisa backend share. The grammar is the
// VISA standard's (VPP-4.3, resource names), for the interfaces this
// library may serve itself: TCPIP (SOCKET and INSTR) and USB (INSTR, RAW).
// Names are case-insensitive, as VISA's are; the reader is strict (every
// number in range, nothing left over) and bounded (VX_RNAME_MAX_TEXT).
#ifndef VX_RESOURCE_NAME_H
#define VX_RESOURCE_NAME_H

#include <cstdint>

// The longest name read; VISA's own buffers for names hold 256 bytes.
#define VX_RNAME_MAX_TEXT 255
// Fields, each with its NUL: a host name (RFC 1123: at most 253
// characters), a LAN device or USB serial.
#define VX_RNAME_HOST_SIZE 254
#define VX_RNAME_FIELD_SIZE 64

enum VxRnameInterface { VX_RNAME_TCPIP, VX_RNAME_USB };
enum VxRnameClass { VX_RNAME_INSTR, VX_RNAME_SOCKET, VX_RNAME_RAW };

// The device part of a TCPIP INSTR name ("inst0" when left out).
enum VxLanDeviceKind {
  VX_LAN_INST,    // instN: a VXI-11 core device
  VX_LAN_GPIB,    // gpibN,M: a VXI-11 gateway's GPIB instrument
  VX_LAN_HISLIP,  // any name beginning with hislip, [,port] after it: HiSLIP
  VX_LAN_OTHER,   // any other VXI-11 device name, handed on as written
};

struct VxResourceName {
  VxRnameInterface interface;
  uint16_t board;  // the number after the interface, 0 when left out
  VxRnameClass rclass;

  // TCPIP: a dotted IPv4 address (decimal, leading zeros allowed), an IPv6
  // address without its brackets ("::1", "fe80::1%eth0") or a host name, as
  // written.
  char host[VX_RNAME_HOST_SIZE];
  // SOCKET: the TCP port (1..65535). INSTR over HiSLIP: the port after the
  // comma, 4880 (the HiSLIP port) when left out. 0 otherwise.
  uint16_t port;
  // INSTR: the device as written ("inst0", "gpib0,5", "COM1"); HiSLIP: the
  // sub-address without the port ("hislip0" of "hislip0,4880").
  char device[VX_RNAME_FIELD_SIZE];
  VxLanDeviceKind deviceKind;
  // instN / gpibN / hislipN: N (0 for other HiSLIP sub-addresses); gpibN,M: M (0..30) in `primary`, the
  // secondary address (0..30) in `secondary` or -1.
  uint16_t deviceIndex;
  int16_t primary;
  int16_t secondary;

  // USB: vendor and product ID, serial as written, USB interface number
  // (-1 when left out).
  uint16_t vendorId;
  uint16_t productId;
  char serial[VX_RNAME_FIELD_SIZE];
  int16_t usbInterface;
};

// Reads `text` into *out. False when it is not such a name; *why (when not
// null) then points at a static text saying what is wrong, for the call log.
bool vx_rname_parse(const char* text, VxResourceName* out, const char** why);

#endif
