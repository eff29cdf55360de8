// The USB search: one worker thread per present device, each opening its
// device outside the Link table, clearing it, asking "*IDN?" and appending
// model ":" serial ":USB-" serial ";" for a device that answered.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "find/find.h"
#include "platform/thread.h"
#include "transport/usb/usb_device.h"

namespace {

const int kMaxDevices = 64;
const size_t kWorkerStack = 2048;
const size_t kReplyText = 128;

struct ProbeJob {
  const char* target;
  char* text;
  int capacity;
  int* length;
  std::mutex* mutex;
  int tmoMs;
  bool* cutShort;  // an entry did not fit
};

// The second comma-separated field of the reply, cut to the field's 31
// characters; empty without a second comma.
void model_of(const char* reply, char model[VX_USB_SERIAL_SIZE]) {
  model[0] = '\0';
  const char* first = strchr(reply, ',');
  const char* second = first ? strchr(first + 1, ',') : nullptr;
  if (!second) return;
  size_t n = (size_t)(second - first - 1);
  if (n > VX_USB_SERIAL_SIZE - 1) n = VX_USB_SERIAL_SIZE - 1;
  memcpy(model, first + 1, n);
  model[n] = '\0';
}

// Appends the entry if it fits whole with its NUL into the text left; one
// that does not makes the list cut short, which the caller must learn.
void append_entry(ProbeJob* job, const char* model, const char* serial) {
  char address[VX_USB_SERIAL_SIZE + 8];
  snprintf(address, sizeof address, "USB-%s", serial);
  if (*job->length >= job->capacity ||
      !vx_find_append_entry(job->text, job->capacity, job->length, model, serial, address))
    *job->cutShort = true;
}

void vx_usbdev_probe(void* arg) {
  ProbeJob* job = static_cast<ProbeJob*>(arg);
  UsbDevice d;
  d.device = nullptr;
  d.deviceMutex = nullptr;
  d.tag.store(1);
  d.checkCounter.store(0);
  if (vx_usbdev_openPath(&d, job->target)) {
    d.timeout.store(job->tmoMs);
    {
      // One device of a search is cleared at a time.
      std::lock_guard<std::mutex> hold(*job->mutex);
      vx_usbdev_clearAndCheck(&d);
    }
    static const char kIdn[] = "*IDN?\n";
    // The reply is read as a link's read takes it: at most 128 bytes of
    // payload, and only from a DEV_DEP_MSG_IN (an echo left over from the
    // clear's link check is not the identification).
    char reply[kReplyText];
    int32_t payload = 0;
    if (vx_usbdev_writeMessage(&d, kIdn, (int32_t)(sizeof kIdn - 1), nullptr) &&
        vx_usbdev_requestIn(&d, VX_USB_MAX_PAYLOAD) && vx_usbdev_readIn(&d, reply, (int32_t)kReplyText, &payload)) {
      // A reply that fills the whole text area leaves it empty.
      if (payload < 0 || (size_t)payload >= kReplyText) payload = 0;
      reply[payload] = '\0';
      char model[VX_USB_SERIAL_SIZE];
      char serial[VX_USB_SERIAL_SIZE];
      model_of(reply, model);
      vx_usbdev_serialOf(job->target, serial);
      std::lock_guard<std::mutex> hold(*job->mutex);
      append_entry(job, model, serial);
    }
  }
  vx_usbdev_closeHandles(&d);
}

}  // namespace

ViStatus vx_usbdev_scan(char* text, int tmoMs, int capacity, int* length) {
  int shared = 0;
  if (length) *length = 0;
  if (text && capacity > 0) text[0] = '\0';
  if (!text || capacity < 1) return VI_SUCCESS;

  std::mutex discovery;
  UsbPath paths[kMaxDevices];
  uint32_t found = 0;
  if (!vx_usbdev_enumerate(paths, kMaxDevices, &found, nullptr)) return VI_ERROR_SYSTEM_ERROR;

  bool cutShort = false;
  ProbeJob jobs[kMaxDevices];
  vxp_thread* threads[kMaxDevices] = {};
  for (uint32_t i = 0; i < found; ++i) {
    if (paths[i][0] == '\0') continue;
    jobs[i] = ProbeJob{paths[i], text, capacity, &shared, &discovery, tmoMs, &cutShort};
    threads[i] = vxp_thread_start(vx_usbdev_probe, &jobs[i], kWorkerStack);
  }
  for (uint32_t i = 0; i < found; ++i) vxp_thread_join(threads[i]);
  if (length) *length = shared;
  return cutShort ? VI_SUCCESS_MAX_CNT : VI_SUCCESS;
}
