// The device clear and its link check over a scripted device: every driver
// request, status poll, drain read and echo answer comes from the input.
// Checked against a model of the attempts: the check messages follow the
// counter, an attempt passes exactly when the echo read succeeded and the
// first four payload bytes (zeros past a short TransferSize) are the ones
// sent, the clear sequence runs only after a successful read, and the
// result is the success of the last echo read.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "fake_usb_driver.h"
#include "fuzz_util.h"

namespace {

struct Attempt {
  bool cleared = false;  // the attempt began with the clear sequence
  std::vector<uint8_t> check;
  bool readOk = false;
  std::vector<uint8_t> reply;  // what the echo read handed over
};

struct Device {
  FuzzedDataProvider* in;
  std::vector<Attempt> attempts;
  bool clearing = false;     // a PRE_CLEAR came since the last vendor message
  bool echoNext = false;     // the next bulk read is the echo read
  uint32_t ops = 0;

  FakeUsbAnswer answer(const FakeUsbOp& op) {
    FakeUsbAnswer a;
    ++ops;
    if (op.kind == VXP_USB_IOCTL && op.code == VX_IOCTL_USB_PRE_CLEAR) clearing = true;
    if (op.kind == VXP_USB_BULK_OUT && op.in.size() >= VX_USB_HEADER) {
      if (op.in[0] == VX_USBTMC_VENDOR_SPECIFIC_OUT) {
        Attempt t;
        t.cleared = clearing;
        t.check.assign(op.in.begin() + VX_USB_HEADER, op.in.end());
        attempts.push_back(t);
        clearing = false;
      }
      if (op.in[0] == VX_USBTMC_REQUEST_VENDOR_SPECIFIC_IN) echoNext = true;
    }
    bool echoRead = op.kind == VXP_USB_BULK_IN && echoNext;
    if (op.kind == VXP_USB_BULK_IN) echoNext = false;

    uint8_t how = in->remaining_bytes() ? in->ConsumeIntegral<uint8_t>() : 255;
    a.how = how < 180 ? FakeUsbAnswer::DONE : how < 230 ? FakeUsbAnswer::FAIL : FakeUsbAnswer::PENDING;
    if (a.how == FakeUsbAnswer::DONE && op.kind != VXP_USB_BULK_OUT) {
      if (echoRead && (how & 1) && !attempts.empty()) {
        // A well-formed echo with a TransferSize and fill from the input.
        const std::vector<uint8_t>& c = attempts.back().check;
        uint32_t size = in->ConsumeIntegralInRange<uint32_t>(0, 8);
        a.data = usb_header(VX_USBTMC_VENDOR_SPECIFIC_OUT, 0, size, 0);
        a.data.insert(a.data.end(), c.begin(), c.end());
        a.data.resize(a.data.size() + in->ConsumeIntegralInRange<size_t>(0, 8), 0);
      } else {
        a.data = in->ConsumeBytes<uint8_t>(in->ConsumeIntegralInRange<size_t>(0, echoRead ? 1100 : 24));
      }
    }
    if (echoRead && !attempts.empty()) {
      Attempt& t = attempts.back();
      t.readOk = a.how == FakeUsbAnswer::DONE;
      if (t.readOk) t.reply.assign(a.data.begin(), a.data.begin() + std::min<size_t>(a.data.size(), op.outLength));
    }
    return a;
  }
};

bool passes(const Attempt& t) {
  if (!t.readOk) return false;
  uint8_t payload[4] = {0, 0, 0, 0};
  size_t length = VX_USB_MAX_PAYLOAD;
  if (t.reply.size() >= VX_USB_HEADER) {
    uint64_t size = vx_get_le32(t.reply.data() + 4);
    if (size + VX_USB_HEADER < VX_USB_MAX_MESSAGE) length = (size_t)size;
  }
  for (size_t i = 0; i < 4 && i < length; ++i)
    if (VX_USB_HEADER + i < t.reply.size()) payload[i] = t.reply[VX_USB_HEADER + i];
  return memcmp(payload, t.check.data(), 4) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx_fuzz_init();
  FuzzedDataProvider in(data, size);
  const uint8_t counter = in.ConsumeIntegral<uint8_t>();
  const uint8_t tag = in.ConsumeIntegral<uint8_t>();
  Device dev;
  dev.in = &in;

  FakeUsbDriver fake;
  fake.respond = [&](const FakeUsbOp& op) { return dev.answer(op); };
  UsbDevice d;
  fake.attach(&d);
  d.checkCounter.store(counter);
  d.tag.store(tag);
  bool ok = vx_usbdev_clearAndCheck(&d);

  const std::vector<Attempt>& at = dev.attempts;
  VX_FUZZ_CHECK(!at.empty() && at.size() <= 5);
  uint8_t t = tag == 0 ? 1 : tag;
  for (size_t i = 0; i < at.size(); ++i) {
    uint8_t c = (uint8_t)(counter + i + 1);
    const uint8_t want[4] = {1, c, (uint8_t)~c, (uint8_t)(c + 100)};
    VX_FUZZ_CHECK(at[i].check.size() == 4 && memcmp(at[i].check.data(), want, 4) == 0);
    // Only the last attempt may pass; five attempts unless one did.
    VX_FUZZ_CHECK(passes(at[i]) == (i + 1 == at.size() && (at.size() < 5 || passes(at[i]))));
    // After a failed echo read the next attempt skips the clear sequence,
    // and after a successful one it runs it again.
    VX_FUZZ_CHECK(at[i].cleared == (i == 0 || at[i - 1].readOk));
    // Two tags per attempt: the vendor message and its request.
    for (int k = 0; k < 2; ++k) t = t == 255 ? 1 : (uint8_t)(t + 1);
  }
  VX_FUZZ_CHECK(ok == at.back().readOk);
  VX_FUZZ_CHECK(d.checkCounter.load() == (uint8_t)(counter + at.size()));
  VX_FUZZ_CHECK(d.tag.load() == t);
  return 0;
}
