// The USBTMC search: every USBTMC interface the USB bus describes, any
// maker's, each probed on a worker thread of its own with class requests
// only (no vendor echo) and "*IDN?"; listed as
// "model:serial:USB0::0xVVVV::0xPPPP::SERIAL[::N]::INSTR;". Model and serial
// come from the identification where the instrument answers, else from
// its product and serial string descriptors.
#include <cstdio>
#include <cstring>

#include "find/find.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "transport/usb/usb_device.h"

namespace {

const int kMaxInterfaces = 64;
const size_t kWorkerStack = 64 * 1024;
const size_t kReplyText = 256;

struct Described {
  char path[VX_USB_TMC_PATH];
  UsbTmcInterface info;
  char product[VX_FIND_FIELD_SIZE];
  char serial[VX_FIND_FIELD_SIZE];
};

struct Collect {
  Described* table;
  int count;
  bool withOwn;
};

void copy_text(char* out, size_t size, const char* text) {
  size_t n = strlen(text);
  if (n > size - 1) n = size - 1;
  memcpy(out, text, n);
  out[n] = '\0';
}

bool collect(void* ctx, const vxp_usb_info* i) {
  Collect* c = static_cast<Collect*>(ctx);
  if (!c->withOwn && i->vendor == VX_USB_VENDOR && i->product == VX_USB_PRODUCT) return true;
  // A serial that a name cannot carry (empty, too long, or with the
  // list's or the name's separators) gives no address to open.
  const size_t serialLen = strlen(i->serial);
  if (serialLen == 0 || serialLen >= VX_FIND_FIELD_SIZE || strpbrk(i->serial, ":;") != nullptr ||
      strlen(i->path) >= VX_USB_TMC_PATH)
    return true;
  Described& d = c->table[c->count];
  copy_text(d.path, sizeof d.path, i->path);
  d.info = UsbTmcInterface{};
  d.info.vendor = i->vendor;
  d.info.product = i->product;
  d.info.interfaceNumber = i->interfaceNumber;
  d.info.protocol = i->protocol;
  d.info.bulkOut = i->bulkOut;
  d.info.bulkIn = i->bulkIn;
  d.info.interruptIn = i->interruptIn;
  d.info.bulkOutPacket = i->bulkOutPacket;
  d.info.bulkInPacket = i->bulkInPacket;
  copy_text(d.product, sizeof d.product, i->productName);
  copy_text(d.serial, sizeof d.serial, i->serial);
  return ++c->count < kMaxInterfaces;
}

// "*IDN?" over a class-only open; true with the reply in `reply`. The open
// (capabilities, clear) gets tmoMs; the query what is left of it.
bool identify(const Described* x, int tmoMs, char* reply, size_t size) {
  UsbDevice d;
  d.tag.store(1);
  d.checkCounter.store(0);
  bool answered = false;
  reply[0] = '\0';
  const uint32_t start = vxp_tick_ms();
  const uint32_t wait = tmoMs > 0 ? (uint32_t)tmoMs : 1;
  if (vx_usbtmc_openPath(&d, x->path, &x->info, (int32_t)wait) && vxp_tick_ms() - start < wait) {
    d.timeout.store((int32_t)(wait - (vxp_tick_ms() - start)));
    static const char kIdn[] = "*IDN?\n";
    ViInt32 n = 0;
    answered = vx_usbtmc_write(&d, kIdn, (ViInt32)(sizeof kIdn - 1), &n, true) == VI_SUCCESS &&
               vx_usbtmc_read(&d, reply, (ViInt32)(size - 1), &n) == VI_SUCCESS && n > 0;
    reply[answered ? n : 0] = '\0';
  }
  vx_usbdev_closeHandles(&d);
  return answered;
}

// One interface's probe and the entry it gives; the entries are joined in
// the bus's order once every probe has ended, so that a list cut short
// keeps the first instruments, the same each time.
struct Probe {
  const Described* x;
  int tmoMs;
  char model[VX_FIND_FIELD_SIZE];
  char serial[VX_FIND_FIELD_SIZE];
  char address[VX_FIND_FIELD_SIZE + 48];
};

void probe_worker(void* arg) {
  Probe* p = static_cast<Probe*>(arg);
  const Described* x = p->x;
  char reply[kReplyText];
  char maker[VX_FIND_FIELD_SIZE] = {};
  p->model[0] = p->serial[0] = '\0';
  const char* rest = identify(x, p->tmoMs, reply, sizeof reply) ? reply : nullptr;
  rest = vx_find_take_field(vx_find_take_field(rest, maker), p->model);
  if (rest) {
    // The serial is the third field, up to the next comma or the line's end.
    size_t n = strcspn(rest, ",\r\n");
    copy_text(p->serial, n + 1 < sizeof p->serial ? n + 1 : sizeof p->serial, rest);
  } else {
    copy_text(p->model, sizeof p->model, x->product);
    copy_text(p->serial, sizeof p->serial, x->serial);
  }
  char iface[8] = "";
  if (x->info.interfaceNumber != 0) snprintf(iface, sizeof iface, "::%u", (unsigned)x->info.interfaceNumber);
  snprintf(p->address, sizeof p->address, "USB0::0x%04X::0x%04X::%s%s::INSTR", (unsigned)x->info.vendor,
           (unsigned)x->info.product, x->serial, iface);
}

ViStatus scan(char* text, int tmoMs, int capacity, int* length, bool withOwn) {
  if (length) *length = 0;
  if (text && capacity > 0) text[0] = '\0';
  if (!text || capacity < 1) return VI_SUCCESS;
  static_assert(sizeof(Described) * kMaxInterfaces < 64 * 1024, "the table is on the search's stack");
  Described table[kMaxInterfaces];
  Collect c = {table, 0, withOwn};
  vx_usb_driver->describe(collect, &c);

  static_assert(sizeof(Probe) * kMaxInterfaces < 32 * 1024, "the probes are on the search's stack");
  Probe probes[kMaxInterfaces];
  vxp_thread* threads[kMaxInterfaces] = {};
  for (int i = 0; i < c.count; ++i) {
    probes[i].x = &table[i];
    probes[i].tmoMs = tmoMs;
    threads[i] = vxp_thread_start(probe_worker, &probes[i], kWorkerStack);
    if (!threads[i]) probe_worker(&probes[i]);
  }
  for (int i = 0; i < c.count; ++i)
    if (threads[i]) vxp_thread_join(threads[i]);
  ProbeResults results;
  results.text = text;
  results.capacity = capacity;
  results.length = 0;
  results.cutShort = false;
  for (int i = 0; i < c.count; ++i) vx_find_report(&results, probes[i].model, probes[i].serial, probes[i].address);
  if (length) *length = results.length;
  return results.cutShort ? VI_SUCCESS_MAX_CNT : VI_SUCCESS;
}

}  // namespace

ViStatus vx_usbtmc_scan(char* text, int tmoMs, int capacity, int* length) {
  return scan(text, tmoMs, capacity, length, true);
}

ViStatus vx_usbtmc_scan_others(char* text, int tmoMs, int capacity, int* length) {
  return scan(text, tmoMs, capacity, length, false);
}
