// The USB search: one worker thread per present device, each probing its
// device (vx_usbdev_identify) and appending model ":" serial ":USB-" serial
// ";" for a device that answered.
#include <cstdio>

#include "find/find.h"
#include "platform/thread.h"
#include "transport/usb/usb_device.h"

namespace {

const int kMaxDevices = 64;
const size_t kWorkerStack = 2048;
const size_t kReplyText = 128;

void usb_probe_worker(void* arg) {
  const ProbeJob* job = static_cast<const ProbeJob*>(arg);
  char reply[kReplyText];
  if (!vx_usbdev_identify(job->target, job->tmoMs, &job->results->discovery, reply, sizeof reply)) return;
  // The model is the reply's second comma-separated field; the serial comes
  // from the path, as the address does.
  char maker[VX_FIND_FIELD_SIZE] = {}, model[VX_FIND_FIELD_SIZE] = {};
  vx_find_take_field(vx_find_take_field(reply, maker), model);
  char serial[VX_USB_SERIAL_SIZE];
  vx_usbdev_serialOf(job->target, serial);
  char address[VX_USB_SERIAL_SIZE + 8];
  snprintf(address, sizeof address, "USB-%s", serial);
  vx_find_report(job->results, model, serial, address);
}

}  // namespace

ViStatus vx_usbdev_scan(char* text, int tmoMs, int capacity, int* length) {
  if (length) *length = 0;
  if (text && capacity > 0) text[0] = '\0';
  if (!text || capacity < 1) return VI_SUCCESS;

  UsbPath paths[kMaxDevices];
  uint32_t found = 0;
  if (!vx_usbdev_enumerate(paths, kMaxDevices, &found, nullptr)) return VI_ERROR_SYSTEM_ERROR;

  ProbeResults results;
  results.text = text;
  results.capacity = capacity;
  results.length = 0;
  results.cutShort = false;
  ProbeJob jobs[kMaxDevices];
  vxp_thread* threads[kMaxDevices] = {};
  for (uint32_t i = 0; i < found; ++i) {
    if (paths[i][0] == '\0') continue;
    jobs[i] = ProbeJob{paths[i], tmoMs, &results, nullptr, 0, 0};
    threads[i] = vxp_thread_start(usb_probe_worker, &jobs[i], kWorkerStack);
  }
  for (uint32_t i = 0; i < found; ++i) vxp_thread_join(threads[i]);
  if (length) *length = results.length;
  return results.cutShort ? VI_SUCCESS_MAX_CNT : VI_SUCCESS;
}
