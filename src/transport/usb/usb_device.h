// The direct USB transport: a device context over the instrument's USB
// driver, USBTMC bulk-message framing, the device clear with its link check,
// the identification probe of the find call's USB search, and the tables.
#ifndef VX_USB_DEVICE_H
#define VX_USB_DEVICE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "common/le32.h"
#include "platform/named_mutex.h"
#include "platform/usb_driver.h"
#include "transport/transport.h"

// The driver's three I/O control codes: buffered method, device type 0x8000,
// any access, functions 0x820, 0x801 and 0x807.
#define VX_IOCTL_USB_CONTROL_REQUEST 0x80002080u
#define VX_IOCTL_USB_PRE_CLEAR 0x80002004u
#define VX_IOCTL_USB_POST_CLEAR 0x8000201Cu

// USBTMC bulk-message IDs (USBTMC 1.0, table 2).
enum {
  VX_USBTMC_DEV_DEP_MSG_OUT = 1,
  VX_USBTMC_REQUEST_DEV_DEP_MSG_IN = 2,
  VX_USBTMC_DEV_DEP_MSG_IN = 2,  // the device's answer carries the request's ID
  VX_USBTMC_VENDOR_SPECIFIC_OUT = 126,
  VX_USBTMC_REQUEST_VENDOR_SPECIFIC_IN = 127,
  VX_USB488_TRIGGER = 128,
};

// Another maker's USBTMC interface, as the bus describes it, and what its
// capabilities said at the open.
struct UsbTmcInterface {
  uint16_t vendor;
  uint16_t product;
  uint8_t interfaceNumber;
  uint8_t protocol;  // 1: USB488
  uint8_t bulkOut;
  uint8_t bulkIn;
  uint8_t interruptIn;  // 0: none
  uint16_t bulkOutPacket;
  uint16_t bulkInPacket;
  uint32_t quirks;  // usb_quirks.h
  // GET_CAPABILITIES: read at the open; the USB488 bytes 14 and 15.
  bool capsRead;
  uint8_t usb488Interface;
  uint8_t usb488Device;
};

// The bus carries frames of at most 65536 bytes: a bulk out of 16 bytes of
// request and the transfer, a bulk in's completion of 12 bytes and the data.
#define VX_USB_TMC_MAX_OUT 65520u
#define VX_USB_TMC_MAX_IN 65524u
#define VX_USB_TMC_BUFFER 65536u
// The longest transfer within `limit`: whole packets.
inline uint32_t vx_usbtmc_maxTransfer(uint32_t limit, uint16_t packet) {
  if (packet == 0 || packet > limit) return limit & ~3u;
  return limit / packet * packet;
}
// A write's tail kept back, so that the message's end can go on it.
#define VX_USB_TMC_HELD 64u
// The longest interface path taken from the bus.
#define VX_USB_TMC_PATH 512u

#define VX_USB_HEADER 12
#define VX_USB_MAX_MESSAGE 1024
#define VX_USB_MAX_PAYLOAD (VX_USB_MAX_MESSAGE - VX_USB_HEADER)
#define VX_USB_PATH_SIZE 128
#define VX_USB_PATH_KEPT 126
#define VX_USB_SERIAL_SIZE 32
#define VX_USB_SERIAL_LENGTH 18
#define VX_USB_VENDOR 0x03EBu
#define VX_USB_PRODUCT 0xAFFFu
#define VX_USB_OPEN_TIMEOUT_MS 2000
// A CHECK_CLEAR_STATUS that answers "pending" this many times in a row ends
// the clear sequence as failed (a real device finishes within a few polls).
#define VX_USB_MAX_PENDING_POLLS 1000

// The driver calls the transport makes; the product uses the platform's,
// unit tests a scripted fake.
struct UsbDriverOps {
  void (*list)(bool (*each)(void* ctx, const char* path), void* ctx);
  vxp_usb* (*open)(const char* path);
  void (*close)(vxp_usb* d);
  void (*start)(vxp_usb* d, const vxp_usb_op* op);
  void (*wait)(vxp_usb* d, uint32_t ms);
  bool (*pending)(vxp_usb* d);
  void (*cancel)(vxp_usb* d);
  bool (*result)(vxp_usb* d, uint32_t* bytes);
  void (*interrupt)(vxp_usb* d);
  void (*preempt)(vxp_usb* d, bool on);
  void (*describe)(bool (*each)(void* ctx, const vxp_usb_info* info), void* ctx);
};

extern const UsbDriverOps vx_usb_platform_driver;
extern const UsbDriverOps* vx_usb_driver;

// The device context. The driver handle carries the device's one
// overlapped record and its event. One thread at a time may run a transfer
// step on it (stepLock): on a link the per-link lock already serialises the
// calls, except the unlocked clear. A clear (one at a time: clearLock)
// preempts the step in flight, whose owner cancels and reaps it, and then
// holds stepLock for its whole sequence; a step of another thread that
// starts meanwhile fails the same way or waits for the clear's end.
struct UsbSrqReader;

struct UsbDevice {
  vxp_usb* device;
  vxp_named_mutex* deviceMutex;
  std::atomic<int32_t> timeout;
  char path[VX_USB_PATH_SIZE];
  std::atomic<uint8_t> tag;
  std::atomic<uint8_t> checkCounter;
  std::recursive_mutex stepLock;
  std::mutex clearLock;

  // Another maker's device, reached with class requests only
  // (usb_tmc*.cpp); false: the maker's own, with its vendor echo.
  bool tmc = false;
  UsbTmcInterface tmcIf = {};
  // Transfers are built and read here (VX_USB_TMC_BUFFER bytes).
  uint8_t* tmcBuffer = nullptr;
  // Payload bytes a read took beyond what its caller asked, at
  // tmcBuffer + spareAt, for the next reads.
  uint32_t spareAt = 0;
  uint32_t spareLength = 0;
  // Payload bytes of the device's current message not yet read off the
  // bus: they come without a new request.
  uint32_t msgLeft = 0;
  // The bTag of the last bulk-out transfer and of the last request for a
  // reply (for their aborts), and READ_STATUS_BYTE's own (2..127).
  uint8_t outTag = 0;
  uint8_t inTag = 0;
  uint8_t stbTag = 1;
  // A write's tail, kept for the message's end (endMessage) or the next
  // write.
  uint8_t held[VX_USB_TMC_HELD] = {};
  uint32_t heldLength = 0;
  // The interface's whole path (path above may be cut for log lines).
  char tmcPath[VX_USB_TMC_PATH] = {};

  // Service requests (usb_srq.cpp): the reader of the interrupt-IN
  // endpoint's SRQ notifications on its own handle while they are on.
  // srqLock guards the pointer for the close's unlocked abort.
  UsbSrqReader* srq = nullptr;
  std::mutex srqLock;
};

typedef char UsbPath[VX_USB_PATH_SIZE];

// Enumeration and open.
bool vx_usbdev_enumerate(UsbPath* table, uint32_t capacity, uint32_t* found, const char* wanted);
// The serial segment of a path (after the first '#' behind "vid_", up to the
// next '#'); false when there is none or it is longer than 31 characters.
bool vx_usbdev_serialOf(const char* path, char serial[VX_USB_SERIAL_SIZE]);
// The device mutex name for a path, at most 126 characters.
void vx_usbdev_mutexName(const char* path, char name[VX_USB_PATH_SIZE]);
bool vx_usbdev_openPath(UsbDevice* d, const char* path);
void vx_usbdev_closeHandles(UsbDevice* d);

// Messages.
// The 12-byte USBTMC bulk header.
inline void vx_usbdev_putHeader(uint8_t* msg, uint8_t msgId, uint8_t tag, uint32_t size, uint8_t attributes) {
  msg[0] = msgId;
  msg[1] = tag;
  msg[2] = (uint8_t)~tag;
  msg[3] = 0;
  vx_put_le32(msg + 4, size);
  msg[8] = attributes;
  msg[9] = 0;
  msg[10] = 0;
  msg[11] = 0;
}
uint8_t vx_usbdev_nextTag(UsbDevice* d);
bool vx_usbdev_transfer(UsbDevice* d, const vxp_usb_op* op, uint32_t waitMs, uint32_t* moved);
bool vx_usbdev_writeMessage(UsbDevice* d, const void* data, int32_t length, int32_t* sent);
bool vx_usbdev_requestIn(UsbDevice* d, uint32_t asked);
bool vx_usbdev_readIn(UsbDevice* d, void* dest, int32_t asked, int32_t* payload);
bool vx_usbdev_vendorOut(UsbDevice* d, const uint8_t payload[4], int32_t* sent);
bool vx_usbdev_requestVendorIn(UsbDevice* d);
bool vx_usbdev_readVendorIn(UsbDevice* d, uint8_t* dest, int32_t* payload);

// Clear and link check.
bool vx_usbdev_clearAndCheck(UsbDevice* d);
bool vx_usbdev_drainInput(UsbDevice* d);

// Other makers' devices (usb_tmc.cpp, usb_tmc_control.cpp, usb_name.cpp).
// Finds the USBTMC interface a VISA USB name means: the interface's
// describe record copied into *info, its path into `path`; false when none
// is present, after a log line saying so.
bool vx_usbdev_findByName(const char* name, char* path, size_t pathSize, UsbTmcInterface* info);
// Opens the interface at `path` with class requests only: the reservation,
// GET_CAPABILITIES and the clear, each within timeoutMs.
bool vx_usbtmc_openPath(UsbDevice* d, const char* path, const UsbTmcInterface* info, int32_t timeoutMs);
ViStatus vx_usbtmc_read(UsbDevice* d, void* buffer, ViInt32 count, ViInt32* retCount);
ViStatus vx_usbtmc_write(UsbDevice* d, const void* buffer, ViInt32 count, ViInt32* retCount, bool mayEnd);
ViStatus vx_usbtmc_end(UsbDevice* d);
// Sends what a write kept back, with EOM when `eom`.
bool vx_usbtmc_flushHeld(UsbDevice* d, bool eom);
bool vx_usbtmc_getCapabilities(UsbDevice* d);
bool vx_usbtmc_clear(UsbDevice* d);
// After a bulk transfer that did not complete: the abort handshake for the
// transfer with `tag`, then the drain or halt clear.
void vx_usbtmc_abortOut(UsbDevice* d, uint8_t tag);
void vx_usbtmc_abortIn(UsbDevice* d, uint8_t tag);
ViStatus vx_usbtmc_readStb(UsbDevice* d, ViUInt16* stb);
ViStatus vx_usbtmc_trigger(UsbDevice* d);
ViStatus vx_usbtmc_remote(UsbDevice* d, ViUInt16 mode);
// A class control request of the interface (bmRequestType 0xA1) or of an
// endpoint (0xA2), answer into `answer`; true when the transfer completed.
bool vx_usbtmc_control(UsbDevice* d, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                       uint8_t* answer, uint16_t length, uint32_t* moved);

// The search's probe: opens the device at `path` outside the link table,
// clears it (under clearLock, so that one device of a search is cleared at
// a time), asks "*IDN?" with tmoMs and reads the reply into `reply`,
// NUL-terminated; a reply that fills all `size` bytes is left empty. True
// when the device answered.
bool vx_usbdev_identify(const char* path, int tmoMs, std::mutex* clearLock, char* reply, size_t size);

// The transport's operations, also for tests that drive a fake driver.
ViStatus vx_usbdev_open(const char* address, ViInt32 tmoMs, LinkSlot* slot);
ViStatus vx_usbdev_close(void* context);
ViStatus vx_usbdev_read(void* context, void* buffer, ViInt32 count, ViInt32* retCount);
ViStatus vx_usbdev_write(void* context, const void* buffer, ViInt32 count, ViInt32* retCount);
ViStatus vx_usbdev_settmo(void* context, ViInt32 tmoMs);
ViStatus vx_usbdev_clear(void* context);
void vx_usbdev_abort(void* context);
ViStatus vx_usbdev_readStb(void* context, ViUInt16* stb);
ViStatus vx_usbdev_trigger(void* context);
ViStatus vx_usbdev_remote(void* context, ViUInt16 mode);
ViStatus vx_usbdev_endMessage(void* context);
ViStatus vx_usbdev_writeMore(void* context, const void* buffer, ViInt32 count, ViInt32* retCount);
// Service requests of a USB488 interface with an interrupt-IN endpoint
// (usb_srq.cpp); stop ends the reader (no post after it returns), and
// interrupt, from any thread, makes it end at once.
ViStatus vx_usbdev_srqEnable(void* context, SrqSink* sink);
void vx_usbdev_srqStop(UsbDevice* d);
void vx_usbdev_srqInterrupt(UsbDevice* d);

extern const TransportOps vx_usb_ops;

#endif
