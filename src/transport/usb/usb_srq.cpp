// Service requests of other makers' USB488 devices: the interrupt-IN
// endpoint's SRQ notifications, read on a second driver handle to the same
// interface by a thread of their own. The link's handle has one overlapped
// operation at a time, used by the callers' I/O under the per-link lock; a
// wait for the next request must not hold either. The bus lets any number
// of connections open an interface and hands each its own copy of every
// notification; the machine-wide reservation is the link's and is not
// taken again.
#include <atomic>
#include <new>

#include "log/call_log.h"
#include "platform/thread.h"
#include "transport/usb/usb_device.h"

struct UsbSrqReader {
  vxp_usb* handle;
  SrqSink* sink;
  const char* path;  // the device's, which outlives the reader
  vxp_thread* thread;
  std::atomic<bool> stopping{false};
};

namespace {

// USB488's SRQ notification: bNotify1 0x81, bNotify2 the status byte.
const uint8_t kSrqNotify = 0x81;
const uint32_t kSrqLength = 2;

void read_requests(void* arg) {
  UsbSrqReader* r = static_cast<UsbSrqReader*>(arg);
  const UsbDriverOps* drv = vx_usb_driver;
  bool malformedSeen = false;
  for (;;) {
    // Room beyond the notification's two bytes, so that a longer one is
    // seen as such and not taken cut.
    uint8_t note[8] = {};
    vxp_usb_op op = {VXP_USB_INTERRUPT_IN, VXP_USB_NOTIFY_SERVICE, nullptr, 0, note, sizeof note};
    drv->start(r->handle, &op);
    // Only an interrupt (the reader's stop) or the device's end leaves it
    // pending without a notification.
    drv->wait(r->handle, 0xFFFFFFFFu);
    if (drv->pending(r->handle)) {
      drv->cancel(r->handle);
      return;
    }
    uint32_t got = 0;
    if (!drv->result(r->handle, &got)) {
      if (!r->stopping.load()) {
        writeLog("USB error: %s: the service request read failed (the device is gone, or its interrupt-IN endpoint "
                 "failed); no more service requests on this link\n",
                 r->path);
        // Wakes a wait that would otherwise last for ever: its serial poll
        // then reports what became of the device.
        r->sink->post(r->sink, -1);
      }
      return;
    }
    if (got == kSrqLength && note[0] == kSrqNotify) {
      r->sink->post(r->sink, note[1]);
    } else if (!malformedSeen) {
      // One line per reader: a device sending nothing else must not flood
      // the log.
      malformedSeen = true;
      writeLog("USB error: %s: a service request notification of %u bytes starting 0x%02X is not USB488's; "
               "dropped (and any more)\n",
               r->path, (unsigned)got, (unsigned)(got > 0 ? note[0] : 0));
    }
  }
}

// Ends the reader: its handle interrupted, the thread joined, the handle
// closed. No post runs once it returns.
void stop_reader(UsbSrqReader* r) {
  if (!r) return;
  r->stopping.store(true);
  vx_usb_driver->interrupt(r->handle);
  vxp_thread_join(r->thread);
  vx_usb_driver->close(r->handle);
  delete r;
}

ViStatus refuse(UsbDevice* d, const char* why) {
  writeLog("USB error: %s: service requests are not supported: %s\n", d->path, why);
  return VI_ERROR_NSUP_OPER;
}

}  // namespace

ViStatus vx_usbdev_srqEnable(void* context, SrqSink* sink) {
  UsbDevice* d = static_cast<UsbDevice*>(context);
  if (!d->tmc) return refuse(d, "the maker's own devices send none");
  if (d->tmcIf.protocol != 1 || !d->tmcIf.capsRead) return refuse(d, "the interface is not USB488");
  if (d->tmcIf.interruptIn == 0) return refuse(d, "the interface has no interrupt-IN endpoint");
  if (!sink) {
    vx_usbdev_srqStop(d);
    return VI_SUCCESS;
  }
  if (d->srq) return VI_SUCCESS;
  UsbSrqReader* r = new (std::nothrow) UsbSrqReader;
  if (!r) return VI_ERROR_SYSTEM_ERROR;
  r->handle = vx_usb_driver->open(d->tmcPath);
  if (!r->handle) {
    delete r;
    writeLog("USB error: %s: service requests: the device cannot be opened a second time for them\n", d->path);
    return VI_ERROR_CONN_LOST;
  }
  r->sink = sink;
  r->path = d->path;
  r->thread = vxp_thread_start(read_requests, r, 64 * 1024);
  if (!r->thread) {
    vx_usb_driver->close(r->handle);
    delete r;
    return VI_ERROR_SYSTEM_ERROR;
  }
  std::lock_guard<std::mutex> hold(d->srqLock);
  d->srq = r;
  return VI_SUCCESS;
}

void vx_usbdev_srqStop(UsbDevice* d) {
  UsbSrqReader* r = nullptr;
  {
    std::lock_guard<std::mutex> hold(d->srqLock);
    r = d->srq;
    d->srq = nullptr;
  }
  stop_reader(r);
}

void vx_usbdev_srqInterrupt(UsbDevice* d) {
  std::lock_guard<std::mutex> hold(d->srqLock);
  if (!d->srq) return;
  d->srq->stopping.store(true);
  vx_usb_driver->interrupt(d->srq->handle);
}
