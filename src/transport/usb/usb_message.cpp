// USBTMC bulk messages over the driver: the overlapped transfer step, the
// message primitives, and the transport's read and write.
#include <cstring>

#include "transport/usb/usb_device.h"

namespace {

// The 12-byte USBTMC bulk header with the device's next tag.
void build_header(UsbDevice* d, uint8_t* msg, uint8_t msgId, uint32_t transferSize, uint8_t attributes) {
  vx_usbdev_putHeader(msg, msgId, vx_usbdev_nextTag(d), transferSize, attributes);
}

uint32_t wait_of(UsbDevice* d) { return (uint32_t)d->timeout.load(); }

// Writes a built message, the rest again after a partial write. A step that
// reports success without moving a byte would repeat for ever; it fails.
bool send_message(UsbDevice* d, const uint8_t* msg, uint32_t length, uint32_t* written) {
  *written = 0;
  while (*written < length) {
    vxp_usb_op op = {VXP_USB_BULK_OUT, 0, msg + *written, length - *written, nullptr, 0};
    uint32_t moved = 0;
    bool ok = vx_usbdev_transfer(d, &op, wait_of(d), &moved);
    if (moved > length - *written) moved = length - *written;
    *written += moved;
    if (!ok || moved == 0) return false;
  }
  return true;
}

// One DEV_DEP_MSG_OUT with up to 1012 bytes of data; *sent is the payload
// that got through.
bool write_one(UsbDevice* d, const uint8_t* data, uint32_t payload, int32_t* sent) {
  uint8_t msg[VX_USB_MAX_MESSAGE];
  build_header(d, msg, VX_USBTMC_DEV_DEP_MSG_OUT, payload, 1);
  memcpy(msg + VX_USB_HEADER, data, payload);
  uint32_t length = VX_USB_HEADER + payload;
  while (length % 4 != 0) msg[length++] = 0;
  uint32_t written = 0;
  bool ok = send_message(d, msg, length, &written);
  int64_t through = (int64_t)written - length + payload;
  *sent = through > 0 ? (int32_t)through : 0;
  return ok;
}

}  // namespace

uint8_t vx_usbdev_nextTag(UsbDevice* d) {
  uint8_t t = d->tag.load();
  for (;;) {
    uint8_t current = t == 0 ? 1 : t;  // 0 is never sent
    uint8_t next = current == 255 ? 1 : (uint8_t)(current + 1);
    if (d->tag.compare_exchange_weak(t, next)) return current;
  }
}

bool vx_usbdev_transfer(UsbDevice* d, const vxp_usb_op* op, uint32_t waitMs, uint32_t* moved) {
  *moved = 0;
  if (!d->device) return false;
  std::lock_guard<std::recursive_mutex> hold(d->stepLock);
  const UsbDriverOps* drv = vx_usb_driver;
  drv->start(d->device, op);
  drv->wait(d->device, waitMs);
  if (drv->pending(d->device)) {
    // Reaped before the buffers go back to the caller.
    drv->cancel(d->device);
    return false;
  }
  return drv->result(d->device, moved);
}

bool vx_usbdev_writeMessage(UsbDevice* d, const void* data, int32_t length, int32_t* sent) {
  if (sent) *sent = 0;
  if (length < 0) length = 0;
  uint32_t payload = length < VX_USB_MAX_PAYLOAD ? (uint32_t)length : VX_USB_MAX_PAYLOAD;
  int32_t through = 0;
  bool ok = write_one(d, static_cast<const uint8_t*>(data), payload, &through);
  if (sent) *sent = through;
  return ok;
}

bool vx_usbdev_requestIn(UsbDevice* d, uint32_t asked) {
  uint8_t msg[VX_USB_HEADER];
  build_header(d, msg, VX_USBTMC_REQUEST_DEV_DEP_MSG_IN, asked < VX_USB_MAX_PAYLOAD ? asked : VX_USB_MAX_PAYLOAD, 0);
  uint32_t written = 0;
  return send_message(d, msg, sizeof msg, &written);
}

bool vx_usbdev_readIn(UsbDevice* d, void* dest, int32_t asked, int32_t* payload) {
  if (payload) *payload = 0;
  if (asked < 0) asked = 0;
  uint32_t expected = (uint32_t)asked + VX_USB_HEADER;
  if (expected > VX_USB_MAX_MESSAGE) expected = VX_USB_MAX_MESSAGE;
  uint8_t buf[VX_USB_MAX_MESSAGE];
  memset(buf, 0, sizeof buf);
  uint32_t have = 0;
  bool ok = true;
  while (have < expected) {
    vxp_usb_op op = {VXP_USB_BULK_IN, 0, nullptr, 0, buf + have, expected - have};
    uint32_t moved = 0;
    ok = vx_usbdev_transfer(d, &op, wait_of(d), &moved);
    if (moved > expected - have) moved = expected - have;
    have += moved;
    if (have >= VX_USB_HEADER) {
      if (buf[0] != VX_USBTMC_DEV_DEP_MSG_IN) {
        // Not an answer to our request (the unlocked clear's vendor reply
        // can reach this read first): its payload is not the device's data.
        ok = false;
        expected = VX_USB_HEADER;
        break;
      }
      uint64_t size = (uint64_t)vx_get_le32(buf + 4) + VX_USB_HEADER;
      if (size < expected) expected = (uint32_t)size;  // the zero fill behind it is dropped
    }
    // A transfer of no bytes makes no progress; taken as a failure, or a
    // device sending empty packets would keep the read here for ever.
    if (ok && moved == 0 && have < expected) ok = false;
    if (!ok) break;
  }
  uint32_t length = expected - VX_USB_HEADER;
  memcpy(dest, buf + VX_USB_HEADER, length);
  if (payload) *payload = (int32_t)length;
  return ok;
}

bool vx_usbdev_vendorOut(UsbDevice* d, const uint8_t bytes[4], int32_t* sent) {
  if (sent) *sent = 0;
  uint8_t msg[VX_USB_HEADER + 4];
  build_header(d, msg, VX_USBTMC_VENDOR_SPECIFIC_OUT, 4, 0);
  memcpy(msg + VX_USB_HEADER, bytes, 4);
  uint32_t written = 0;
  bool ok = send_message(d, msg, sizeof msg, &written);
  if (sent) *sent = written > VX_USB_HEADER ? (int32_t)(written - VX_USB_HEADER) : 0;
  return ok;
}

bool vx_usbdev_requestVendorIn(UsbDevice* d) {
  uint8_t msg[VX_USB_HEADER];
  build_header(d, msg, VX_USBTMC_REQUEST_VENDOR_SPECIFIC_IN, VX_USB_MAX_PAYLOAD, 0);
  uint32_t written = 0;
  return send_message(d, msg, sizeof msg, &written);
}

bool vx_usbdev_readVendorIn(UsbDevice* d, uint8_t* dest, int32_t* payload) {
  if (payload) *payload = 0;
  uint8_t buf[VX_USB_MAX_MESSAGE];
  memset(buf, 0, sizeof buf);
  vxp_usb_op op = {VXP_USB_BULK_IN, 0, nullptr, 0, buf, sizeof buf};
  uint32_t moved = 0;
  bool ok = vx_usbdev_transfer(d, &op, wait_of(d), &moved);
  uint32_t length = VX_USB_MAX_MESSAGE;
  if (moved >= VX_USB_HEADER) {
    uint64_t size = (uint64_t)vx_get_le32(buf + 4) + VX_USB_HEADER;
    if (size < VX_USB_MAX_MESSAGE) length = (uint32_t)size;
  }
  memcpy(dest, buf + VX_USB_HEADER, length - VX_USB_HEADER);
  if (payload) *payload = (int32_t)(length - VX_USB_HEADER);
  return ok;
}

ViStatus vx_usbdev_write(void* context, const void* buffer, ViInt32 count, ViInt32* retCount) {
  UsbDevice* d = static_cast<UsbDevice*>(context);
  if (d->tmc) return vx_usbtmc_write(d, buffer, count, retCount, true);
  if (retCount) *retCount = 0;
  const uint8_t* data = static_cast<const uint8_t*>(buffer);
  int32_t total = 0;
  while (total < count) {
    int32_t left = count - total;
    uint32_t payload = left < VX_USB_MAX_PAYLOAD ? (uint32_t)left : VX_USB_MAX_PAYLOAD;
    int32_t sent = 0;
    bool ok = write_one(d, data + total, payload, &sent);
    total += sent;
    if (!ok) return VI_ERROR_TMO;
  }
  if (retCount) *retCount = total;
  return VI_SUCCESS;
}

// A read of no bytes (or fewer) would ask for empty messages for ever, so
// it fails at once without a transfer, as a TCP read of no bytes does.
ViStatus vx_usbdev_read(void* context, void* buffer, ViInt32 count, ViInt32* retCount) {
  UsbDevice* d = static_cast<UsbDevice*>(context);
  if (d->tmc) return vx_usbtmc_read(d, buffer, count, retCount);
  if (retCount) *retCount = 0;
  if (count < 1) return VI_ERROR_TMO;
  int32_t got = 0;
  for (;;) {
    if (!vx_usbdev_requestIn(d, (uint32_t)count)) return VI_ERROR_TMO;
    if (!vx_usbdev_readIn(d, buffer, count, &got)) return VI_ERROR_TMO;
    if (got >= 1) break;
  }
  if (retCount) *retCount = got;
  return VI_SUCCESS;
}

// The maker's own devices end every 1012-byte piece with EOM: their
// messages need no end of their own.
ViStatus vx_usbdev_writeMore(void* context, const void* buffer, ViInt32 count, ViInt32* retCount) {
  UsbDevice* d = static_cast<UsbDevice*>(context);
  if (d->tmc) return vx_usbtmc_write(d, buffer, count, retCount, false);
  return vx_usbdev_write(context, buffer, count, retCount);
}

ViStatus vx_usbdev_endMessage(void* context) {
  UsbDevice* d = static_cast<UsbDevice*>(context);
  return d->tmc ? vx_usbtmc_end(d) : VI_SUCCESS;
}
