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
};

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
struct UsbDevice {
  vxp_usb* device;
  vxp_named_mutex* deviceMutex;
  std::atomic<int32_t> timeout;
  char path[VX_USB_PATH_SIZE];
  std::atomic<uint8_t> tag;
  std::atomic<uint8_t> checkCounter;
  std::recursive_mutex stepLock;
  std::mutex clearLock;
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

extern const TransportOps vx_usb_ops;

#endif
