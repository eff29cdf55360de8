// The HiSLIP reader of the synchronous channel, fed any bytes from memory:
// reads return exactly the payloads of the Data/DataEnd messages a model
// parser keeps (id 0xFFFFFFFF, or every id in overlapped mode; no message
// was sent), in order, up to the first Error, FatalError, bad prologue or
// cut message; no read crosses the end of a reply (DataEnd), and none
// moves more than it was asked for.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "transport/hislip/hislip_link.h"

namespace {

struct Feed {
  std::string bytes;
  size_t at = 0;
  size_t piece = 1;  // receives hand over at most this much
};
Feed g_feed;

ViStatus memory_receive(HislipLink* l, HislipChannel*, uint8_t* p, size_t n, const HislipDeadline&, bool,
                        size_t* got) {
  *got = 0;
  if (g_feed.at >= g_feed.bytes.size()) {
    l->dead = true;  // as a peer that closed
    return VI_ERROR_CONN_LOST;
  }
  size_t k = std::min({n, g_feed.piece, g_feed.bytes.size() - g_feed.at});
  memcpy(p, g_feed.bytes.data() + g_feed.at, k);
  g_feed.at += k;
  *got = k;
  return VI_SUCCESS;
}

uint64_t be(const std::string& s, size_t at, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | (uint8_t)s[at + (size_t)i];
  return v;
}

// What the reader must deliver, and where replies end in it.
void model(const std::string& s, bool overlapped, std::string* kept, std::vector<size_t>* ends) {
  size_t at = 0;
  while (s.size() - at >= VX_HISLIP_HEADER_SIZE) {
    if (s[at] != 'H' || s[at + 1] != 'S') return;
    const uint8_t type = (uint8_t)s[at + 2];
    const uint32_t id = (uint32_t)be(s, at + 4, 4);
    const uint64_t length = be(s, at + 8, 8);
    at += VX_HISLIP_HEADER_SIZE;
    if (type == HISLIP_ERROR || type == HISLIP_FATAL_ERROR) return;
    const size_t have = (size_t)std::min<uint64_t>(length, s.size() - at);
    const bool data = type == HISLIP_DATA || type == HISLIP_DATA_END;
    if (data && (overlapped || id == VX_HISLIP_UNKNOWN_MESSAGE_ID)) {
      kept->append(s, at, have);
      if (type == HISLIP_DATA_END && have == length) ends->push_back(kept->size());
    }
    if (have < length) return;
    at += have;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx_fuzz_init();
  FuzzedDataProvider in(data, size);
  const bool overlapped = in.ConsumeBool();
  g_feed.piece = in.ConsumeIntegralInRange<size_t>(1, 70000);
  std::vector<size_t> counts;
  for (int i = 0; i < 3; ++i) counts.push_back(in.ConsumeIntegralInRange<size_t>(1, 100000));
  g_feed.bytes = in.ConsumeRemainingBytesAsString();
  g_feed.at = 0;

  HislipLink* l = vx_hislip_new_link();
  if (!l) return 0;
  l->receive = memory_receive;
  l->overlapped = overlapped;
  std::string kept;
  std::vector<size_t> ends;
  model(g_feed.bytes, overlapped, &kept, &ends);
  std::string got;
  std::vector<uint8_t> buf;
  // Every read takes at least one byte of the feed, or ends the loop.
  for (size_t k = 0; k <= g_feed.bytes.size() + 1; ++k) {
    const size_t count = counts[k % counts.size()];
    buf.assign(count + 1, 0xA5);
    size_t moved = 0;
    ViStatus s = vx_hislip_read(l, buf.data(), count, &moved);
    VX_FUZZ_CHECK(moved <= count && buf[count] == 0xA5);
    VX_FUZZ_CHECK(s != VI_SUCCESS || moved >= 1);
    for (size_t e : ends) VX_FUZZ_CHECK(!(got.size() < e && e < got.size() + moved));
    got.append((const char*)buf.data(), moved);
    if (s != VI_SUCCESS) break;
  }
  vx_hislip_free_link(l);
  VX_FUZZ_CHECK(got == kept);
  return 0;
}
