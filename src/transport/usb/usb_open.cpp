// Direct USB devices: enumeration by serial number, the open with its
// machine-wide reservation, close and timeout.
#include <cstdio>
#include <cstring>
#include <new>

#include "link/link_table.h"
#include "transport/usb/usb_device.h"

namespace {

const char kMutexPrefix[] = "Global\\";
// Room for the name is 126 characters; a path that does not fit keeps its
// head and ends in a hash of the whole path, so two long paths never share
// a reservation.
const size_t kNameRoom = VX_USB_PATH_KEPT - (sizeof kMutexPrefix - 1);
const size_t kHashDigits = 16;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads hexadecimal digits; false when there is none or the value exceeds 16 bits.
bool read_hex16(const char** p, uint32_t* value) {
  uint32_t v = 0;
  int digits = 0;
  for (int h; (h = hex_value(**p)) >= 0; ++*p) {
    v = v * 16 + (uint32_t)h;
    if (v > 0xFFFFu) return false;
    ++digits;
  }
  *value = v;
  return digits > 0;
}

// Vendor and product read as "vid_%x&pid_%x" at the first "vid_".
bool ids_accepted(const char* path) {
  const char* p = strstr(path, "vid_");
  if (!p) return false;
  p += 4;
  uint32_t vid = 0, pid = 0;
  if (!read_hex16(&p, &vid) || strncmp(p, "&pid_", 5) != 0) return false;
  p += 5;
  if (!read_hex16(&p, &pid)) return false;
  return vid == VX_USB_VENDOR && pid == VX_USB_PRODUCT;
}

struct EnumerateState {
  UsbPath* table;
  uint32_t capacity;
  uint32_t found;
  const char* wanted;
};

bool take_path(void* ctx, const char* path) {
  EnumerateState* s = static_cast<EnumerateState*>(ctx);
  char* entry = s->table[s->found];
  size_t n = strlen(path);
  if (n > VX_USB_PATH_KEPT) n = VX_USB_PATH_KEPT;
  memcpy(entry, path, n);
  entry[n] = '\0';
  char serial[VX_USB_SERIAL_SIZE];
  bool keep = ids_accepted(entry) && vx_usbdev_serialOf(entry, serial) &&
              (s->wanted == nullptr || strcmp(serial, s->wanted) == 0);
  if (keep)
    ++s->found;
  else
    entry[0] = '\0';
  return s->found < s->capacity;
}

uint64_t fnv1a64(const char* text) {
  uint64_t h = 1469598103934665603ull;
  for (const unsigned char* p = (const unsigned char*)text; *p; ++p) {
    h ^= *p;
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace

bool vx_usbdev_serialOf(const char* path, char serial[VX_USB_SERIAL_SIZE]) {
  serial[0] = '\0';
  const char* vid = strstr(path, "vid_");
  const char* start = vid ? strchr(vid, '#') : nullptr;
  if (!start) return false;
  ++start;
  const char* end = strchr(start, '#');
  // Without its closing '#' the segment is not a serial number, and one
  // longer than the field holds is not taken cut.
  if (!end || (size_t)(end - start) > VX_USB_SERIAL_SIZE - 1) return false;
  memcpy(serial, start, (size_t)(end - start));
  serial[end - start] = '\0';
  return true;
}

bool vx_usbdev_enumerate(UsbPath* table, uint32_t capacity, uint32_t* found, const char* wanted) {
  for (uint32_t i = 0; i < capacity; ++i) table[i][0] = '\0';
  *found = 0;
  if (capacity == 0) return true;
  EnumerateState s = {table, capacity, 0, wanted};
  vx_usb_driver->list(take_path, &s);
  *found = s.found;
  return true;
}

void vx_usbdev_mutexName(const char* path, char name[VX_USB_PATH_SIZE]) {
  size_t prefixLen = sizeof kMutexPrefix - 1;
  memcpy(name, kMutexPrefix, prefixLen);
  size_t n = strlen(path);
  size_t keep = n <= kNameRoom ? n : kNameRoom - 1 - kHashDigits;
  char* out = name + prefixLen;
  for (size_t i = 0; i < keep; ++i) {
    char c = path[i];
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    out[i] = plain ? c : '_';
  }
  out += keep;
  if (keep < n) {
    snprintf(out, 1 + kHashDigits + 1, "_%016llx", (unsigned long long)fnv1a64(path));
    out += 1 + kHashDigits;
  }
  *out = '\0';
}

bool vx_usbdev_openPath(UsbDevice* d, const char* path) {
  d->device = nullptr;
  d->deviceMutex = nullptr;
  d->timeout.store(0);
  size_t n = strlen(path);
  if (n > VX_USB_PATH_SIZE - 1) n = VX_USB_PATH_SIZE - 1;
  memcpy(d->path, path, n);
  d->path[n] = '\0';

  // The reservation comes first: a device in use anywhere on the machine is
  // not even opened.
  char name[VX_USB_PATH_SIZE];
  vx_usbdev_mutexName(d->path, name);
  d->deviceMutex = vxp_named_mutex_claim(name);
  if (!d->deviceMutex) return false;
  d->device = vx_usb_driver->open(d->path);
  d->timeout.store(VX_USB_OPEN_TIMEOUT_MS);
  return d->device != nullptr;
}

void vx_usbdev_closeHandles(UsbDevice* d) {
  if (d->device) vx_usb_driver->close(d->device);
  delete[] d->tmcBuffer;
  d->tmcBuffer = nullptr;
  d->device = nullptr;
  vxp_named_mutex_release(d->deviceMutex);
  d->deviceMutex = nullptr;
}

namespace {

UsbDevice* new_device() {
  UsbDevice* d = new (std::nothrow) UsbDevice;
  if (!d) return nullptr;
  d->device = nullptr;
  d->deviceMutex = nullptr;
  d->tag.store(1);
  d->checkCounter.store(0);
  return d;
}

// A VISA USB name: the maker's own devices as "USB-" names are opened,
// other makers' with class requests only.
ViStatus open_by_name(const char* address, LinkSlot* slot) {
  const ViStatus failed = -1;
  char path[VX_USB_TMC_PATH];
  UsbTmcInterface info;
  if (!vx_usbdev_findByName(address, path, sizeof path, &info)) return failed;
  UsbDevice* d = new_device();
  if (!d) return failed;
  const bool own = info.vendor == VX_USB_VENDOR && info.product == VX_USB_PRODUCT;
  if (own ? !vx_usbdev_openPath(d, path) : !vx_usbtmc_openPath(d, path, &info, VX_USB_OPEN_TIMEOUT_MS)) {
    vx_usbdev_close(d);
    return failed;
  }
  slot->context = d;
  if (own) vx_usbdev_clearAndCheck(d);
  return VI_SUCCESS;
}

}  // namespace

ViStatus vx_usbdev_open(const char* address, ViInt32, LinkSlot* slot) {
  const ViStatus failed = -1;
  if (strncmp(address, "USB-", 4) != 0) return open_by_name(address, slot);
  // The serial number is the first word after the prefix, as "USB-%s" reads it.
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
  const char* p = address + 4;
  while (space(*p)) ++p;
  size_t n = 0;
  while (p[n] != '\0' && !space(p[n])) ++n;
  if (n != VX_USB_SERIAL_LENGTH) return failed;
  char serial[VX_USB_SERIAL_SIZE];
  memcpy(serial, p, n);
  serial[n] = '\0';

  UsbPath found[1];
  uint32_t count = 0;
  vx_usbdev_enumerate(found, 1, &count, serial);
  if (count == 0) return failed;

  UsbDevice* d = new_device();
  if (!d) return failed;
  if (!vx_usbdev_openPath(d, found[0])) {
    vx_usbdev_close(d);
    return failed;
  }
  slot->context = d;
  // Whether the device answers or not, the link is open.
  vx_usbdev_clearAndCheck(d);
  return VI_SUCCESS;
}

ViStatus vx_usbdev_close(void* context) {
  UsbDevice* d = static_cast<UsbDevice*>(context);
  if (!d) return VI_ERROR_CONN_LOST;
  vx_usbdev_srqStop(d);
  if (d->tmc && d->device && d->heldLength > 0) {
    // A message the caller began and never ended goes, ended, within a
    // short wait: a silent device must not hold the close.
    int32_t t = d->timeout.load();
    if (t <= 0 || t > VX_USB_OPEN_TIMEOUT_MS) d->timeout.store(VX_USB_OPEN_TIMEOUT_MS);
    vx_usbtmc_end(d);
  }
  vx_usbdev_closeHandles(d);
  delete d;
  return VI_SUCCESS;
}

ViStatus vx_usbdev_settmo(void* context, ViInt32 tmoMs) {
  static_cast<UsbDevice*>(context)->timeout.store(tmoMs);
  return VI_SUCCESS;
}

// Called from the closing thread while another may wait inside a transfer
// step: the driver ends that step and fails every later one, so nothing
// here takes the step lock.
void vx_usbdev_abort(void* context) {
  UsbDevice* d = static_cast<UsbDevice*>(context);
  if (d && d->device) vx_usb_driver->interrupt(d->device);
  if (d) vx_usbdev_srqInterrupt(d);
}
