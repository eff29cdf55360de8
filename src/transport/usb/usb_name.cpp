// Opening a USB instrument by its VISA name (USB[board]::vendor::product::
// serial[::interface]::INSTR) without a VISA library: the bus describes
// every maker's USBTMC interfaces, the name picks one. The maker's own
// devices keep their open sequence; others are opened with class requests
// only.
#include <cstdio>
#include <cstring>
#include <new>

#include "log/call_log.h"
#include "transport/resource_name.h"
#include "transport/usb/usb_device.h"
#include "transport/usb/usb_quirks.h"

namespace {

bool same_serial(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'a' && x <= 'z') x = (char)(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = (char)(y - 'a' + 'A');
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

struct Match {
  const VxResourceName* name;
  char* path;
  size_t pathSize;
  UsbTmcInterface* info;
  bool found;
  bool tooLong;
  uint32_t seen;
};

bool consider(void* ctx, const vxp_usb_info* i) {
  Match* m = static_cast<Match*>(ctx);
  ++m->seen;
  const VxResourceName* r = m->name;
  if (i->vendor != r->vendorId || i->product != r->productId || !same_serial(i->serial, r->serial)) return true;
  if (r->usbInterface >= 0 ? i->interfaceNumber != r->usbInterface
                           : m->found && i->interfaceNumber >= m->info->interfaceNumber)
    return true;
  size_t n = strlen(i->path);
  if (n >= m->pathSize) {
    m->tooLong = true;
    return true;
  }
  memcpy(m->path, i->path, n + 1);
  UsbTmcInterface* f = m->info;
  *f = UsbTmcInterface{};
  f->vendor = i->vendor;
  f->product = i->product;
  f->interfaceNumber = i->interfaceNumber;
  f->protocol = i->protocol;
  f->bulkOut = i->bulkOut;
  f->bulkIn = i->bulkIn;
  f->interruptIn = i->interruptIn;
  f->bulkOutPacket = i->bulkOutPacket;
  f->bulkInPacket = i->bulkInPacket;
  f->quirks = vx_usb_quirks(i->vendor, i->product);
  m->found = true;
  return true;
}

}  // namespace

bool vx_usbdev_findByName(const char* name, char* path, size_t pathSize, UsbTmcInterface* info) {
  VxResourceName r;
  const char* why = nullptr;
  if (!vx_rname_parse(name, &r, &why) || r.interface != VX_RNAME_USB) {
    writeLog("vx_comm_open() error: '%s' is not a USB resource name (USB[board]::vendor::product::serial[::interface]"
             "::INSTR): %s\n",
             name, why ? why : "not a USB name");
    return false;
  }
  if (r.rclass != VX_RNAME_INSTR) {
    writeLog("vx_comm_open() error: '%s': USB RAW resources need a VISA library; the library serves USB INSTR "
             "names\n",
             name);
    return false;
  }
  Match m = {&r, path, pathSize, info, false, false, 0};
  vx_usb_driver->describe(consider, &m);
  if (m.found) return true;
  char wanted[24] = "";
  if (r.usbInterface >= 0) snprintf(wanted, sizeof wanted, ", interface %d", (int)r.usbInterface);
  if (m.tooLong)
    writeLog("vx_comm_open() error: the USB bus names %s with a path longer than %u bytes\n", name,
             (unsigned)pathSize - 1);
  else
    writeLog("vx_comm_open() error: no USB instrument with vendor 0x%04X, product 0x%04X, serial %s%s is present "
             "(%u USBTMC interface(s) on the bus)\n",
             (unsigned)r.vendorId, (unsigned)r.productId, r.serial, wanted, (unsigned)m.seen);
  return false;
}

bool vx_usbtmc_openPath(UsbDevice* d, const char* path, const UsbTmcInterface* info, int32_t timeoutMs) {
  d->device = nullptr;
  d->deviceMutex = nullptr;
  d->timeout.store(timeoutMs);
  d->tmc = true;
  d->tmcIf = *info;
  d->tmcIf.quirks = vx_usb_quirks(info->vendor, info->product);
  size_t n = strlen(path);
  if (n > VX_USB_PATH_SIZE - 1) n = VX_USB_PATH_SIZE - 1;  // for the log lines only
  memcpy(d->path, path, n);
  d->path[n] = '\0';
  // Whole, for the service requests' own handle.
  snprintf(d->tmcPath, sizeof d->tmcPath, "%s", path);
  d->tmcBuffer = new (std::nothrow) uint8_t[2 * VX_USB_TMC_BUFFER];
  if (!d->tmcBuffer) return false;
  char name[VX_USB_PATH_SIZE];
  vx_usbdev_mutexName(path, name);
  d->deviceMutex = vxp_named_mutex_claim(name);
  if (!d->deviceMutex) {
    writeLog("vx_comm_open() error: the USB instrument %04X:%04X (%s) is in use by another link or program\n",
             (unsigned)info->vendor, (unsigned)info->product, d->path);
    return false;
  }
  d->device = vx_usb_driver->open(path);
  if (!d->device) {
    writeLog("vx_comm_open() error: the USB service did not open %04X:%04X (%s): unplugged meanwhile, or its "
             "interface is taken\n",
             (unsigned)info->vendor, (unsigned)info->product, d->path);
    return false;
  }
  vx_usbtmc_getCapabilities(d);
  // Whether the device answers the clear or not, the link is open.
  vx_usbtmc_clear(d);
  return true;
}
