// Other makers' USBTMC devices: the class control requests. Capabilities
// at the open; the clear (INITIATE_CLEAR, CHECK_CLEAR_STATUS polled,
// CLEAR_FEATURE(ENDPOINT_HALT) of bulk out, as the Linux usbtmc driver
// does); the aborts of a transfer that did not complete; and USB488's
// status byte, trigger and remote controls.
#include <cstring>

#include "log/call_log.h"
#include "platform/clock.h"
#include "transport/usb/usb_device.h"

namespace {

// USBTMC requests and statuses; USB488 requests.
enum : uint8_t {
  kInitiateAbortBulkOut = 1,
  kCheckAbortBulkOutStatus = 2,
  kInitiateAbortBulkIn = 3,
  kCheckAbortBulkInStatus = 4,
  kInitiateClear = 5,
  kCheckClearStatus = 6,
  kGetCapabilities = 7,
  kReadStatusByte = 128,
  kRenControl = 160,
  kGoToLocal = 161,
  kLocalLockout = 162,
};
enum : uint8_t { kSuccess = 1, kPending = 2 };
const uint8_t kToInterface = 0xA1;
const uint8_t kToEndpoint = 0xA2;
const uint8_t kStandardEndpointOut = 0x02;
const uint8_t kClearFeature = 1;

// The polls of a clear or an abort: at most this many (the Linux driver's
// bound), this far apart, within the control wait below.
const int kMaxPolls = 100;
const uint32_t kPollGapMs = 5;
// A control request waits at most the link timeout, and never longer than
// this (a link timeout of none included); so do a clear's or an abort's
// polls and drains, each.
const uint32_t kControlWaitMs = 5000;
// A drain of bulk in reads at most this many transfers, each this briefly.
const int kMaxDrainReads = 100;
const uint32_t kDrainWaitMs = 50;
// Notifications of other tags dropped before a status byte is given up.
const int kMaxNotifications = 32;

uint32_t control_wait(UsbDevice* d) {
  int32_t t = d->timeout.load();
  return t > 0 && (uint32_t)t < kControlWaitMs ? (uint32_t)t : kControlWaitMs;
}

bool halt_clear(UsbDevice* d, uint8_t endpoint) {
  uint32_t moved = 0;
  return vx_usbtmc_control(d, kStandardEndpointOut, kClearFeature, 0, endpoint, nullptr, 0, &moved);
}

// Reads bulk in until a short transfer or none; true when one came short
// (the device's data has ended).
bool drain(UsbDevice* d) {
  const uint16_t packet = d->tmcIf.bulkInPacket ? d->tmcIf.bulkInPacket : 64;
  // Whole packets, within what one completion frame of the bus carries.
  const uint32_t want = vx_usbtmc_maxTransfer(VX_USB_TMC_MAX_IN, packet);
  const uint32_t start = vxp_tick_ms(), bound = control_wait(d);
  for (int i = 0; i < kMaxDrainReads && vxp_tick_ms() - start < bound; ++i) {
    vxp_usb_op op = {VXP_USB_BULK_IN, 0, nullptr, 0, d->tmcBuffer + VX_USB_TMC_BUFFER, want};
    uint32_t moved = 0;
    if (!vx_usbdev_transfer(d, &op, kDrainWaitMs, &moved)) return false;
    if (moved % packet != 0 || moved == 0) return true;
  }
  return false;
}

void forget_messages(UsbDevice* d) {
  d->msgLeft = 0;
  d->spareAt = 0;
  d->spareLength = 0;
}

// Polls a CHECK_*_STATUS request while it answers PENDING, within the
// bounds; bit 0 of its second byte asks for bulk in to be read meanwhile.
// True when it ended with SUCCESS.
bool poll_status(UsbDevice* d, uint8_t requestType, uint8_t request, uint16_t index, uint16_t length) {
  const uint32_t start = vxp_tick_ms(), bound = control_wait(d);
  for (int polls = 0; polls < kMaxPolls && vxp_tick_ms() - start < bound; ++polls) {
    uint8_t answer[8] = {};
    uint32_t moved = 0;
    if (!vx_usbtmc_control(d, requestType, request, 0, index, answer, length, &moved) || moved < 1) return false;
    if (answer[0] != kPending) return answer[0] == kSuccess;
    if (moved >= 2 && (answer[1] & 1))
      drain(d);
    else
      vxp_sleep_ms(kPollGapMs);
  }
  writeLog("USB error: %s: the device stayed busy with request %u for %d polls or %u ms\n", d->path,
           (unsigned)request, kMaxPolls, (unsigned)bound);
  return false;
}

// A USB488 request of one status byte of answer.
bool usb488_request(UsbDevice* d, uint8_t request, uint16_t value) {
  uint8_t answer[1] = {0};
  uint32_t moved = 0;
  return vx_usbtmc_control(d, kToInterface, request, value, d->tmcIf.interfaceNumber, answer, 1, &moved) &&
         moved == 1 && answer[0] == kSuccess;
}

bool is_usb488(const UsbDevice* d) { return d->tmcIf.protocol == 1 && d->tmcIf.capsRead; }

ViStatus refuse(UsbDevice* d, const char* what, const char* why) {
  writeLog("USB error: %s: %s is not supported: %s\n", d->path, what, why);
  return VI_ERROR_NSUP_OPER;
}

}  // namespace

bool vx_usbtmc_control(UsbDevice* d, uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                       uint8_t* answer, uint16_t length, uint32_t* moved) {
  uint8_t rec[24] = {};
  rec[0] = requestType;
  rec[1] = request;
  rec[2] = (uint8_t)value;
  rec[3] = (uint8_t)(value >> 8);
  rec[4] = (uint8_t)index;
  rec[5] = (uint8_t)(index >> 8);
  rec[6] = (uint8_t)length;
  rec[7] = (uint8_t)(length >> 8);
  rec[16] = (requestType & 0x80) ? 1 : 0;
  vxp_usb_op op = {VXP_USB_IOCTL, VX_IOCTL_USB_CONTROL_REQUEST, rec, sizeof rec, answer, length};
  *moved = 0;
  bool ok = vx_usbdev_transfer(d, &op, control_wait(d), moved);
  if (*moved > length) *moved = length;
  return ok;
}

bool vx_usbtmc_getCapabilities(UsbDevice* d) {
  uint8_t caps[24] = {};
  uint32_t moved = 0;
  d->tmcIf.capsRead = false;
  d->tmcIf.usb488Interface = 0;
  d->tmcIf.usb488Device = 0;
  if (!vx_usbtmc_control(d, kToInterface, kGetCapabilities, 0, d->tmcIf.interfaceNumber, caps, sizeof caps, &moved) ||
      moved < 1 || caps[0] != kSuccess) {
    writeLog("USB error: %s: GET_CAPABILITIES failed; the USB488 controls are not used\n", d->path);
    return false;
  }
  d->tmcIf.capsRead = true;
  if (moved >= 16) {
    d->tmcIf.usb488Interface = caps[14];
    d->tmcIf.usb488Device = caps[15];
  }
  return true;
}

bool vx_usbtmc_clear(UsbDevice* d) {
  if (!d->device) return false;
  std::lock_guard<std::mutex> one(d->clearLock);
  // As the maker's clear: a step in flight is cut short, and the clear
  // keeps the device until it is done.
  vx_usb_driver->preempt(d->device, true);
  std::lock_guard<std::recursive_mutex> hold(d->stepLock);
  vx_usb_driver->preempt(d->device, false);
  forget_messages(d);
  d->heldLength = 0;
  uint8_t answer[1] = {0};
  uint32_t moved = 0;
  bool ok = vx_usbtmc_control(d, kToInterface, kInitiateClear, 0, d->tmcIf.interfaceNumber, answer, 1, &moved) &&
            moved == 1 && answer[0] == kSuccess;
  if (ok) ok = poll_status(d, kToInterface, kCheckClearStatus, d->tmcIf.interfaceNumber, 2);
  // The halt clear also ends a bulk out the device had stopped taking.
  if (!halt_clear(d, d->tmcIf.bulkOut)) ok = false;
  if (!ok) writeLog("USB error: %s: the device clear failed\n", d->path);
  return ok;
}

void vx_usbtmc_abortOut(UsbDevice* d, uint8_t tag) {
  d->heldLength = 0;
  uint8_t answer[2] = {0, 0};
  uint32_t moved = 0;
  if (!vx_usbtmc_control(d, kToEndpoint, kInitiateAbortBulkOut, tag, d->tmcIf.bulkOut, answer, 2, &moved) ||
      moved < 1 || answer[0] != kSuccess)
    return;  // no such transfer in progress: nothing to end
  poll_status(d, kToEndpoint, kCheckAbortBulkOutStatus, d->tmcIf.bulkOut, 8);
  halt_clear(d, d->tmcIf.bulkOut);
}

void vx_usbtmc_abortIn(UsbDevice* d, uint8_t tag) {
  forget_messages(d);
  uint8_t answer[2] = {0, 0};
  uint32_t moved = 0;
  if (!vx_usbtmc_control(d, kToEndpoint, kInitiateAbortBulkIn, tag, d->tmcIf.bulkIn, answer, 2, &moved) ||
      moved < 1 || answer[0] != kSuccess)
    return;
  drain(d);
  poll_status(d, kToEndpoint, kCheckAbortBulkInStatus, d->tmcIf.bulkIn, 8);
}

ViStatus vx_usbtmc_readStb(UsbDevice* d, ViUInt16* stb) {
  if (!is_usb488(d)) return refuse(d, "reading the status byte", "the interface is not USB488");
  std::lock_guard<std::recursive_mutex> hold(d->stepLock);
  // bTag 2..127: 0 and 1 are not used for it.
  d->stbTag = d->stbTag >= 127 || d->stbTag < 2 ? 2 : (uint8_t)(d->stbTag + 1);
  const uint8_t tag = d->stbTag;
  uint8_t answer[3] = {0, 0, 0};
  uint32_t moved = 0;
  if (!vx_usbtmc_control(d, kToInterface, kReadStatusByte, tag, d->tmcIf.interfaceNumber, answer, 3, &moved))
    return VI_ERROR_TMO;
  if (moved < 3 || answer[0] != kSuccess || answer[1] != tag) {
    writeLog("USB error: %s: READ_STATUS_BYTE answered status %u, bTag %u (sent %u)\n", d->path,
             (unsigned)answer[0], (unsigned)answer[1], (unsigned)tag);
    return VI_ERROR_IO;
  }
  if (d->tmcIf.interruptIn == 0) {
    *stb = answer[2];
    return VI_SUCCESS;
  }
  // With an interrupt-IN endpoint the status byte comes as the
  // notification 0x80|bTag; others (an earlier poll's) are dropped.
  for (int i = 0; i < kMaxNotifications; ++i) {
    uint8_t note[2] = {0, 0};
    vxp_usb_op op = {VXP_USB_INTERRUPT_IN, VXP_USB_NOTIFY_STATUS, nullptr, 0, note, sizeof note};
    uint32_t got = 0;
    if (!vx_usbdev_transfer(d, &op, control_wait(d), &got)) return VI_ERROR_TMO;
    if (got == 2 && note[0] == (0x80 | tag)) {
      *stb = note[1];
      return VI_SUCCESS;
    }
  }
  writeLog("USB error: %s: no status byte notification with bTag %u\n", d->path, (unsigned)tag);
  return VI_ERROR_IO;
}

ViStatus vx_usbtmc_trigger(UsbDevice* d) {
  if (!is_usb488(d) || !(d->tmcIf.usb488Interface & 1))
    return refuse(d, "the trigger", "the device's capabilities do not offer TRIGGER");
  std::lock_guard<std::recursive_mutex> hold(d->stepLock);
  // What a write kept back goes first, without its end, as the VXI-11
  // route sends its held bytes before a trigger.
  if (!vx_usbtmc_flushHeld(d, false)) return VI_ERROR_TMO;
  uint8_t msg[VX_USB_HEADER];
  const uint8_t tag = vx_usbdev_nextTag(d);
  vx_usbdev_putHeader(msg, VX_USB488_TRIGGER, tag, 0, 0);
  d->outTag = tag;
  vxp_usb_op op = {VXP_USB_BULK_OUT, 0, msg, sizeof msg, nullptr, 0};
  uint32_t moved = 0;
  if (vx_usbdev_transfer(d, &op, (uint32_t)d->timeout.load(), &moved) && moved == sizeof msg) return VI_SUCCESS;
  vx_usbtmc_abortOut(d, tag);
  return VI_ERROR_TMO;
}

ViStatus vx_usbtmc_remote(UsbDevice* d, ViUInt16 mode) {
  if (!is_usb488(d) || !(d->tmcIf.usb488Interface & 2))
    return refuse(d, "the remote control", "the device's capabilities do not offer REN_CONTROL");
  // VISA's REN modes as USB488 requests, in order.
  struct Step {
    uint8_t request;
    uint16_t value;
  };
  static const Step kRenOff[] = {{kRenControl, 0}};
  static const Step kRenOn[] = {{kRenControl, 1}};
  static const Step kGtlRenOff[] = {{kGoToLocal, 0}, {kRenControl, 0}};
  static const Step kLlo[] = {{kLocalLockout, 0}};
  static const Step kRenOnLlo[] = {{kRenControl, 1}, {kLocalLockout, 0}};
  static const Step kGtl[] = {{kGoToLocal, 0}};
  struct Plan {
    const Step* steps;
    int count;
  };
  static const Plan kPlans[] = {{kRenOff, 1}, {kRenOn, 1}, {kGtlRenOff, 2}, {kRenOn, 1},
                                {kLlo, 1},    {kRenOnLlo, 2}, {kGtl, 1}};
  if (mode >= sizeof kPlans / sizeof kPlans[0]) return VI_ERROR_SYSTEM_ERROR;
  std::lock_guard<std::recursive_mutex> hold(d->stepLock);
  for (int i = 0; i < kPlans[mode].count; ++i) {
    const Step& s = kPlans[mode].steps[i];
    if (!usb488_request(d, s.request, s.value)) {
      writeLog("USB error: %s: USB488 request %u failed\n", d->path, (unsigned)s.request);
      return VI_ERROR_IO;
    }
  }
  return VI_SUCCESS;
}
