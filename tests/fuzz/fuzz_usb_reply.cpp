// USB responses over the fake driver: the TransferSize trim of a message
// read (vx_usbdev_readIn, in as many bulk reads as it takes), of a vendor
// reply (vx_usbdev_readVendorIn, one bulk read) and the transport's read.
// The payload delivered is exactly the bytes that arrived after the header,
// zeros where nothing arrived, cut to min(TransferSize, asked, 1012), and
// nothing is written behind it; a message of another kind fails the read.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <deque>
#include <vector>

#include "fake_usb_driver.h"
#include "fuzz_util.h"

namespace {

const uint8_t kUntouched = 0xA5;
const size_t kDest = VX_USB_MAX_MESSAGE + 64;

struct Step {
  FakeUsbAnswer::How how;
  std::vector<uint8_t> data;
};

// The device side: answers bulk reads from the script (a failure once it
// runs out) and records what each read handed over.
struct Device {
  std::deque<Step> script;
  std::vector<uint8_t> arrived;  // bytes of successful reads, in order
  bool allOk = true;             // no read failed or stayed pending
  size_t reads = 0;

  FakeUsbAnswer answer(const FakeUsbOp& op) {
    FakeUsbAnswer a;
    if (op.kind != VXP_USB_BULK_IN) return a;  // requests go through
    ++reads;
    if (script.empty()) {
      a.how = FakeUsbAnswer::FAIL;
    } else {
      a.how = script.front().how;
      a.data = script.front().data;
      script.pop_front();
    }
    if (a.how != FakeUsbAnswer::DONE) {
      allOk = false;
      return a;
    }
    size_t n = a.data.size() < op.outLength ? a.data.size() : op.outLength;
    arrived.insert(arrived.end(), a.data.begin(), a.data.begin() + n);
    return a;
  }
};

// The payload the model expects from a message of at most `limit` bytes.
size_t trimmed_payload(const std::vector<uint8_t>& arrived, size_t limit) {
  size_t length = limit;
  if (arrived.size() >= VX_USB_HEADER) {
    uint64_t size = (uint64_t)vx_get_le32(arrived.data() + 4) + VX_USB_HEADER;
    if (size < length) length = (size_t)size;
  }
  return length - VX_USB_HEADER;
}

// dest holds the payload (zeros where nothing arrived) and nothing after.
void check_payload(const std::vector<uint8_t>& dest, const std::vector<uint8_t>& arrived, size_t payload) {
  for (size_t i = 0; i < payload; ++i) {
    size_t at = VX_USB_HEADER + i;
    uint8_t want = at < arrived.size() ? arrived[at] : 0;
    VX_FUZZ_CHECK(dest[i] == want);
  }
  for (size_t i = payload; i < dest.size(); ++i) VX_FUZZ_CHECK(dest[i] == kUntouched);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx_fuzz_init();
  FuzzedDataProvider in(data, size);
  const int mode = in.ConsumeIntegralInRange<int>(0, 2);
  const int32_t asked = in.ConsumeIntegralInRange<int32_t>(-4, 1100);
  Device dev;
  while (in.remaining_bytes() > 0) {
    Step s;
    uint8_t how = in.ConsumeIntegral<uint8_t>();
    s.how = how < 200 ? FakeUsbAnswer::DONE : how < 230 ? FakeUsbAnswer::FAIL : FakeUsbAnswer::PENDING;
    s.data = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 1100));
    dev.script.push_back(std::move(s));
  }

  FakeUsbDriver fake;
  fake.respond = [&](const FakeUsbOp& op) { return dev.answer(op); };
  UsbDevice d;
  fake.attach(&d);
  std::vector<uint8_t> dest(kDest, kUntouched);
  int32_t payload = -1;

  if (mode == 0) {
    const size_t limit = (size_t)(asked < 0 ? 0 : asked) + VX_USB_HEADER;
    const size_t expected = limit < VX_USB_MAX_MESSAGE ? limit : VX_USB_MAX_MESSAGE;
    bool ok = vx_usbdev_readIn(&d, dest.data(), asked, &payload);
    // A message that is not a DEV_DEP_MSG_IN (a vendor reply that reached
    // this read first) fails the read and hands over nothing.
    const bool foreign = dev.arrived.size() >= VX_USB_HEADER && dev.arrived[0] != VX_USBTMC_DEV_DEP_MSG_IN;
    size_t want = foreign ? 0 : trimmed_payload(dev.arrived, expected);
    // Never asked for more than the message (the read that brings the
    // header may bring more than its TransferSize; those bytes are dropped).
    VX_FUZZ_CHECK(dev.arrived.size() <= expected);
    VX_FUZZ_CHECK(payload >= 0 && (size_t)payload == want);
    check_payload(dest, dev.arrived, want);
    // Success exactly when the whole trimmed message came in good reads.
    bool complete = dev.arrived.size() >= want + VX_USB_HEADER;
    VX_FUZZ_CHECK(ok == (complete && dev.allOk && !foreign));
    VX_FUZZ_CHECK(dev.reads <= dev.arrived.size() + 1);
  } else if (mode == 1) {
    bool ok = vx_usbdev_readVendorIn(&d, dest.data(), &payload);
    size_t want = trimmed_payload(dev.arrived, VX_USB_MAX_MESSAGE);
    VX_FUZZ_CHECK(dev.reads == 1);
    VX_FUZZ_CHECK(payload >= 0 && (size_t)payload == want);
    check_payload(dest, dev.arrived, want);
    VX_FUZZ_CHECK(ok == dev.allOk);
  } else {
    // The transport's read: requests and reads until one response has a
    // payload; it is handed over whole, at most min(count, 1012) bytes.
    ViInt32 got = -1;
    ViStatus s = vx_usbdev_read(&d, dest.data(), asked, &got);
    VX_FUZZ_CHECK(s == VI_SUCCESS || s == VI_ERROR_TMO);
    if (s == VI_SUCCESS) {
      int32_t most = asked < VX_USB_MAX_PAYLOAD ? asked : VX_USB_MAX_PAYLOAD;
      VX_FUZZ_CHECK(got >= 1 && got <= most);
    } else {
      VX_FUZZ_CHECK(got == 0);
    }
    for (size_t i = (size_t)(asked > 0 ? (asked < VX_USB_MAX_PAYLOAD ? asked : VX_USB_MAX_PAYLOAD) : 0);
         i < dest.size(); ++i)
      VX_FUZZ_CHECK(dest[i] == kUntouched);
    // Every request asks for min(count, 1012) and carries a fresh tag.
    uint8_t tag = 1;
    for (const FakeUsbOp& op : fake.ops()) {
      if (op.kind != VXP_USB_BULK_OUT) continue;
      VX_FUZZ_CHECK(op.in.size() == VX_USB_HEADER && op.in[0] == VX_USBTMC_REQUEST_DEV_DEP_MSG_IN);
      VX_FUZZ_CHECK(op.in[1] == tag && op.in[2] == (uint8_t)~tag);
      VX_FUZZ_CHECK(vx_get_le32(op.in.data() + 4) == (uint32_t)(asked < VX_USB_MAX_PAYLOAD ? asked : VX_USB_MAX_PAYLOAD));
      tag = tag == 255 ? 1 : (uint8_t)(tag + 1);
    }
  }
  return 0;
}
