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
const uint32_t kReplyWanted = VX_USB_HEADER + 128;
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

// Reads the identification reply: at most 140 bytes, trimmed to the
// header's transfer size. False on a failed read.
bool read_reply(UsbDevice* d, uint8_t* area, uint32_t* wanted) {
  uint32_t got = 0;
  *wanted = kReplyWanted;
  while (got < *wanted) {
    vxp_usb_op op = {VXP_USB_BULK_IN, 0, nullptr, 0, area + got, *wanted - got};
    uint32_t moved = 0;
    if (!vx_usbdev_transfer(d, &op, (uint32_t)d->timeout.load(), &moved) || moved == 0) return false;
    if (moved > *wanted - got) moved = *wanted - got;
    got += moved;
    if (got >= VX_USB_HEADER) {
      uint64_t size = (uint64_t)vx_usb_get32(area + 4) + VX_USB_HEADER;
      if (size < *wanted) *wanted = (uint32_t)size;
    }
  }
  return true;
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
    uint8_t area[VX_USB_MAX_MESSAGE];
    uint32_t wanted = 0;
    memset(area, 0, sizeof area);
    if (vx_usbdev_writeMessage(&d, kIdn, (int32_t)(sizeof kIdn - 1), nullptr) &&
        vx_usbdev_requestIn(&d, VX_USB_MAX_PAYLOAD) && read_reply(&d, area, &wanted)) {
      size_t payload = wanted - VX_USB_HEADER;
      // A reply that fills the whole text area leaves it empty.
      if (payload >= kReplyText) payload = 0;
      char reply[kReplyText];
      memcpy(reply, area + VX_USB_HEADER, payload);
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
