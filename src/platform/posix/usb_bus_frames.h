// POSIX side of the platform layer: how the client of the USB bus service
// reads the service's frames (docs/guide/usb_bus.md), apart from the socket, so
// that the reading can be checked on bytes in memory.
#ifndef VX_PLATFORM_POSIX_USB_BUS_FRAMES_H
#define VX_PLATFORM_POSIX_USB_BUS_FRAMES_H

#include <cstddef>
#include <cstdint>

#define VXP_USB_BUS_MAX_BODY 65536u

enum : uint32_t {
  VXP_USB_BUS_LIST = 1,
  VXP_USB_BUS_OPEN = 2,
  VXP_USB_BUS_DESCRIBE = 3,
  VXP_USB_BUS_BULK_OUT = 16,
  VXP_USB_BUS_BULK_IN = 17,
  VXP_USB_BUS_IOCTL = 18,
  VXP_USB_BUS_CANCEL = 19,
  VXP_USB_BUS_INTERRUPT_IN = 20,
};
enum : uint32_t { VXP_USB_BUS_RESULT_OK = 0 };

enum vxp_usb_bus_state { VXP_USB_BUS_NONE, VXP_USB_BUS_PENDING, VXP_USB_BUS_DONE };

// The one outstanding transfer of a connection: the overlapped record.
struct vxp_usb_bus_transfer {
  vxp_usb_bus_state state;
  uint32_t id;
  uint32_t kind;       // VXP_USB_BUS_BULK_OUT, _BULK_IN, _IOCTL or _INTERRUPT_IN
  void* out;           // receives up to outLength bytes (bulk in, I/O control)
  uint32_t outLength;
  uint32_t inLength;   // bytes sent (bulk out, I/O control)
  bool ok;
  uint32_t bytes;
};

// Takes one whole completion frame off the front of rx, which holds *rxHave
// bytes, and completes the transfer with it when it is the outstanding one
// (keepData false drops what it carries: a reap). A completion of another
// id is dropped. 1 when a frame was taken, 0 when more bytes are needed, -1
// on a protocol error (a length over the limit or below a completion's 12
// bytes, or data beyond the transfer's buffer).
int vxp_usb_bus_take_frame(vxp_usb_bus_transfer* t, uint8_t* rx, size_t* rxHave, bool keepData);

// Calls each(ctx, path) for the device paths of a LIST reply body of n
// bytes, in order, until it returns false; a path without its NUL is not
// taken.
void vxp_usb_bus_list_paths(const uint8_t* body, size_t n, bool (*each)(void* ctx, const char* path), void* ctx);

struct vxp_usb_info;

// Calls each(ctx, info) for the records of a DESCRIBE reply body of n
// bytes, in order, until it returns false. A record cut short (a text
// without its NUL, fields past the end) ends the reading; a field wider
// than the record's member (an id over 16 bits, an endpoint over 8) makes
// the record skipped, as a service's mistake.
void vxp_usb_bus_describe_records(const uint8_t* body, size_t n, bool (*each)(void* ctx, const vxp_usb_info* info),
                                  void* ctx);

#endif
