// The USB search's identification reply, over the fake driver with one
// device that passes its clear: the reply arrives in pieces from the input,
// trimmed to min(140, TransferSize + 12); a device is listed exactly when
// its write, request and read went through and the reply is a
// DEV_DEP_MSG_IN (any other MsgID is not the identification), with its second
// comma-separated field (at most 31 characters) as the model, the path's
// serial segment as the serial, and only if the whole entry fits.
#include <fuzzer/FuzzedDataProvider.h>
#include <sched.h>
#include <sys/mount.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "fake_usb_driver.h"
#include "find/find.h"
#include "fuzz_util.h"

namespace {

// Each device path with the serial it carries: the segment after the first
// '#' behind "vid_", up to the next '#'; none without that '#' or when
// longer than 31 characters.
struct PathCase {
  const char* path;
  const char* serial;
};
const PathCase kPaths[] = {
    {"\\\\?\\usb#vid_03eb&pid_afff#000000000000001234#{a9fdbb24-128a-11d5-9961-00108335e361}",
     "000000000000001234"},
    {"\\\\?\\usb#vid_03eb&pid_afff#0123456789012345678901234567890#{a9fdbb24}",
     "0123456789012345678901234567890"},                                          // 31 characters
    {"\\\\?\\usb#vid_03eb&pid_afff#01234567890123456789012345678901#{a9fdbb24}", ""},  // 32: too long
    {"\\\\?\\usb#vid_03eb&pid_afff#NOCLOSINGHASH", ""},
    {"\\\\?\\usb#pid_afff#NOVID#x", ""},
    {"\\\\?\\usb#vid_03eb&pid_afff##{a9fdbb24}", ""},
    {"\\\\?\\usb#vid_03eb&pid_afff#A:B;C,D#{a9fdbb24}", "A:B;C,D"},
};
const size_t kReplyWanted = VX_USB_HEADER + 128;
const char kUntouched = '\x7f';

struct Piece {
  FakeUsbAnswer::How how;
  std::vector<uint8_t> data;
};

struct Device {
  std::deque<Piece> reply;
  FakeUsbAnswer::How writeHow = FakeUsbAnswer::DONE, requestHow = FakeUsbAnswer::DONE;
  bool identifying = false;  // the "*IDN?" went out
  bool writeOk = false, requestOk = false, readsOk = true;
  bool echoNext = false;
  std::vector<uint8_t> check;
  std::vector<uint8_t> arrived;
  bool oversized = false;  // a read asked for more than the reply area's rest

  FakeUsbAnswer answer(const FakeUsbOp& op) {
    FakeUsbAnswer a;
    if (!identifying) return clear_answer(op);
    if (op.kind == VXP_USB_BULK_OUT) {
      // The request for the reply: 1012 bytes.
      bool isRequest = op.in.size() == VX_USB_HEADER && op.in[0] == VX_USBTMC_REQUEST_DEV_DEP_MSG_IN &&
                       vx_get_le32(op.in.data() + 4) == VX_USB_MAX_PAYLOAD;
      a.how = isRequest ? requestHow : FakeUsbAnswer::FAIL;
      requestOk = a.how == FakeUsbAnswer::DONE;
      return a;
    }
    if (op.kind != VXP_USB_BULK_IN) return a;
    if (arrived.size() + op.outLength > kReplyWanted) oversized = true;
    if (reply.empty()) {
      a.how = FakeUsbAnswer::FAIL;
    } else {
      a.how = reply.front().how;
      a.data = reply.front().data;
      reply.pop_front();
    }
    if (a.how != FakeUsbAnswer::DONE) {
      readsOk = false;
      return a;
    }
    size_t n = std::min<size_t>(a.data.size(), op.outLength);
    arrived.insert(arrived.end(), a.data.begin(), a.data.begin() + n);
    return a;
  }

  // Until the identification: a device whose clear and echo go through.
  FakeUsbAnswer clear_answer(const FakeUsbOp& op) {
    FakeUsbAnswer a;
    if (op.kind == VXP_USB_IOCTL) {
      a.data = {1, 0};  // CHECK_CLEAR_STATUS: success, not pending
    } else if (op.kind == VXP_USB_BULK_OUT && op.in.size() >= VX_USB_HEADER) {
      uint8_t id = op.in[0];
      if (id == VX_USBTMC_VENDOR_SPECIFIC_OUT) check.assign(op.in.begin() + VX_USB_HEADER, op.in.end());
      if (id == VX_USBTMC_REQUEST_VENDOR_SPECIFIC_IN) echoNext = true;
      if (id == VX_USBTMC_DEV_DEP_MSG_OUT) {
        std::string sent(op.in.begin() + VX_USB_HEADER, op.in.begin() + VX_USB_HEADER + 6);
        identifying = sent == "*IDN?\n" && vx_get_le32(op.in.data() + 4) == 6;
        a.how = writeHow;
        writeOk = identifying && a.how == FakeUsbAnswer::DONE;
      }
    } else if (op.kind == VXP_USB_BULK_IN) {
      if (echoNext) {
        a.data = usb_header(VX_USBTMC_VENDOR_SPECIFIC_OUT, 0, 4, 0);
        a.data.insert(a.data.end(), check.begin(), check.end());
      } else {
        a.how = FakeUsbAnswer::FAIL;  // the drain finds nothing
      }
      echoNext = false;
    }
    return a;
  }
};

FakeUsbAnswer::How how_of(uint8_t b) {
  return b < 210 ? FakeUsbAnswer::DONE : b < 235 ? FakeUsbAnswer::FAIL : FakeUsbAnswer::PENDING;
}

}  // namespace

// Device reservations live in /run/lock: give the run a private one where
// the system allows it, so the paths above never meet another process's.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
    mount("tmpfs", "/run/lock", "tmpfs", 0, "mode=1777");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx_fuzz_init();
  FuzzedDataProvider in(data, size);
  const PathCase& device = kPaths[in.ConsumeIntegralInRange<size_t>(0, sizeof kPaths / sizeof kPaths[0] - 1)];
  const std::string path = device.path;
  const int capacity = in.ConsumeIntegralInRange<int>(1, 200);
  Device dev;
  dev.writeHow = how_of(in.ConsumeIntegral<uint8_t>());
  dev.requestHow = how_of(in.ConsumeIntegral<uint8_t>());
  while (in.remaining_bytes() > 0) {
    Piece p;
    p.how = how_of(in.ConsumeIntegral<uint8_t>());
    p.data = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 160));
    dev.reply.push_back(std::move(p));
  }

  FakeUsbDriver fake;
  fake.paths = {path};
  fake.respond = [&](const FakeUsbOp& op) { return dev.answer(op); };
  std::vector<char> text((size_t)capacity + 16, kUntouched);
  int length = -1;
  ViStatus s = vx_usbdev_scan(text.data(), 1000, capacity, &length);
  VX_FUZZ_CHECK(!dev.oversized);

  // The model of the reply.
  size_t wanted = kReplyWanted;
  if (dev.arrived.size() >= VX_USB_HEADER)
    wanted = std::min<uint64_t>(wanted, (uint64_t)vx_get_le32(dev.arrived.data() + 4) + VX_USB_HEADER);
  bool isReply = dev.arrived.size() >= VX_USB_HEADER && dev.arrived[0] == VX_USBTMC_DEV_DEP_MSG_IN;
  bool answered = dev.writeOk && dev.requestOk && dev.readsOk && isReply && dev.arrived.size() >= wanted;
  std::string entry;
  if (answered) {
    size_t payload = wanted - VX_USB_HEADER;
    if (payload >= 128) payload = 0;
    std::string reply;
    for (size_t i = 0; i < payload; ++i) reply += (char)dev.arrived[VX_USB_HEADER + i];
    reply = reply.c_str();  // text up to its first NUL
    std::string model;
    size_t first = reply.find(','), second = first == std::string::npos ? first : reply.find(',', first + 1);
    if (second != std::string::npos) model = reply.substr(first + 1, std::min<size_t>(second - first - 1, 31));
    std::string serial = device.serial;
    entry = vx_fuzz_field(model) + ":" + vx_fuzz_field(serial) + ":USB-" + serial + ";";
  }
  bool fits = entry.size() + 1 <= (size_t)capacity;
  std::string want = fits ? entry : "";
  VX_FUZZ_CHECK(s == (entry.empty() || fits ? VI_SUCCESS : VI_SUCCESS_MAX_CNT));
  VX_FUZZ_CHECK(length == (int)want.size());
  VX_FUZZ_CHECK(memcmp(text.data(), want.c_str(), want.size() + 1) == 0);
  for (size_t i = (size_t)capacity; i < text.size(); ++i) VX_FUZZ_CHECK(text[i] == kUntouched);
  return 0;
}
