/* Installs the test driver into a Wine prefix and makes its bus match the
 * simulator's (vxusb_drv.c). Test-only, like the driver.
 *
 *   vxusb_ctl install       install the vxusb.inf beside this program and
 *                           create the bus device
 *   vxusb_ctl scan PORT     list the bus at 127.0.0.1:PORT, add or remove
 *                           children to match, and wait until the device
 *                           interfaces of all children present are there
 *
 * Exit status 0 on success, 1 on failure (with a line on stderr). */
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "vxusb_bus.h"

static const GUID kInstrumentInterface = {0xA9FDBB24, 0x128A, 0x11D5, {0x99, 0x61, 0x00, 0x10, 0x83, 0x35, 0xE3, 0x61}};
static const WCHAR kBusHardwareId[] = L"ROOT\\VXUSBBUS\0";

static int fail(const char* what) {
  fprintf(stderr, "vxusb_ctl: %s failed (error %lu)\n", what, (unsigned long)GetLastError());
  return 1;
}

static int install(void) {
  WCHAR inf[MAX_PATH];
  DWORD n = GetModuleFileNameW(NULL, inf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return fail("GetModuleFileNameW");
  WCHAR* slash = wcsrchr(inf, L'\\');
  if (!slash || (size_t)(slash - inf) + 12 >= MAX_PATH) return fail("path");
  wcscpy(slash + 1, L"vxusb.inf");
  if (!SetupCopyOEMInfW(inf, NULL, SPOST_NONE, 0, NULL, 0, NULL, NULL)) return fail("SetupCopyOEMInfW");
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kInstrumentInterface, NULL);
  if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA dev;
  dev.cbSize = sizeof dev;
  if (!SetupDiCreateDeviceInfoW(set, L"VxUsbSim", &kInstrumentInterface, NULL, NULL, DICD_GENERATE_ID, &dev))
    return fail("SetupDiCreateDeviceInfoW");
  if (!SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID, (const BYTE*)kBusHardwareId,
                                         sizeof kBusHardwareId))
    return fail("SetupDiSetDeviceRegistryPropertyW");
  if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev)) return fail("DIF_REGISTERDEVICE");
  SetupDiDestroyDeviceInfoList(set);
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(NULL, kBusHardwareId, inf, 0, &reboot))
    return fail("UpdateDriverForPlugAndPlayDevicesW");
  return 0;
}

static unsigned count_interfaces(void) {
  HDEVINFO set = SetupDiGetClassDevsW(&kInstrumentInterface, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return 0;
  unsigned n = 0;
  SP_DEVICE_INTERFACE_DATA iface;
  iface.cbSize = sizeof iface;
  while (SetupDiEnumDeviceInterfaces(set, NULL, &kInstrumentInterface, n, &iface)) ++n;
  SetupDiDestroyDeviceInfoList(set);
  return n;
}

static int scan(unsigned port) {
  HANDLE bus = INVALID_HANDLE_VALUE;
  /* The bus device is started by the prefix's first Wine processes after
   * the wineserver starts; give it a moment. */
  for (int i = 0; i < 100 && bus == INVALID_HANDLE_VALUE; ++i) {
    bus = CreateFileW(L"\\\\.\\VxUsbBus", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (bus == INVALID_HANDLE_VALUE) Sleep(50);
  }
  if (bus == INVALID_HANDLE_VALUE) return fail("opening \\\\.\\VxUsbBus");
  DWORD io = port, got = 0;
  if (!DeviceIoControl(bus, VXUSB_IOCTL_SCAN, &io, sizeof io, &io, sizeof io, &got, NULL) || got != sizeof io)
    return fail("the bus scan");
  CloseHandle(bus);
  /* Children are added asynchronously; wait until each has its interface. */
  unsigned have = 0;
  for (int i = 0; i < 400; ++i) {
    have = count_interfaces();
    if (have == io) break;
    Sleep(25);
  }
  printf("vxusb_ctl: %u devices on the bus, %u interfaces\n", (unsigned)io, have);
  return have == io ? 0 : 1;
}

static int list(void) {
  HDEVINFO set = SetupDiGetClassDevsW(&kInstrumentInterface, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return fail("SetupDiGetClassDevsW");
  SP_DEVICE_INTERFACE_DATA iface;
  iface.cbSize = sizeof iface;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, NULL, &kInstrumentInterface, i, &iface); ++i) {
    union {
      SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
      WCHAR room[1024];
    } u;
    u.detail.cbSize = sizeof u.detail;
    if (SetupDiGetDeviceInterfaceDetailW(set, &iface, &u.detail, sizeof u, NULL, NULL))
      printf("%ls\n", u.detail.DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return 0;
}

int wmain(int argc, WCHAR** argv) {
  if (argc == 2 && wcscmp(argv[1], L"install") == 0) return install();
  if (argc == 2 && wcscmp(argv[1], L"list") == 0) return list();
  if (argc == 3 && wcscmp(argv[1], L"scan") == 0) return scan((unsigned)wcstoul(argv[2], NULL, 10));
  fprintf(stderr, "usage: vxusb_ctl install | list | scan PORT\n");
  return 2;
}
