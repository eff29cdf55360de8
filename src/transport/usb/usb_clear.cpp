// The device clear (the USBTMC clear handshake wrapped in the driver's two
// clear requests, an endpoint-halt clear and a drain of stale input) and the
// link check that follows it: a 4-byte vendor message echoed back.
#include <cstring>

#include "transport/usb/usb_device.h"

namespace {

// USBTMC 1.0 table 15/16: USBTMC_status values; table 31 (CHECK_CLEAR_STATUS).
const uint8_t kStatusPending = 2;
const uint8_t kInitiateClear = 5;
const uint8_t kCheckClearStatus = 6;
const uint8_t kClassInterfaceIn = 0xA1;
const uint8_t kClearFeature = 1;
const uint8_t kStandardEndpointOut = 0x02;
const uint32_t kDrainWaitMs = 1;
// Ends a drain of a device that never runs out of data.
const int kMaxDrainReads = 4096;
const int kAttempts = 5;

// The driver's 24-byte control request record.
void control_request(uint8_t rec[24], uint8_t requestType, uint8_t request, uint16_t length, bool toHost) {
  memset(rec, 0, 24);
  rec[0] = requestType;
  rec[1] = request;
  rec[6] = (uint8_t)length;
  rec[7] = (uint8_t)(length >> 8);
  rec[16] = toHost ? 1 : 0;
}

bool ioctl(UsbDevice* d, uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
           uint32_t* moved) {
  vxp_usb_op op = {VXP_USB_IOCTL, code, in, inLength, out, outLength};
  return vx_usbdev_transfer(d, &op, (uint32_t)d->timeout.load(), moved);
}

bool driver_clear_request(UsbDevice* d, uint32_t code) {
  uint8_t value[4] = {4, 0, 0, 0};
  uint32_t moved = 0;
  return ioctl(d, code, value, sizeof value, nullptr, 0, &moved);
}

bool vx_usbdev_initiateClear(UsbDevice* d) {
  uint8_t rec[24], status[1] = {0};
  control_request(rec, kClassInterfaceIn, kInitiateClear, 1, true);
  uint32_t moved = 0;
  return ioctl(d, VX_IOCTL_USB_CONTROL_REQUEST, rec, sizeof rec, status, sizeof status, &moved);
}

bool vx_usbdev_checkClearStatus(UsbDevice* d, uint8_t answer[2], uint32_t* moved) {
  uint8_t rec[24];
  control_request(rec, kClassInterfaceIn, kCheckClearStatus, 2, true);
  return ioctl(d, VX_IOCTL_USB_CONTROL_REQUEST, rec, sizeof rec, answer, 2, moved);
}

bool vx_usbdev_clearHalt(UsbDevice* d) {
  uint8_t rec[24];
  control_request(rec, kStandardEndpointOut, kClearFeature, 0, false);
  uint32_t moved = 0;
  return ioctl(d, VX_IOCTL_USB_CONTROL_REQUEST, rec, sizeof rec, nullptr, 0, &moved);
}

// The clear handshake; false when a request failed or the device stayed
// pending for longer than the poll bound.
bool clear_sequence(UsbDevice* d) {
  if (!driver_clear_request(d, VX_IOCTL_USB_PRE_CLEAR)) return false;
  if (!vx_usbdev_initiateClear(d)) return false;
  for (int polls = 0;; ++polls) {
    if (polls == VX_USB_MAX_PENDING_POLLS) return false;
    uint8_t answer[2] = {0, 0};
    uint32_t moved = 0;
    if (!vx_usbdev_checkClearStatus(d, answer, &moved)) return false;
    if (!(moved == 2 && answer[0] == kStatusPending)) break;
  }
  if (driver_clear_request(d, VX_IOCTL_USB_POST_CLEAR) && vx_usbdev_clearHalt(d)) vx_usbdev_drainInput(d);
  return true;
}

}  // namespace

bool vx_usbdev_drainInput(UsbDevice* d) {
  uint8_t scratch[VX_USB_MAX_MESSAGE];
  for (int i = 0; i < kMaxDrainReads; ++i) {
    vxp_usb_op op = {VXP_USB_BULK_IN, 0, nullptr, 0, scratch, sizeof scratch};
    uint32_t moved = 0;
    if (!vx_usbdev_transfer(d, &op, kDrainWaitMs, &moved) || moved == 0) break;
  }
  return true;
}

bool vx_usbdev_clearAndCheck(UsbDevice* d) {
  if (!d->device) return false;
  std::lock_guard<std::mutex> one(d->clearLock);
  // Another thread's step may wait for the device without a limit: it is
  // cut short (its owner cancels and reaps it, and its call fails), and
  // the clear keeps the device until it is done.
  vx_usb_driver->preempt(d->device, true);
  std::lock_guard<std::recursive_mutex> hold(d->stepLock);
  vx_usb_driver->preempt(d->device, false);
  bool ok = true;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (ok) ok = clear_sequence(d);
    uint8_t c = (uint8_t)(d->checkCounter.fetch_add(1) + 1);
    const uint8_t check[4] = {1, c, (uint8_t)~c, (uint8_t)(c + 100)};
    vx_usbdev_vendorOut(d, check, nullptr);
    vx_usbdev_requestVendorIn(d);
    // Cleared: an answer shorter than the check must not be completed by
    // what an earlier attempt left on the stack.
    uint8_t answer[VX_USB_MAX_PAYLOAD] = {};
    ok = vx_usbdev_readVendorIn(d, answer, nullptr);
    if (ok && memcmp(answer, check, 4) == 0) break;
  }
  return ok;
}

ViStatus vx_usbdev_clear(void* context) {
  UsbDevice* d = static_cast<UsbDevice*>(context);
  if (d->tmc) return vx_usbtmc_clear(d) ? VI_SUCCESS : VI_ERROR_TMO;
  return vx_usbdev_clearAndCheck(d) ? VI_SUCCESS : VI_ERROR_TMO;
}
