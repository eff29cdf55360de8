// LAN replies: model and serial taken from their offsets within the
// received bytes only, one entry per sender, the text always terminated and
// within its capacity, whatever the replies and the room.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "find/find.h"
#include "fuzz_util.h"
#include "platform/net.h"

namespace {

// Up to a NUL or the end, with the list's separators made harmless.
std::string field(const std::string& reply, size_t at) {
  if (at >= reply.size()) return "";
  return vx_fuzz_field(std::string(reply.c_str() + at));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx_fuzz_init();
  FuzzedDataProvider in(data, size);
  int capacity = in.ConsumeIntegralInRange<int>(1, 600);
  std::vector<char> text((size_t)capacity + 16, '\x7f');
  int length = 0;
  text[0] = '\0';
  std::set<std::string> listed;
  std::string expected;
  bool full = false;

  while (in.remaining_bytes() > 0) {
    uint32_t from = in.ConsumeIntegral<uint8_t>() % 4;  // a few senders, so repeats happen
    from = 0x0100007Fu + (from << 24);                  // 127.0.0.1 to 127.0.0.4, network order
    std::string reply = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 140));
    ViStatus s = vx_lan_add_reply(reply.data(), reply.size(), from, text.data(), capacity, &length);

    char address[16];
    VX_FUZZ_CHECK(vxp_inet_text(from, address, sizeof address));
    if (reply.empty() || reply.size() > 127 || listed.count(address)) {
      VX_FUZZ_CHECK(s == VI_SUCCESS);
    } else {
      std::string entry = field(reply, 21) + ":" + field(reply, 51) + ":" + address + ";";
      if (expected.size() + entry.size() + 1 <= (size_t)capacity) {
        VX_FUZZ_CHECK(s == VI_SUCCESS);
        expected += entry;
        listed.insert(address);
      } else {
        VX_FUZZ_CHECK(s == VI_SUCCESS_MAX_CNT);
        full = true;
      }
    }
    VX_FUZZ_CHECK(length == (int)expected.size() && length < capacity);
    VX_FUZZ_CHECK(memcmp(text.data(), expected.c_str(), expected.size() + 1) == 0);
    VX_FUZZ_CHECK(text[(size_t)capacity] == '\x7f');  // nothing past the capacity
    for (const std::string& a : listed) VX_FUZZ_CHECK(vx_lan_isListed(a.c_str(), text.data(), length));
  }
  (void)full;
  return 0;
}
