// The older vx_usb_ names. Each hands its arguments to one current export,
// some with fixed values, and writes nothing to the call log itself, so the
// log shows the current export's name.
#include "vx_comm.h"

extern "C" ViStatus vx_usb_find(char* devices, ViInt32 tmoMs, ViInt32 count, ViInt32* retCount) {
  return vx_comm_find(devices, tmoMs, count, retCount, IFACE_USB);
}

// The caller tells a failure only by -1; the 2000 shows in the log and, as
// with every open, does not set the link's timeout.
extern "C" ViInt32 vx_usb_open(const char* address) {
  ViInt32 linkId = -1;
  vx_comm_open(address, 2000, &linkId);
  return linkId;
}

extern "C" ViStatus vx_usb_close(ViInt32 linkId) { return vx_comm_close(linkId); }

extern "C" ViStatus vx_usb_puts(ViInt32 linkId, const char* cmd, ViInt32 count, ViInt32* retCount) {
  return vx_comm_puts(linkId, cmd, count, retCount);
}

extern "C" ViStatus vx_usb_gets(ViInt32 linkId, char* buf, ViInt32 count, ViInt32* retCount) {
  return vx_comm_gets(linkId, buf, count, retCount);
}

extern "C" ViStatus vx_usb_write(ViInt32 linkId, const void* buffer, ViInt32 count, ViInt32* retCount) {
  return vx_comm_writeBlocking(linkId, buffer, count, retCount);
}

extern "C" ViStatus vx_usb_read(ViInt32 linkId, void* buffer, ViInt32 count, ViInt32* retCount) {
  return vx_comm_readBlocking(linkId, buffer, count, retCount);
}

extern "C" ViStatus vx_usb_clear(ViInt32 linkId) { return vx_comm_clear(linkId); }

extern "C" ViStatus vx_usb_settmo(ViInt32 linkId, ViInt32 tmoMs) { return vx_comm_setTmoMs(linkId, tmoMs); }

extern "C" ViStatus vx_usb_sendbinary(ViInt32 linkId, const char* fileName) {
  return vx_comm_writeBlockFile(linkId, nullptr, fileName);
}

extern "C" ViStatus vx_usb_receivebinary(ViInt32 linkId, const char* fileName) {
  return vx_comm_readBlockFile(linkId, nullptr, fileName);
}

// The find call's second name.
extern "C" ViStatus stdcall_vx_comm_find(char* devices, ViInt32 tmoMs, ViInt32 count, ViInt32* retCount,
                                         ViInt32 iface) {
  return vx_comm_find(devices, tmoMs, count, retCount, iface);
}
