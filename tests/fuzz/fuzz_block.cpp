// Block headers in both forms and the data pieces, over arbitrary splits:
// the size reported is the one a reference parser finds, and the data
// delivered piece by piece is exactly the bytes after the header.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "fake_transport.h"
#include "fuzz_util.h"

namespace {

// 1: a valid header of `size` taking `len` bytes; 0: malformed or short.
int reference_header(const std::string& s, int64_t* size, size_t* len) {
  if (s.empty()) return 0;
  if (s[0] == '#') {
    if (s.size() < 2 || s[1] < '1' || s[1] > '9') return 0;
    size_t d = (size_t)(s[1] - '0');
    if (s.size() < 2 + d) return 0;
    size_t i = 2, end = 2 + d;
    while (i < end && (s[i] == ' ' || s[i] == '\t')) ++i;
    bool negative = false;
    if (i < end && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    int64_t v = 0;
    while (i < end && s[i] >= '0' && s[i] <= '9') v = v * 10 + (s[i++] - '0');
    *size = negative ? -v : v;
    *len = end;
    return *size >= 0;
  }
  if (s[0] == '\0') {
    if (s.size() < 8 || s[1] || s[2] || s[3]) return 0;
    uint32_t bits = 0;
    for (int k = 0; k < 4; ++k) bits |= (uint32_t)(uint8_t)s[4 + k] << (8 * k);
    *size = bits > 0x7FFFFFFFu ? (int64_t)bits - 0x100000000LL : (int64_t)bits;
    *len = 8;
    return *size >= 0;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx_fuzz_init();
  FuzzedDataProvider in(data, size);
  std::vector<size_t> splits(in.ConsumeIntegralInRange<size_t>(1, 8));
  for (size_t& s : splits) s = in.ConsumeIntegralInRange<size_t>(1, 40);
  std::vector<ViInt32> counts(in.ConsumeIntegralInRange<size_t>(1, 8));
  for (ViInt32& c : counts) c = in.ConsumeIntegralInRange<ViInt32>(-1, 100);
  std::string stream = in.ConsumeRemainingBytesAsString();

  FakeLink fake;
  vx_fuzz_script(fake, stream, splits);
  ViInt32 id = fake_attach(&fake);

  int64_t want = 0;
  size_t headerLen = 0;
  int valid = reference_header(stream, &want, &headerLen);
  ViInt32 got = -1;
  ViStatus s = vx_comm_readBlockSize(id, nullptr, &got);
  VX_FUZZ_CHECK((s == VI_SUCCESS) == (valid == 1));
  if (s == VI_SUCCESS) {
    VX_FUZZ_CHECK(got == want);
    std::string body;
    std::vector<char> buf(128);
    for (size_t call = 0; call < stream.size() + 4; ++call) {
      ViInt32 count = counts[call % counts.size()];
      ViInt32 n = -1;
      s = vx_comm_readBlockData(id, buf.data(), count, &n);
      if (s < VI_SUCCESS) break;
      VX_FUZZ_CHECK(n >= 0 && n <= (count > 0 ? count : 0));
      body.append(buf.data(), (size_t)n);
      if (s == VI_SUCCESS) break;
      VX_FUZZ_CHECK(s == VI_SUCCESS_MAX_CNT);
    }
    size_t available = stream.size() - headerLen;
    VX_FUZZ_CHECK(body.size() <= (size_t)want);
    VX_FUZZ_CHECK(body == stream.substr(headerLen, body.size()));
    if (s == VI_SUCCESS) VX_FUZZ_CHECK(body.size() == (size_t)want);
    if (available >= (size_t)want && s < VI_SUCCESS) VX_FUZZ_CHECK(false);  // all data was there
  } else {
    VX_FUZZ_CHECK(slot_of(id)->blockSize == 0);  // no block in progress after a failed header
  }
  vx_comm_close(id);
  return 0;
}
