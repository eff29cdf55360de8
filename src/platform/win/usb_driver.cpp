// Win32 side of the platform layer: the instrument's USB kernel driver,
// listed through SetupAPI and driven with overlapped file and device I/O on
// one OVERLAPPED record per device. Wide text is used only at these calls.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/usb_driver.h"
#include "platform/win/wide_text.h"

namespace {

// The driver's device interface class {A9FDBB24-128A-11D5-9961-00108335E361}.
const GUID kInstrumentInterface = {0xA9FDBB24, 0x128A, 0x11D5, {0x99, 0x61, 0x00, 0x10, 0x83, 0x35, 0xE3, 0x61}};
const ULONG_PTR kStatusPending = 0x103;
// A device that keeps failing its interface queries with errors other than
// "no more items" is left after this many, so the walk always ends.
const DWORD kMaxInterfacesPerDevice = 256;

// Hands the device path of one interface to the caller; false stops the walk.
bool report_interface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* iface, bool (*each)(void*, const char*),
                      void* ctx) {
  DWORD need = 0;
  SetupDiGetDeviceInterfaceDetailW(set, iface, nullptr, 0, &need, nullptr);
  if (need < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return true;
  SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(malloc(need));
  if (!detail) return true;
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  bool more = true;
  if (SetupDiGetDeviceInterfaceDetailW(set, iface, detail, need, nullptr, nullptr)) {
    char* path = vxp_win_narrow(detail->DevicePath);
    if (path) more = each(ctx, path);
    free(path);
  }
  free(detail);
  return more;
}

// One overlapped operation's record: the OVERLAPPED, its event and the
// buffer the driver reads from and writes into (the caller's buffers are
// copied in at start and out at the result). A record whose cancelled
// operation the driver never completes is abandoned, never freed: the
// driver may still write into it.
struct UsbIo {
  OVERLAPPED overlapped;
  HANDLE event;
  uint8_t* buffer;
  uint32_t capacity;
};

}  // namespace

struct vxp_usb {
  HANDLE device;
  UsbIo* io;
  HANDLE preempt;  // manual reset: set while a preemption is on
  // Where the completed operation's data go.
  void* out;
  uint32_t outLength;
  uint32_t outAt;  // offset of the output in the record's buffer
  // A start the driver refused at once leaves the record as the last
  // operation left it; it must not be judged by that.
  bool failedAtOnce;
  // A cancelled operation was not reaped in time: the record is abandoned
  // and every later operation fails at once.
  bool gone;
  volatile LONG interrupted;
};

namespace {

const DWORD kReapWaitMs = 1000;
// A preempted wait still lets what is about to complete complete: a write
// that reaches the device is not reported failed.
const DWORD kPreemptGraceMs = 50;

bool reserve(UsbIo* io, uint32_t need) {
  if (need <= io->capacity) return true;
  uint8_t* grown = static_cast<uint8_t*>(malloc(need));
  if (!grown) return false;
  free(io->buffer);
  io->buffer = grown;
  io->capacity = need;
  return true;
}

}  // namespace

void vxp_usb_list(bool (*each)(void* ctx, const char* path), void* ctx) {
  HDEVINFO set = SetupDiGetClassDevsW(&kInstrumentInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  DWORD d = 0, m = 0;
  for (;;) {
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    if (!SetupDiEnumDeviceInfo(set, d, &info)) break;
    SP_DEVICE_INTERFACE_DATA iface;
    iface.cbSize = sizeof iface;
    // The interface is asked for under the setup class the device record carries.
    BOOL got = SetupDiEnumDeviceInterfaces(set, &info, &info.ClassGuid, m, &iface);
    ++m;
    if (!got) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS || m >= kMaxInterfacesPerDevice) {
        ++d;
        m = 0;
      }
      continue;
    }
    if (!report_interface(set, &iface, each, ctx)) break;
  }
  SetupDiDestroyDeviceInfoList(set);
}

vxp_usb* vxp_usb_open(const char* path) {
  if (!path) return nullptr;
  wchar_t* wide = vxp_win_widen(path);
  if (!wide) return nullptr;
  HANDLE h = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  free(wide);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  vxp_usb* d = new (std::nothrow) vxp_usb;
  UsbIo* io = d ? new (std::nothrow) UsbIo : nullptr;
  HANDLE ev = io ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
  HANDLE pre = ev ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
  if (!pre) {
    if (ev) CloseHandle(ev);
    delete io;
    delete d;
    CloseHandle(h);
    return nullptr;
  }
  ZeroMemory(&io->overlapped, sizeof io->overlapped);
  io->overlapped.hEvent = ev;
  io->event = ev;
  io->buffer = nullptr;
  io->capacity = 0;
  d->device = h;
  d->io = io;
  d->preempt = pre;
  d->out = nullptr;
  d->outLength = 0;
  d->outAt = 0;
  d->failedAtOnce = false;
  d->gone = false;
  d->interrupted = 0;
  return d;
}

void vxp_usb_close(vxp_usb* d) {
  if (!d) return;
  if (vxp_usb_pending(d)) vxp_usb_cancel(d);
  CloseHandle(d->device);
  CloseHandle(d->preempt);
  if (!d->gone) {
    CloseHandle(d->io->event);
    free(d->io->buffer);
    delete d->io;
  }
  delete d;
}

void vxp_usb_start(vxp_usb* d, const vxp_usb_op* op) {
  UsbIo* io = d->io;
  d->failedAtOnce = false;
  const uint32_t inLength = op->kind == VXP_USB_BULK_IN || !op->in ? 0 : op->inLength;
  const uint32_t outLength = op->kind == VXP_USB_BULK_OUT || !op->out ? 0 : op->outLength;
  if (d->gone || InterlockedCompareExchange(&d->interrupted, 0, 0) != 0 || outLength > 0xFFFFFFFFu - inLength ||
      !reserve(io, inLength + outLength)) {
    d->failedAtOnce = true;
    return;
  }
  io->overlapped.Offset = 0;
  io->overlapped.OffsetHigh = 0;
  if (inLength > 0) memcpy(io->buffer, op->in, inLength);
  d->out = op->out;
  d->outLength = outLength;
  d->outAt = inLength;
  uint8_t* out = io->buffer + inLength;
  BOOL started = FALSE;
  switch (op->kind) {
    case VXP_USB_BULK_OUT:
      started = WriteFile(d->device, io->buffer, inLength, nullptr, &io->overlapped);
      break;
    case VXP_USB_BULK_IN:
      started = ReadFile(d->device, out, outLength, nullptr, &io->overlapped);
      break;
    case VXP_USB_IOCTL:
      started = DeviceIoControl(d->device, op->code, inLength ? io->buffer : nullptr, inLength,
                                outLength ? out : nullptr, outLength, nullptr, &io->overlapped);
      break;
    case VXP_USB_INTERRUPT_IN:
      // The maker's driver has no interrupt endpoint to read.
      d->failedAtOnce = true;
      return;
  }
  if (!started && GetLastError() != ERROR_IO_PENDING) {
    d->failedAtOnce = true;
    return;
  }
  // An interrupt that came between the check above and the start found
  // nothing to cancel; cancel what was just started.
  if (InterlockedCompareExchange(&d->interrupted, 0, 0) != 0) CancelIoEx(d->device, &io->overlapped);
}

void vxp_usb_wait(vxp_usb* d, uint32_t ms) {
  if (d->failedAtOnce) return;
  ULONGLONG begun = GetTickCount64();
  HANDLE either[2] = {d->io->event, d->preempt};
  if (WaitForMultipleObjects(2, either, FALSE, ms) != WAIT_OBJECT_0 + 1) return;
  // Preempted: what is about to complete still may, within the grace.
  DWORD grace = kPreemptGraceMs;
  if (ms != INFINITE) {
    ULONGLONG spent = GetTickCount64() - begun;
    DWORD left = spent >= ms ? 0 : (DWORD)(ms - spent);
    if (left < grace) grace = left;
  }
  WaitForSingleObject(d->io->event, grace);
}

bool vxp_usb_pending(vxp_usb* d) { return !d->failedAtOnce && d->io->overlapped.Internal == kStatusPending; }

void vxp_usb_cancel(vxp_usb* d) {
  if (!vxp_usb_pending(d)) return;
  // CancelIoEx: the cancelling thread need not be the one that started it.
  CancelIoEx(d->device, &d->io->overlapped);
  // The reap: until the cancelled operation has completed, the driver may
  // still write into the record. A driver that keeps it longer than the
  // bound gets the record for good, and the device counts as gone.
  WaitForSingleObject(d->io->event, kReapWaitMs);
  if (d->io->overlapped.Internal == kStatusPending) d->gone = true;
  d->failedAtOnce = true;
}

bool vxp_usb_result(vxp_usb* d, uint32_t* bytes) {
  DWORD n = 0;
  bool ok = !d->failedAtOnce && GetOverlappedResult(d->device, &d->io->overlapped, &n, FALSE);
  if (ok && d->outLength > 0) {
    if (n > d->outLength) n = d->outLength;
    if (n > 0) memcpy(d->out, d->io->buffer + d->outAt, n);
  }
  if (bytes) *bytes = ok ? (uint32_t)n : 0;
  return ok;
}

void vxp_usb_interrupt(vxp_usb* d) {
  if (!d) return;
  InterlockedExchange(&d->interrupted, 1);
  CancelIoEx(d->device, &d->io->overlapped);
}

void vxp_usb_preempt(vxp_usb* d, bool on) {
  if (!d) return;
  if (on)
    SetEvent(d->preempt);
  else
    ResetEvent(d->preempt);
}

// The maker's driver knows only the maker's devices; other makers' USB
// instruments are reached through a VISA library on Windows.
void vxp_usb_describe(bool (*)(void*, const vxp_usb_info*), void*) {}
bool vxp_usb_can_describe() { return false; }

const char* vxp_usb_take_problem() { return nullptr; }
