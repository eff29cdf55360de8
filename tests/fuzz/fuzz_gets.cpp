// Line assembly: vx_comm_gets over arbitrary transport splits and buffer
// sizes, checked against the stream. Every byte the transport handed over
// is either delivered, in order, or waiting in the PendingLine; none is lost,
// duplicated or reordered; and a call hands back one line at most (no line
// feed or NUL before its last byte).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "fake_transport.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx_fuzz_init();
  FuzzedDataProvider in(data, size);
  std::vector<size_t> splits(in.ConsumeIntegralInRange<size_t>(1, 16));
  for (size_t& s : splits) s = in.ConsumeIntegralInRange<size_t>(1, 80);
  std::vector<ViInt32> counts(in.ConsumeIntegralInRange<size_t>(1, 16));
  for (ViInt32& c : counts) c = in.ConsumeIntegralInRange<ViInt32>(-2, 200);
  std::string stream = in.ConsumeRemainingBytesAsString();

  FakeLink fake;
  vx_fuzz_script(fake, stream, splits);
  ViInt32 id = fake_attach(&fake);
  LinkSlot* slot = slot_of(id);

  size_t delivered = 0;
  std::vector<char> buf(256);
  for (size_t call = 0; call < 4 * stream.size() + 8; ++call) {
    ViInt32 count = counts[call % counts.size()];
    ViInt32 got = -1;
    ViStatus s = vx_comm_gets(id, buf.data(), count, &got);
    if (s != VI_SUCCESS) break;  // the stream ran out: a failed read drops its partial line
    // The text is always terminated inside buf: by a NUL after it, or by
    // the NUL byte from the stream that ended the line in the last place.
    VX_FUZZ_CHECK(got >= 0 && got <= (count > 0 ? count : 0));
    if (count > 0) VX_FUZZ_CHECK(got < count ? buf[(size_t)got] == '\0' : buf[(size_t)got - 1] == '\0');
    VX_FUZZ_CHECK(delivered + (size_t)got <= stream.size());
    VX_FUZZ_CHECK(memcmp(buf.data(), stream.data() + delivered, (size_t)got) == 0);
    for (ViInt32 i = 0; i + 1 < got; ++i) VX_FUZZ_CHECK(buf[(size_t)i] != '\n' && buf[(size_t)i] != '\0');
    delivered += (size_t)got;

    size_t consumed = fake.served;
    VX_FUZZ_CHECK(slot->pendingLength >= 0);
    VX_FUZZ_CHECK((slot->pendingData == nullptr) == (slot->pendingLength == 0));
    VX_FUZZ_CHECK(delivered + (size_t)slot->pendingLength == consumed);
    if (slot->pendingLength > 0)
      VX_FUZZ_CHECK(memcmp(slot->pendingData, stream.data() + delivered, (size_t)slot->pendingLength) == 0);
    if (delivered == stream.size()) break;
  }
  vx_comm_close(id);
  return 0;
}
