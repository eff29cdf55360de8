// Win32 side of the platform layer: the instrument's USB kernel driver,
// listed through SetupAPI and driven with overlapped file and device I/O on
// one OVERLAPPED record per device. Wide text is used only at these calls.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>

#include <cstdlib>
#include <new>

#include "platform/usb_driver.h"

namespace {

// The driver's device interface class {A9FDBB24-128A-11D5-9961-00108335E361}.
const GUID kInstrumentInterface = {0xA9FDBB24, 0x128A, 0x11D5, {0x99, 0x61, 0x00, 0x10, 0x83, 0x35, 0xE3, 0x61}};
const ULONG_PTR kStatusPending = 0x103;
// A device that keeps failing its interface queries with errors other than
// "no more items" is left after this many, so the walk always ends.
const DWORD kMaxInterfacesPerDevice = 256;

char* narrow(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return nullptr;
  char* out = static_cast<char*>(malloc((size_t)n));
  if (out && WideCharToMultiByte(CP_ACP, 0, text, -1, out, n, nullptr, nullptr) != n) {
    free(out);
    out = nullptr;
  }
  return out;
}

wchar_t* widen(const char* text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  wchar_t* out = static_cast<wchar_t*>(malloc((size_t)n * sizeof(wchar_t)));
  if (out && MultiByteToWideChar(CP_ACP, 0, text, -1, out, n) != n) {
    free(out);
    out = nullptr;
  }
  return out;
}

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
    char* path = narrow(detail->DevicePath);
    if (path) more = each(ctx, path);
    free(path);
  }
  free(detail);
  return more;
}

}  // namespace

struct vxp_usb {
  HANDLE device;
  HANDLE event;
  OVERLAPPED overlapped;
  // A start the driver refused at once leaves the record as the last
  // operation left it; it must not be judged by that.
  bool failedAtOnce;
  volatile LONG interrupted;
};

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
  wchar_t* wide = widen(path);
  if (!wide) return nullptr;
  HANDLE h = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  free(wide);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  vxp_usb* d = new (std::nothrow) vxp_usb;
  HANDLE ev = d ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
  if (!ev) {
    delete d;
    CloseHandle(h);
    return nullptr;
  }
  d->device = h;
  d->event = ev;
  ZeroMemory(&d->overlapped, sizeof d->overlapped);
  d->overlapped.hEvent = ev;
  d->failedAtOnce = false;
  d->interrupted = 0;
  return d;
}

void vxp_usb_close(vxp_usb* d) {
  if (!d) return;
  if (vxp_usb_pending(d)) vxp_usb_cancel(d);
  CloseHandle(d->device);
  CloseHandle(d->event);
  delete d;
}

void vxp_usb_start(vxp_usb* d, const vxp_usb_op* op) {
  d->overlapped.Offset = 0;
  d->overlapped.OffsetHigh = 0;
  d->failedAtOnce = false;
  if (InterlockedCompareExchange(&d->interrupted, 0, 0) != 0) {
    d->failedAtOnce = true;
    return;
  }
  BOOL started = FALSE;
  switch (op->kind) {
    case VXP_USB_BULK_OUT:
      started = WriteFile(d->device, op->in, op->inLength, nullptr, &d->overlapped);
      break;
    case VXP_USB_BULK_IN:
      started = ReadFile(d->device, op->out, op->outLength, nullptr, &d->overlapped);
      break;
    case VXP_USB_IOCTL:
      started = DeviceIoControl(d->device, op->code, const_cast<void*>(op->in), op->inLength, op->out,
                                op->outLength, nullptr, &d->overlapped);
      break;
  }
  if (!started && GetLastError() != ERROR_IO_PENDING) {
    d->failedAtOnce = true;
    return;
  }
  // An interrupt that came between the check above and the start found
  // nothing to cancel; cancel what was just started.
  if (InterlockedCompareExchange(&d->interrupted, 0, 0) != 0) CancelIo(d->device);
}

void vxp_usb_wait(vxp_usb* d, uint32_t ms) {
  if (d->failedAtOnce) return;
  WaitForSingleObject(d->event, ms);
}

bool vxp_usb_pending(vxp_usb* d) { return !d->failedAtOnce && d->overlapped.Internal == kStatusPending; }

void vxp_usb_cancel(vxp_usb* d) {
  if (!vxp_usb_pending(d)) return;
  CancelIo(d->device);
  // The reap: until the cancelled operation has completed, the driver may
  // still write into the record and the buffer.
  DWORD n = 0;
  GetOverlappedResult(d->device, &d->overlapped, &n, TRUE);
  d->failedAtOnce = true;
}

bool vxp_usb_result(vxp_usb* d, uint32_t* bytes) {
  DWORD n = 0;
  bool ok = !d->failedAtOnce && GetOverlappedResult(d->device, &d->overlapped, &n, FALSE);
  if (bytes) *bytes = ok ? (uint32_t)n : 0;
  return ok;
}

void vxp_usb_interrupt(vxp_usb* d) {
  if (!d) return;
  InterlockedExchange(&d->interrupted, 1);
  CancelIoEx(d->device, &d->overlapped);
}
