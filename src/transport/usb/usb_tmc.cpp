// Other makers' USBTMC devices: messages as IEEE 488.2 devices need them.
// A message (a command ending in a line feed, a block, an upload) goes out
// as DEV_DEP_MSG_OUT transfers of whole packets up to the bus's frame, EOM
// on its last transfer only; a write that ends no line keeps its tail back
// for the message's end (endMessage) or the next write, as the VXI-11 route
// keeps its last bytes. A read asks for all it wants up to the bus's frame
// in one REQUEST_DEV_DEP_MSG_IN; a reply longer than asked is read on
// without a new request, what the caller had no room for kept for the next
// reads. EOM decides nothing here: the line and block reads above end a
// reply at its line feed or its length, so a device that never sets EOM
// costs no timeout.
#include <cstring>

#include "log/call_log.h"
#include "transport/usb/usb_device.h"
#include "transport/usb/usb_quirks.h"

namespace {

// Replies to requests that timed out before, dropped before the answer
// to this one; a device sending more is taken as out of step.
const int kMaxStaleReplies = 8;
// Transfers of one stale reply read off before the read gives up.
const int kMaxStaleReads = 256;
// Empty replies in a row before a read gives up.
const int kMaxEmptyReplies = 100;

uint32_t wait_of(UsbDevice* d) { return (uint32_t)d->timeout.load(); }

uint8_t* out_buffer(UsbDevice* d) { return d->tmcBuffer; }
uint8_t* in_buffer(UsbDevice* d) { return d->tmcBuffer + VX_USB_TMC_BUFFER; }

// One bulk-out transfer, whole. One that did not go through is aborted, so
// that the device's next message starts clean.
bool send_transfer(UsbDevice* d, const uint8_t* msg, uint32_t length, uint8_t tag) {
  vxp_usb_op op = {VXP_USB_BULK_OUT, 0, msg, length, nullptr, 0};
  uint32_t moved = 0;
  if (vx_usbdev_transfer(d, &op, wait_of(d), &moved) && moved == length) return true;
  vx_usbtmc_abortOut(d, tag);
  return false;
}

// The held tail first, then `n` bytes of `p`, in transfers of the most the
// bus and the packet size allow; EOM on the last when `eom`. *sent counts
// the bytes of p that went.
bool send_data(UsbDevice* d, const uint8_t* p, uint32_t n, bool eom, uint32_t* sent) {
  const uint32_t room = (vx_usbtmc_maxTransfer(VX_USB_TMC_MAX_OUT, d->tmcIf.bulkOutPacket) - VX_USB_HEADER) & ~3u;
  const bool pad = (d->tmcIf.quirks & VX_USB_QUIRK_NO_PADDING) == 0;
  *sent = 0;
  do {
    uint8_t* msg = out_buffer(d);
    const uint32_t fromHeld = d->heldLength;
    const uint32_t take = n - *sent < room - fromHeld ? n - *sent : room - fromHeld;
    const uint32_t payload = fromHeld + take;
    const bool last = *sent + take == n;
    const uint8_t tag = vx_usbdev_nextTag(d);
    vx_usbdev_putHeader(msg, VX_USBTMC_DEV_DEP_MSG_OUT, tag, payload, last && eom ? 1 : 0);
    memcpy(msg + VX_USB_HEADER, d->held, fromHeld);
    if (take > 0) memcpy(msg + VX_USB_HEADER + fromHeld, p + *sent, take);
    uint32_t length = VX_USB_HEADER + payload;
    while (pad && length % 4 != 0) msg[length++] = 0;
    d->heldLength = 0;  // sent, or lost with the transfer
    d->outTag = tag;
    if (!send_transfer(d, msg, length, tag)) return false;
    *sent += take;
  } while (*sent < n);
  return true;
}

// One bulk in of up to `want` bytes into the in buffer, from `at` on.
bool bulk_in(UsbDevice* d, uint32_t want, uint32_t* moved, uint32_t at = 0) {
  vxp_usb_op op = {VXP_USB_BULK_IN, 0, nullptr, 0, in_buffer(d) + at, want};
  *moved = 0;
  bool ok = vx_usbdev_transfer(d, &op, wait_of(d), moved);
  if (*moved > want) *moved = want;
  return ok && *moved > 0;
}

// What a bulk in asks for `payload` more bytes: whole packets, within the
// bus's frame.
uint32_t in_size(UsbDevice* d, uint64_t payload) {
  const uint32_t most = vx_usbtmc_maxTransfer(VX_USB_TMC_MAX_IN, d->tmcIf.bulkInPacket);
  const uint32_t packet = d->tmcIf.bulkInPacket ? d->tmcIf.bulkInPacket : 1;
  if (payload >= most) return most;
  uint64_t whole = (payload + packet - 1) / packet * packet;
  return whole < most ? (uint32_t)whole : most;
}

// Hands `have` payload bytes at `from` to the caller (up to `room`), the
// rest into the spare.
uint32_t hand_out(UsbDevice* d, const uint8_t* from, uint32_t have, uint8_t* dest, uint32_t room) {
  uint32_t n = have < room ? have : room;
  memcpy(dest, from, n);
  if (have > n) {
    d->spareAt = (uint32_t)(from + n - in_buffer(d));
    d->spareLength = have - n;
  }
  return n;
}

// The rest of the current message, without a new request: one bulk in.
bool read_on(UsbDevice* d, uint8_t* dest, uint32_t room, uint32_t* got) {
  *got = 0;
  uint32_t moved = 0;
  if (!bulk_in(d, in_size(d, d->msgLeft), &moved)) {
    vx_usbtmc_abortIn(d, d->inTag);
    return false;
  }
  // The alignment zeros behind the payload are no data.
  uint32_t have = moved < d->msgLeft ? moved : d->msgLeft;
  d->msgLeft -= have;
  *got = hand_out(d, in_buffer(d), have, dest, room);
  return true;
}

// The length of a definite-length block at the start of a reply, its
// header included; 0 when the reply does not start with one.
uint64_t block_length(const uint8_t* p, uint32_t n) {
  if (n < 2 || p[0] != '#' || p[1] < '1' || p[1] > '9') return 0;
  const uint32_t digits = (uint32_t)(p[1] - '0');
  if (n < 2 + digits) return 0;
  uint64_t length = 0;
  for (uint32_t i = 0; i < digits; ++i) {
    if (p[2 + i] < '0' || p[2 + i] > '9') return 0;
    length = length * 10 + (uint64_t)(p[2 + i] - '0');
  }
  return 2 + digits + length;
}

// Asks for a new reply and reads its first transfer: `asked` bytes at most
// for the caller (`room`). A reply to an earlier request is dropped whole.
bool read_new(UsbDevice* d, uint8_t* dest, uint32_t room, uint32_t* got) {
  *got = 0;
  const uint32_t most = vx_usbtmc_maxTransfer(VX_USB_TMC_MAX_IN, d->tmcIf.bulkInPacket) - VX_USB_HEADER;
  const uint32_t asked = (d->tmcIf.quirks & VX_USB_QUIRK_WHOLE_REPLY) || room < most ? room : most;
  const uint8_t tag = vx_usbdev_nextTag(d);
  uint8_t* msg = out_buffer(d);
  vx_usbdev_putHeader(msg, VX_USBTMC_REQUEST_DEV_DEP_MSG_IN, tag, asked, 0);
  d->outTag = tag;
  d->inTag = tag;
  if (!send_transfer(d, msg, VX_USB_HEADER, tag)) return false;
  for (int stale = 0;; ++stale) {
    // The header may come in pieces (a bus handing over short transfers).
    const uint32_t want = in_size(d, (uint64_t)VX_USB_HEADER + (asked < most ? asked : most));
    uint32_t moved = 0;
    while (moved < VX_USB_HEADER) {
      uint32_t more = 0;
      if (!bulk_in(d, want - moved, &more, moved)) {
        vx_usbtmc_abortIn(d, tag);
        return false;
      }
      moved += more;
    }
    const uint8_t* in = in_buffer(d);
    if (in[0] != VX_USBTMC_DEV_DEP_MSG_IN) {
      writeLog("USB error: %s: a reply without a valid DEV_DEP_MSG_IN header (%u bytes, MsgID %u); the reply is "
               "aborted\n",
               d->path, (unsigned)moved, (unsigned)in[0]);
      vx_usbtmc_abortIn(d, tag);
      return false;
    }
    uint64_t size = vx_get_le32(in + 4);
    const uint32_t here = moved - VX_USB_HEADER;
    if (d->tmcIf.quirks & VX_USB_QUIRK_BLOCK_LENGTH) {
      uint64_t block = block_length(in + VX_USB_HEADER, here);
      if (block > size) size = block;
    }
    if (size > 0xFFFFFFFFu) size = 0xFFFFFFFFu;
    const uint32_t have = here < size ? here : (uint32_t)size;
    d->msgLeft = (uint32_t)size - have;
    if (in[1] == tag) {
      *got = hand_out(d, in + VX_USB_HEADER, have, dest, room);
      return true;
    }
    // An answer to a request that timed out before: dropped with its rest.
    if (stale == kMaxStaleReplies) {
      writeLog("USB error: %s: replies keep coming to earlier requests (bTag %u, not %u); the reply is aborted\n",
               d->path, (unsigned)in[1], (unsigned)tag);
      d->msgLeft = 0;
      vx_usbtmc_abortIn(d, tag);
      return false;
    }
    // A stale reply's rest is read off, but not for ever: a header can
    // announce 4 GiB.
    for (int reads = 0; d->msgLeft > 0; ++reads) {
      if (reads == kMaxStaleReads || !bulk_in(d, in_size(d, d->msgLeft), &moved)) {
        d->msgLeft = 0;
        vx_usbtmc_abortIn(d, tag);
        return false;
      }
      d->msgLeft -= moved < d->msgLeft ? moved : d->msgLeft;
    }
  }
}

}  // namespace

bool vx_usbtmc_flushHeld(UsbDevice* d, bool eom) {
  if (d->heldLength == 0) return true;
  uint32_t sent = 0;
  return send_data(d, nullptr, 0, eom, &sent);
}

ViStatus vx_usbtmc_write(UsbDevice* d, const void* buffer, ViInt32 count, ViInt32* retCount, bool mayEnd) {
  if (retCount) *retCount = 0;
  if (count <= 0) return VI_SUCCESS;
  std::lock_guard<std::recursive_mutex> hold(d->stepLock);
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  const uint32_t n = (uint32_t)count;
  const bool endsLine = mayEnd && p[n - 1] == '\n';
  const uint32_t keep = endsLine ? 0 : (n < VX_USB_TMC_HELD ? n : VX_USB_TMC_HELD);
  if (keep == n && d->heldLength + n > VX_USB_TMC_HELD && !vx_usbtmc_flushHeld(d, false)) return VI_ERROR_TMO;
  if (keep < n) {
    uint32_t sent = 0;
    bool ok = send_data(d, p, n - keep, endsLine, &sent);
    if (retCount) *retCount = (ViInt32)sent;
    if (!ok) return VI_ERROR_TMO;
  }
  memcpy(d->held + d->heldLength, p + n - keep, keep);
  d->heldLength += keep;
  if (retCount) *retCount = count;
  return VI_SUCCESS;
}

ViStatus vx_usbtmc_end(UsbDevice* d) {
  std::lock_guard<std::recursive_mutex> hold(d->stepLock);
  return vx_usbtmc_flushHeld(d, true) ? VI_SUCCESS : VI_ERROR_TMO;
}

ViStatus vx_usbtmc_read(UsbDevice* d, void* buffer, ViInt32 count, ViInt32* retCount) {
  if (retCount) *retCount = 0;
  if (count < 1) return VI_ERROR_TMO;
  std::lock_guard<std::recursive_mutex> hold(d->stepLock);
  uint8_t* dest = static_cast<uint8_t*>(buffer);
  const uint32_t room = (uint32_t)count;
  // Asking for a reply ends the message sent before it.
  if (!vx_usbtmc_flushHeld(d, true)) return VI_ERROR_TMO;
  if (d->spareLength > 0) {
    uint32_t n = d->spareLength < room ? d->spareLength : room;
    memcpy(dest, in_buffer(d) + d->spareAt, n);
    d->spareAt += n;
    d->spareLength -= n;
    if (retCount) *retCount = (ViInt32)n;
    return VI_SUCCESS;
  }
  uint32_t got = 0;
  for (int empty = 0; got == 0; ++empty) {
    if (empty == kMaxEmptyReplies) return VI_ERROR_TMO;
    bool ok = d->msgLeft > 0 ? read_on(d, dest, room, &got) : read_new(d, dest, room, &got);
    if (!ok) return VI_ERROR_TMO;
  }
  // The rest of what the caller asked, where the message goes on.
  while (got < room && d->msgLeft > 0 && d->spareLength == 0) {
    uint32_t more = 0;
    if (!read_on(d, dest + got, room - got, &more)) break;  // what came is delivered
    got += more;
  }
  if (retCount) *retCount = (ViInt32)got;
  return VI_SUCCESS;
}
