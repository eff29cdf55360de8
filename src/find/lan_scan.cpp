// The LAN search: an empty UDP broadcast to port 9998, repeated a few times
// early on, and every reply from a new address becomes one entry. The
// request goes to 255.255.255.255, which leaves by the card of the default
// route only, and also to the broadcast address of every other card that
// can broadcast, so instruments behind a second card answer too.
#include <cstring>

#include "find/find.h"
#include "platform/clock.h"
#include "platform/net.h"

namespace {

const uint16_t kLanPort = 9998;

// Replies of 1 to kReplyArea bytes are taken; the texts sit at fixed offsets.
const size_t kReplyArea = 127;
const size_t kModelAt = 21;
const size_t kSerialAt = 51;

const LanScanSetup kProductSetup = {kLanPort, vxp_tick_ms};

// The text at offset `at` of a reply of `received` bytes that is
// NUL-terminated right after them; a reply too short to reach the offset
// has an empty text there, so nothing past the received bytes is read.
const char* text_at(const char* reply, size_t received, size_t at) { return at < received ? reply + at : ""; }

// Receives one datagram that the wait found waiting and lists its sender.
ViStatus take_reply(vxp_socket sock, char* text, int capacity, int* length) {
  char reply[kReplyArea + 1];
  uint32_t from = 0;
  // Longer datagrams are refused by the platform on every system.
  int64_t received = vxp_recvfrom(sock, reply, kReplyArea, &from);
  if (received <= 0 || received > (int64_t)kReplyArea) return VI_SUCCESS;
  return vx_lan_add_reply(reply, (size_t)received, from, text, capacity, length);
}

}  // namespace

ViStatus vx_lan_add_reply(const char* reply, size_t received, uint32_t from, char* text, int capacity, int* length) {
  if (received == 0 || received > kReplyArea) return VI_SUCCESS;
  // A copy with a NUL right after the received bytes, so that no text
  // read from it runs past them.
  char own[kReplyArea + 1];
  memcpy(own, reply, received);
  own[received] = '\0';

  char address[16];
  if (!vxp_inet_text(from, address, sizeof address)) return VI_SUCCESS;
  if (vx_lan_isListed(address, text, *length)) return VI_SUCCESS;
  if (*length >= capacity) return VI_SUCCESS_MAX_CNT;
  if (!vx_find_append_entry(text, capacity, length, text_at(own, received, kModelAt),
                            text_at(own, received, kSerialAt), address))
    return VI_SUCCESS_MAX_CNT;
  return VI_SUCCESS;
}

int vx_lan_isListed(const char* address, const char* text, int length) {
  if (!address || !text || length <= 0) return 0;
  const size_t wanted = strlen(address);
  int p = 0;
  while (p < length) {
    int e = p;
    while (e < length && text[e] != ';') ++e;
    // The address is the last field: after the last colon before the ';'.
    int c = e - 1;
    while (c >= 0 && text[c] != ':') --c;
    const size_t fieldLen = (size_t)(e - c - 1);
    if (fieldLen == wanted && memcmp(text + c + 1, address, wanted) == 0) return 1;
    if (e >= length) break;
    p = e + 1;
  }
  return 0;
}

ViStatus vx_lan_scan_with(const LanScanSetup* setup, char* text, int tmoMs, int capacity, int* length) {
  const uint32_t start = setup->tick();
  int ownLength = 0;
  int* len = length ? length : &ownLength;
  *len = 0;
  if (!text) capacity = 0;  // nowhere to write: any reply fills it

  if (!vxp_net_startup()) return VI_ERROR_SYSTEM_ERROR;
  vxp_socket sock = vxp_udp_socket();
  const char request = 0;
  BroadcastPlan plan;
  vx_find_broadcast_begin(&plan, sock, setup->port, &request, 0);

  ViStatus status = VI_SUCCESS;
  const uint32_t limit = (uint32_t)tmoMs;  // a negative tmoMs is a very long search, not none
  if (limit != 0) {
    // The elapsed time is summed from 32-bit tick differences into 64 bits:
    // a limit close to 2^32 ms must still end the search when the 32-bit
    // difference from the start would already have wrapped past it.
    uint64_t elapsed = 0;
    uint32_t last = start;
    for (;;) {
      vx_find_broadcast_due(&plan, elapsed);

      // A socket that could not be made is a failed wait, on every system.
      int ready = sock == VXP_BAD_SOCKET ? -1 : vxp_wait_readable(sock, VX_FIND_WAIT_MS);
      if (ready < 0) {
        if (sock != VXP_BAD_SOCKET && vxp_socket_error_is_invalid_argument(vxp_last_socket_error()))
          vxp_sleep_ms(VX_FIND_WAIT_MS);  // tolerated, but a failing wait must not turn the loop into a busy spin
        else
          status = VI_ERROR_SYSTEM_ERROR;
      } else if (ready > 0) {
        status = take_reply(sock, text, capacity, len);
      }

      const uint32_t now = setup->tick();
      elapsed += (uint32_t)(now - last);
      last = now;
      if (elapsed >= limit || status != VI_SUCCESS) break;
    }
  }

  if (sock != VXP_BAD_SOCKET) vxp_socket_close(sock);
  vxp_net_cleanup();
  return status;
}

ViStatus vx_lan_scan(char* text, int tmoMs, int capacity, int* length) {
  return vx_lan_scan_with(&kProductSetup, text, tmoMs, capacity, length);
}
