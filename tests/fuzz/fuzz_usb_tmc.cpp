// Other makers' USBTMC replies over the fake driver: a series of transport
// reads (vx_usbtmc_read) against bulk-in transfers of any content, in any
// pieces, with the quirks on or off. Each read succeeds with 1..count
// bytes or times out with none, writes nothing past what it reports, hands
// out only bytes that arrived, in their order; every request is a valid
// REQUEST_DEV_DEP_MSG_IN with a tag that is not 0 and a size of 1..count;
// no bulk in asks more than the bus's frame carries; the spare stays
// within its buffer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <deque>
#include <vector>

#include "fake_usb_driver.h"
#include "fuzz_util.h"
#include "transport/usb/usb_quirks.h"

namespace {

const uint8_t kUntouched = 0xA5;

struct Device {
  std::deque<FakeUsbAnswer> script;
  std::vector<uint8_t> arrived;
  FakeUsbAnswer answer(const FakeUsbOp& op) {
    FakeUsbAnswer a;
    if (op.kind == VXP_USB_IOCTL) {
      a.data = {1, 0, 0, 0, 0, 0, 0, 0};  // every control request succeeds
      return a;
    }
    if (op.kind != VXP_USB_BULK_IN) return a;
    VX_FUZZ_CHECK(op.outLength >= 1 && op.outLength <= VX_USB_TMC_MAX_IN);
    if (script.empty()) {
      a.how = FakeUsbAnswer::PENDING;
      return a;
    }
    a = script.front();
    script.pop_front();
    if (a.how == FakeUsbAnswer::DONE) {
      size_t n = a.data.size() < op.outLength ? a.data.size() : op.outLength;
      arrived.insert(arrived.end(), a.data.begin(), a.data.begin() + n);
    }
    return a;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx_fuzz_init();
  FuzzedDataProvider in(data, size);
  const uint16_t products[] = {0x1798, 0x0588, 0x04CE};
  const uint16_t product = products[in.ConsumeIntegralInRange<int>(0, 2)];
  const uint16_t packet = in.ConsumeBool() ? 64 : 512;
  std::vector<int32_t> counts(in.ConsumeIntegralInRange<size_t>(1, 6));
  for (int32_t& c : counts) c = in.ConsumeIntegralInRange<int32_t>(1, 3000);
  Device dev;
  while (in.remaining_bytes() > 0) {
    FakeUsbAnswer a;
    uint8_t how = in.ConsumeIntegral<uint8_t>();
    a.how = how < 220 ? FakeUsbAnswer::DONE : how < 240 ? FakeUsbAnswer::FAIL : FakeUsbAnswer::PENDING;
    if (how < 60 && in.remaining_bytes() >= 5) {
      // A header of a DEV_DEP_MSG_IN with a tag and size of the input's.
      uint8_t tag = in.ConsumeIntegral<uint8_t>();
      uint32_t n = in.ConsumeIntegralInRange<uint32_t>(0, 5000);
      a.data = usb_header(2, tag, n, in.ConsumeIntegral<uint8_t>() & 1);
    }
    std::vector<uint8_t> more = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 1100));
    a.data.insert(a.data.end(), more.begin(), more.end());
    dev.script.push_back(std::move(a));
  }

  FakeUsbDriver fake;
  fake.respond = [&](const FakeUsbOp& op) { return dev.answer(op); };
  UsbDevice d;
  fake.attach(&d);
  d.tmc = true;
  d.tmcIf.vendor = 0x1AB1;
  d.tmcIf.product = product;
  d.tmcIf.quirks = vx_usb_quirks(product == 0x1798 ? 0x0957 : 0x1AB1, product);
  d.tmcIf.bulkOut = 0x01;
  d.tmcIf.bulkIn = 0x82;
  d.tmcIf.bulkOutPacket = packet;
  d.tmcIf.bulkInPacket = packet;
  std::vector<uint8_t> buffer(2 * VX_USB_TMC_BUFFER);
  d.tmcBuffer = buffer.data();

  std::vector<uint8_t> delivered;
  for (int32_t count : counts) {
    std::vector<uint8_t> dest((size_t)count + 16, kUntouched);
    ViInt32 got = -1;
    ViStatus s = vx_usbtmc_read(&d, dest.data(), count, &got);
    VX_FUZZ_CHECK(s == VI_SUCCESS || s == VI_ERROR_TMO);
    VX_FUZZ_CHECK(s == VI_SUCCESS ? got >= 1 && got <= count : got == 0);
    for (size_t i = (size_t)got; i < dest.size(); ++i) VX_FUZZ_CHECK(dest[i] == kUntouched);
    delivered.insert(delivered.end(), dest.begin(), dest.begin() + got);
    VX_FUZZ_CHECK((uint64_t)d.spareAt + d.spareLength <= VX_USB_TMC_BUFFER);
  }
  d.tmcBuffer = nullptr;

  // Delivered bytes are a subsequence of what arrived.
  size_t at = 0;
  for (uint8_t b : delivered) {
    while (at < dev.arrived.size() && dev.arrived[at] != b) ++at;
    VX_FUZZ_CHECK(at < dev.arrived.size());
    ++at;
  }
  for (const FakeUsbOp& op : fake.ops()) {
    if (op.kind != VXP_USB_BULK_OUT) continue;
    VX_FUZZ_CHECK(op.in.size() == VX_USB_HEADER && op.in[0] == VX_USBTMC_REQUEST_DEV_DEP_MSG_IN);
    VX_FUZZ_CHECK(op.in[1] != 0 && op.in[2] == (uint8_t)~op.in[1]);
    const uint32_t asked = vx_get_le32(op.in.data() + 4);
    VX_FUZZ_CHECK(asked >= 1 && asked <= 3000);
  }
  return 0;
}
