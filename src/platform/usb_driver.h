// Platform layer, the instrument's USB driver: list its device interfaces,
// open one, and run one overlapped operation at a time on the device's one
// overlapped record. posix/usb_driver.cpp (a client of the USB bus service)
// and win/usb_driver.cpp (SetupAPI and the maker's kernel driver) define the
// same functions and the build picks one; nothing above platform/ knows
// which. Framing, enumeration filters, tags and clears are shared code in
// transport/usb/.
#ifndef VX_PLATFORM_USB_DRIVER_H
#define VX_PLATFORM_USB_DRIVER_H

#include <cstddef>
#include <cstdint>

struct vxp_usb;

enum vxp_usb_kind { VXP_USB_BULK_OUT = 0, VXP_USB_BULK_IN = 1, VXP_USB_IOCTL = 2, VXP_USB_INTERRUPT_IN = 3 };

// The interrupt-IN codes: the next notification that is not a service
// request (a READ_STATUS_BYTE answer), or the next service request.
enum { VXP_USB_NOTIFY_STATUS = 0, VXP_USB_NOTIFY_SERVICE = 1 };

// One operation: for bulk out `in` holds the bytes to write; for bulk in
// `out` receives up to outLength bytes; an I/O control sends `in` with
// `code` and receives up to outLength bytes into `out`; an interrupt in
// receives one notification of the kind `code` says into `out`. The buffers must stay
// valid until vxp_usb_result or vxp_usb_cancel has returned.
struct vxp_usb_op {
  vxp_usb_kind kind;
  uint32_t code;
  const void* in;
  uint32_t inLength;
  void* out;
  uint32_t outLength;
};

// Calls each(ctx, path) for every present device interface of the
// instrument class, in enumeration order, until it returns false. Paths are
// 8-bit text (converted from wide text on Windows).
void vxp_usb_list(bool (*each)(void* ctx, const char* path), void* ctx);

// One USBTMC interface of any maker, as the bus describes it. The texts
// point into the describer's memory: valid during the call only.
struct vxp_usb_info {
  const char* path;  // as vxp_usb_open takes it
  uint16_t vendor;
  uint16_t product;
  uint16_t bcdDevice;
  uint8_t interfaceNumber;
  uint8_t protocol;  // bInterfaceProtocol: 0 USBTMC, 1 USB488
  uint8_t bulkOut;   // endpoint addresses; 0: none
  uint8_t bulkIn;
  uint8_t interruptIn;
  uint16_t bulkOutPacket;  // wMaxPacketSize each; 0: none
  uint16_t bulkInPacket;
  uint16_t interruptPacket;
  uint8_t speed;  // 1 low, 2 full, 3 high, 4 super, 0 unknown
  const char* manufacturer;  // string descriptors, "" when absent
  const char* productName;
  const char* serial;
};

// Calls each(ctx, info) for every USBTMC interface of every maker's
// present device, in enumeration order, until it returns false. Lists
// nothing where the platform cannot describe them (Windows: the maker's
// driver sees only the maker's devices).
void vxp_usb_describe(bool (*each)(void* ctx, const vxp_usb_info* info), void* ctx);
// Whether vxp_usb_describe can list anything here (false on Windows).
bool vxp_usb_can_describe();

// Opens a device interface for overlapped I/O, with its one overlapped
// record and manual-reset event; null when the path cannot be opened.
vxp_usb* vxp_usb_open(const char* path);
// Ends what is pending, then closes everything.
void vxp_usb_close(vxp_usb* d);

// Starts the operation; the immediate result is not reported: a start that
// failed completes at once with a failure.
void vxp_usb_start(vxp_usb* d, const vxp_usb_op* op);
// Waits for the operation to complete for at most ms milliseconds
// (0xFFFFFFFF: no limit).
void vxp_usb_wait(vxp_usb* d, uint32_t ms);
// True while the operation has not completed.
bool vxp_usb_pending(vxp_usb* d);
// Cancels the pending operation and reaps it: on return it no longer
// writes into the record or the buffers. A reap that takes longer than
// 1000 ms makes the device gone for this handle: every later operation
// fails at once, and close does not wait for it.
void vxp_usb_cancel(vxp_usb* d);
// The completed operation's success and its byte count (without waiting).
bool vxp_usb_result(vxp_usb* d, uint32_t* bytes);

// From any thread, while the owner may be inside a wait: the pending
// operation ends, and every later one fails at once, until close.
void vxp_usb_interrupt(vxp_usb* d);

// From any thread: while on, a wait in progress or begun lasts at most a
// short grace more (50 ms: what is about to complete still does) and then
// returns, leaving its operation pending for the owner to cancel and reap.
// Turned off again by the same caller; nothing else changes.
void vxp_usb_preempt(vxp_usb* d, bool on);

// Why the last list or open of this thread could not reach the USB bus at
// all, when the machine is the cause (Linux: nothing serves the bus socket,
// or it does not admit this user), and forgets it; null when there is none
// (always on Windows, whose driver needs no service).
const char* vxp_usb_take_problem();

#endif
