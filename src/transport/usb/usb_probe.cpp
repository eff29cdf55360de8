// The USB search's identification probe: a device opened outside the link
// table, cleared, asked "*IDN?" and its reply read as a link's read takes
// it.
#include <cstring>

#include "transport/usb/usb_device.h"

bool vx_usbdev_identify(const char* path, int tmoMs, std::mutex* clearLock, char* reply, size_t size) {
  if (!path || !clearLock || !reply || size < 1) return false;
  reply[0] = '\0';
  UsbDevice d;
  d.device = nullptr;
  d.deviceMutex = nullptr;
  d.tag.store(1);
  d.checkCounter.store(0);
  bool answered = false;
  if (vx_usbdev_openPath(&d, path)) {
    d.timeout.store(tmoMs);
    {
      std::lock_guard<std::mutex> hold(*clearLock);
      vx_usbdev_clearAndCheck(&d);
    }
    static const char kIdn[] = "*IDN?\n";
    // At most `size` bytes of payload, and only from a DEV_DEP_MSG_IN (an
    // echo left over from the clear's link check is not the identification).
    int32_t payload = 0;
    const int32_t room = size > (size_t)VX_USB_MAX_PAYLOAD ? VX_USB_MAX_PAYLOAD : (int32_t)size;
    answered = vx_usbdev_writeMessage(&d, kIdn, (int32_t)(sizeof kIdn - 1), nullptr) &&
               vx_usbdev_requestIn(&d, VX_USB_MAX_PAYLOAD) && vx_usbdev_readIn(&d, reply, room, &payload);
    if (answered) {
      // A reply that fills the whole area leaves it empty.
      if (payload < 0 || payload >= room) payload = 0;
      reply[payload] = '\0';
    } else {
      reply[0] = '\0';
    }
  }
  vx_usbdev_closeHandles(&d);
  return answered;
}
