// The VXI-11 search's datagrams: anyone on the LAN may send them. Each is
// read by vx_portmap_reply_port (checked against a model GETPORT reply
// parser) and handed to the search's list of responders
// (vx_vxi11_take_datagram), from senders and into a list of sizes the input
// chooses. Oracles: a port only from a well-formed reply to our xid, never
// 0 nor above 65535; a sender listed once, with the port of its first
// valid reply; the list never longer than its room, and a full list counts
// what it turned away.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "find/find.h"
#include "fuzz_util.h"
#include "transport/vxi11/portmap.h"

namespace {

uint32_t word_at(const std::vector<uint8_t>& d, size_t at) {
  return (uint32_t)d[at] << 24 | (uint32_t)d[at + 1] << 16 | (uint32_t)d[at + 2] << 8 | d[at + 3];
}

// xid, REPLY, MSG_ACCEPTED, verifier (flavour, opaque of at most 400
// bytes, padded), SUCCESS, the port; bytes after it are allowed.
bool model_port(const std::vector<uint8_t>& d, uint32_t xid, uint16_t* port) {
  if (d.size() < 24 || word_at(d, 0) != xid || word_at(d, 4) != 1 || word_at(d, 8) != 0) return false;
  const uint32_t verifier = word_at(d, 16);
  if (verifier > 400) return false;
  const size_t at = 20 + ((verifier + 3) & ~3u);
  if (d.size() < at + 8 || word_at(d, at) != 0) return false;
  const uint32_t value = word_at(d, at + 4);
  if (value == 0 || value > 65535) return false;
  *port = (uint16_t)value;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx_fuzz_init();
  FuzzedDataProvider in(data, size);
  const std::vector<uint8_t> front = in.ConsumeBytes<uint8_t>(4);
  uint32_t xid = 0;
  for (uint8_t b : front) xid = xid << 8 | b;
  Vxi11Responder room[64];
  Vxi11Responders list{room, 0, in.ConsumeIntegralInRange<int>(0, 64), 0};
  for (int k = 0; k < 256 && in.remaining_bytes() > 0; ++k) {
    const size_t length = in.ConsumeIntegralInRange<size_t>(0, 600);
    const uint32_t from = 0x7F000000u | in.ConsumeIntegralInRange<uint32_t>(0, 40);
    const std::vector<uint8_t> datagram = in.ConsumeBytes<uint8_t>(length);
    uint16_t port = 0, expected = 0;
    const bool valid = model_port(datagram, xid, &expected);
    VX_FUZZ_CHECK(vx_portmap_reply_port(datagram.data(), datagram.size(), xid, &port) == valid);
    if (valid) VX_FUZZ_CHECK(port == expected);

    bool known = false;
    for (int i = 0; i < list.count; ++i) known = known || list.list[i].addr == from;
    const Vxi11Responders before = list;
    const bool taken = vx_vxi11_take_datagram(&list, datagram.data(), datagram.size(), from, xid);
    VX_FUZZ_CHECK(taken == (valid && !known));
    VX_FUZZ_CHECK(list.count <= list.capacity);
    if (taken && before.count < before.capacity) {
      VX_FUZZ_CHECK(list.count == before.count + 1 && list.notKept == before.notKept);
      VX_FUZZ_CHECK(list.list[before.count].addr == from && list.list[before.count].port == expected);
    } else if (taken) {
      VX_FUZZ_CHECK(list.count == before.count && list.notKept == before.notKept + 1);
    } else {
      VX_FUZZ_CHECK(list.count == before.count && list.notKept == before.notKept);
    }
  }
  for (int i = 0; i < list.count; ++i) {
    VX_FUZZ_CHECK(list.list[i].port != 0);
    for (int j = 0; j < i; ++j) VX_FUZZ_CHECK(list.list[i].addr != list.list[j].addr);
  }
  return 0;
}
