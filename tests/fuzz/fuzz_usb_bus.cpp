// The Linux bus client's reading of the service's frames, on bytes in
// memory: LIST replies (count and NUL-ended paths) and the completions of a
// series of transfers, fed in arbitrary pieces as a socket would. Checked
// against a reference reading of the whole stream: each transfer is
// completed by the first whole frame with its id, with exactly
// min(count, data carried) bytes and never more than its buffer; other ids
// are dropped; a length over the limit, below 12 or data beyond the buffer
// ends the connection; nothing is lost, repeated or reordered. DESCRIBE
// replies: each record taken as a plain reference reads it, none past a
// cut, none with a field too wide for its member, never a read past the body.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "platform/posix/usb_bus_frames.h"
#include "platform/usb_driver.h"

namespace {

const size_t kRxSize = 4 + VXP_USB_BUS_MAX_BODY;
const uint8_t kUntouched = 0xA5;

uint32_t get32(const std::string& s, size_t at) {
  return (uint32_t)(uint8_t)s[at] | (uint32_t)(uint8_t)s[at + 1] << 8 | (uint32_t)(uint8_t)s[at + 2] << 16 |
         (uint32_t)(uint8_t)s[at + 3] << 24;
}

struct Listed {
  std::vector<std::string> paths;
  size_t stopAfter;
};

bool take_path(void* ctx, const char* path) {
  Listed* l = static_cast<Listed*>(ctx);
  l->paths.push_back(path);
  return l->paths.size() < l->stopAfter;
}

void fuzz_list(FuzzedDataProvider& in) {
  Listed got;
  got.stopAfter = in.ConsumeIntegralInRange<size_t>(1, 20);
  const std::string body = in.ConsumeRemainingBytesAsString();
  // Exactly the size of the body, so a read past it is caught.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[body.size() + 1]);
  memcpy(copy.get(), body.data(), body.size());
  vxp_usb_bus_list_paths(copy.get(), body.size(), take_path, &got);

  std::vector<std::string> want;
  if (body.size() >= 4) {
    uint32_t count = get32(body, 0);
    size_t at = 4;
    for (uint32_t i = 0; i < count && want.size() < got.stopAfter; ++i) {
      size_t end = body.find('\0', at);
      if (end == std::string::npos) break;
      want.push_back(body.substr(at, end - at));
      at = end + 1;
    }
  }
  VX_FUZZ_CHECK(got.paths == want);
}

struct Described {
  std::vector<std::string> records;  // every field, printed
  size_t stopAfter;
};

std::string print_record(const std::string& path, const uint32_t* f, const std::string& m, const std::string& p,
                         const std::string& s) {
  std::string out = path + "|";
  for (int k = 0; k < 12; ++k) out += std::to_string(f[k]) + ",";
  return out + "|" + m + "|" + p + "|" + s;
}

bool take_record(void* ctx, const vxp_usb_info* i) {
  Described* d = static_cast<Described*>(ctx);
  const uint32_t f[12] = {i->vendor,  i->product, i->bcdDevice,     i->interfaceNumber, i->protocol,        i->bulkOut,
                          i->bulkIn,  i->interruptIn, i->bulkOutPacket, i->bulkInPacket,    i->interruptPacket, i->speed};
  d->records.push_back(print_record(i->path, f, i->manufacturer, i->productName, i->serial));
  return d->records.size() < d->stopAfter;
}

void fuzz_describe(FuzzedDataProvider& in) {
  Described got;
  got.stopAfter = in.ConsumeIntegralInRange<size_t>(1, 20);
  const std::string body = in.ConsumeRemainingBytesAsString();
  std::unique_ptr<uint8_t[]> copy(new uint8_t[body.size() + 1]);
  memcpy(copy.get(), body.data(), body.size());
  vxp_usb_bus_describe_records(copy.get(), body.size(), take_record, &got);

  std::vector<std::string> want;
  if (body.size() >= 4) {
    const uint32_t count = get32(body, 0);
    const uint32_t widest[12] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFF};
    size_t at = 4;
    auto text = [&](std::string* t) {
      size_t end = body.find('\0', at);
      if (at > body.size() || end == std::string::npos) return false;
      *t = body.substr(at, end - at);
      at = end + 1;
      return true;
    };
    for (uint32_t r = 0; r < count && want.size() < got.stopAfter; ++r) {
      std::string path, m, p, s;
      if (!text(&path) || body.size() - at < 48) break;
      uint32_t f[12];
      bool fits = true;
      for (int k = 0; k < 12; ++k) {
        f[k] = get32(body, at + 4 * (size_t)k);
        fits = fits && f[k] <= widest[k];
      }
      at += 48;
      if (!text(&m) || !text(&p) || !text(&s)) break;
      if (fits) want.push_back(print_record(path, f, m, p, s));
    }
  }
  VX_FUZZ_CHECK(got.records == want);
}

struct Transfer {
  uint32_t kind, id, outLength, inLength;
  bool keepData;
};

void fuzz_transfers(FuzzedDataProvider& in) {
  std::vector<Transfer> transfers(in.ConsumeIntegralInRange<size_t>(1, 8));
  const uint32_t kinds[] = {VXP_USB_BUS_BULK_OUT, VXP_USB_BUS_BULK_IN, VXP_USB_BUS_IOCTL, VXP_USB_BUS_INTERRUPT_IN};
  for (Transfer& t : transfers) {
    t.kind = kinds[in.ConsumeIntegralInRange<int>(0, 3)];
    t.id = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(1, 4) : in.ConsumeIntegral<uint32_t>();
    t.outLength = t.kind == VXP_USB_BUS_BULK_OUT ? 0 : in.ConsumeIntegralInRange<uint32_t>(0, 300);
    t.inLength = t.kind == VXP_USB_BUS_BULK_IN || t.kind == VXP_USB_BUS_INTERRUPT_IN ? 0 : in.ConsumeIntegralInRange<uint32_t>(0, 2000);
    t.keepData = in.ConsumeIntegralInRange<int>(0, 7) != 0;
  }
  std::vector<size_t> pieces(in.ConsumeIntegralInRange<size_t>(1, 8));
  for (size_t& p : pieces) p = in.ConsumeIntegralInRange<size_t>(1, 300);
  const std::string stream = in.ConsumeRemainingBytesAsString();

  std::unique_ptr<uint8_t[]> rx(new uint8_t[kRxSize]);
  size_t rxHave = 0, fed = 0, piece = 0;
  size_t at = 0;  // the reference's position in the stream
  bool gone = false, refGone = false;

  for (const Transfer& plan : transfers) {
    if (gone) break;
    std::vector<uint8_t> out(plan.outLength + 1, kUntouched);  // one guard byte behind
    vxp_usb_bus_transfer t = {VXP_USB_BUS_PENDING, plan.id, plan.kind, out.data(), plan.outLength,
                              plan.inLength, false, 0};
    // The pump, without the socket.
    while (t.state == VXP_USB_BUS_PENDING) {
      int r = vxp_usb_bus_take_frame(&t, rx.get(), &rxHave, plan.keepData);
      VX_FUZZ_CHECK(r >= -1 && r <= 1 && rxHave <= kRxSize);
      if (r < 0) {
        gone = true;
        t.state = VXP_USB_BUS_DONE;
        t.ok = false;
        t.bytes = 0;
        break;
      }
      if (r > 0) continue;
      VX_FUZZ_CHECK(rxHave < kRxSize);  // a whole frame always fits
      if (fed == stream.size()) break;  // nothing more comes: still pending
      size_t n = std::min({pieces[piece++ % pieces.size()], stream.size() - fed, kRxSize - rxHave});
      memcpy(rx.get() + rxHave, stream.data() + fed, n);
      rxHave += n;
      fed += n;
    }

    // The reference: frames in order from `at`.
    bool done = false, ok = false;
    uint32_t bytes = 0;
    std::string data;
    while (!refGone && !done && stream.size() - at >= 4) {
      uint32_t n = get32(stream, at);
      if (n > VXP_USB_BUS_MAX_BODY || n < 12) {
        refGone = true;
        break;
      }
      if (stream.size() - at - 4 < n) break;  // never whole
      uint32_t id = get32(stream, at + 4), result = get32(stream, at + 8), count = get32(stream, at + 12);
      if (id == plan.id) {
        uint32_t take = std::min(count, n - 12);
        if (plan.kind != VXP_USB_BUS_BULK_OUT && take > plan.outLength) {
          refGone = true;
          break;
        }
        done = true;
        ok = plan.keepData && result == 0;
        if (ok && plan.kind == VXP_USB_BUS_BULK_OUT) bytes = std::min(count, plan.inLength);
        if (ok && plan.kind != VXP_USB_BUS_BULK_OUT) {
          bytes = take;
          data = stream.substr(at + 16, take);
        }
      }
      at += 4 + (size_t)n;
    }
    VX_FUZZ_CHECK(gone == refGone);
    if (!refGone) VX_FUZZ_CHECK((t.state == VXP_USB_BUS_DONE) == done);
    VX_FUZZ_CHECK(t.ok == ok && t.bytes == bytes);
    VX_FUZZ_CHECK(memcmp(out.data(), data.data(), data.size()) == 0);
    for (size_t i = data.size(); i < out.size(); ++i) VX_FUZZ_CHECK(out[i] == kUntouched);
    if (!done && !refGone) break;  // still pending: the connection waits here
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      fuzz_list(in);
      break;
    case 1:
      fuzz_transfers(in);
      break;
    default:
      fuzz_describe(in);
  }
  return 0;
}
