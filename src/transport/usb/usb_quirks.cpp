// The quirk table (usb_quirks.h); docs/reference/links.md says where each
// habit was reported.
#include "transport/usb/usb_quirks.h"

namespace {

struct Quirk {
  uint16_t vendor;
  uint16_t product;
  uint32_t flags;
};

const Quirk kQuirks[] = {
    {0x1AB1, 0x04CE, VX_USB_QUIRK_WHOLE_REPLY | VX_USB_QUIRK_BLOCK_LENGTH},  // Rigol DS1000Z
    {0x1AB1, 0x0588, VX_USB_QUIRK_WHOLE_REPLY},                              // Rigol DS1000D/E
    {0x1AB1, 0x04B0, VX_USB_QUIRK_WHOLE_REPLY},                              // Rigol DS2000
    {0x05E6, 0x2450, VX_USB_QUIRK_NO_PADDING},                               // Keithley 2450
};

}  // namespace

uint32_t vx_usb_quirks(uint16_t vendor, uint16_t product) {
  for (const Quirk& q : kQuirks)
    if (q.vendor == vendor && q.product == product) return q.flags;
  return 0;
}
