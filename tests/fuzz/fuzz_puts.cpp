// vx_comm_puts: the command measured up to its first LF (kept), NUL or CR
// (dropped), never past `count` when it is positive, never past the buffer;
// a line feed added when the command has none; every byte written once.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "fake_transport.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx_fuzz_init();
  FuzzedDataProvider in(data, size);
  ViInt32 count = in.ConsumeIntegralInRange<ViInt32>(-3, 300);
  size_t chunk = in.ConsumeIntegralInRange<size_t>(0, 7);
  std::string cmd = in.ConsumeRemainingBytesAsString();

  // The buffer ends where the caller's text ends: with a positive count
  // and no line end inside, nothing past `count` bytes may be read, so the
  // buffer is exactly that long (ASan catches a read past it).
  bool bounded = count >= 1 && (size_t)count <= cmd.size();
  size_t room = bounded ? (size_t)count : cmd.size() + 1;
  std::vector<char> buf(room);
  memcpy(buf.data(), cmd.data(), std::min(room, cmd.size()));
  if (!bounded) buf[cmd.size()] = '\0';

  size_t len = 0, limit = bounded ? (size_t)count : cmd.size() + 1;
  std::string want;
  while (len < limit) {
    char c = buf[len];
    if (c == '\n') {
      ++len;
      break;
    }
    if (c == '\0' || c == '\r') break;
    ++len;
  }
  want.assign(buf.data(), len);
  if (len >= 1 && want.back() != '\n') want += '\n';

  FakeLink fake;
  fake.writeChunk = chunk;
  ViInt32 id = fake_attach(&fake);
  ViInt32 sent = -1;
  VX_FUZZ_CHECK(vx_comm_puts(id, buf.data(), count, &sent) == VI_SUCCESS);
  VX_FUZZ_CHECK(fake.written() == want);
  VX_FUZZ_CHECK(sent == (ViInt32)want.size());
  vx_comm_close(id);
  return 0;
}
