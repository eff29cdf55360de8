// The VISA search's identification probe: a resource opened in a session
// of its own, cleared, asked "*IDN?" and its reply read.
#include <cstring>

#include "transport/visa/visa_binding.h"
#include "transport/visa/visa_transport.h"

bool vx_visa_identify(const VisaFunctions& visa, const char* name, int tmoMs, char* reply, size_t size) {
  if (!name || !reply || size < 1) return false;
  // Zeroed: a library that reports more bytes than it wrote must not hand
  // the caller whatever the buffer held.
  memset(reply, 0, size);
  static const char kIdentify[] = "*IDN?\n";
  ViSession rm = 0, device = 0;
  if (visa.viOpenDefaultRM(&rm) < 0) return false;
  if (visa.viOpen(rm, name, VI_NO_LOCK, 0, &device) != VI_SUCCESS) {
    visa.viClose(rm);
    return false;
  }
  visa.viClear(device);
  ViStatus s = visa.viSetAttribute(device, VI_ATTR_TMO_VALUE, (ViAttrState)(uint32_t)tmoMs);
  const ViUInt32 room = (ViUInt32)(size - 1);
  ViUInt32 got = 0;
  if (s == VI_SUCCESS)
    s = visa.viWrite(device, reinterpret_cast<const ViByte*>(kIdentify), (ViUInt32)(sizeof kIdentify - 1), &got);
  got = 0;
  if (s == VI_SUCCESS) s = visa.viRead(device, reinterpret_cast<ViByte*>(reply), room, &got);
  // A reply that fills the buffer may have been cut: not used.
  if (got >= room) got = 0;
  reply[got] = '\0';
  visa.viClose(device);
  visa.viClose(rm);
  return s == VI_SUCCESS && got > 0;
}
