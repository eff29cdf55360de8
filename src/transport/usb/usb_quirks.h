// Habits of real USBTMC devices that the class rules do not cover, by
// vendor and product (docs/reference/links.md, "USB instruments of other
// makers", names each with its public report). What every device gets
// (a bTag never 0, a reply longer than asked kept for the next reads, a
// line or block ending without EOM) is not a quirk and is not listed.
#ifndef VX_USB_QUIRKS_H
#define VX_USB_QUIRKS_H

#include <cstdint>

enum : uint32_t {
  // The device answers a request with its whole reply as one message,
  // whatever TransferSize asked: the read asks for all the caller wants,
  // so that no second request lands in the middle of that reply.
  VX_USB_QUIRK_WHOLE_REPLY = 1u << 0,
  // A reply that is an IEEE 488.2 definite-length block carries a wrong
  // TransferSize: the block's own header gives the message's length.
  VX_USB_QUIRK_BLOCK_LENGTH = 1u << 1,
  // The device takes the zeros aligning a bulk-out message to 4 bytes as
  // data: messages go out unpadded.
  VX_USB_QUIRK_NO_PADDING = 1u << 2,
};

// The quirks of vendor:product; 0 for a device not in the table.
uint32_t vx_usb_quirks(uint16_t vendor, uint16_t product);

#endif
