// The direct USB device clear and link check as transcripts over the fake
// driver, and the unlocked clear racing another thread's transfers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_usb_driver.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// A USBTMC device: answers the clear requests, reports pending a set number
// of times, and echoes (or garbles, or ignores) the vendor check message.
struct TmcModel {
  enum Echo { RIGHT, WRONG, NONE } echo = RIGHT;
  int pendingPolls = 0;
  bool pendingForever = false;
  int staleMessages = 0;  // bulk in data waiting before the clear's drain
  std::mutex m;
  Bytes lastVendor;
  bool vendorAsked = false;

  FakeUsbAnswer operator()(const FakeUsbOp& op) {
    std::lock_guard<std::mutex> hold(m);
    FakeUsbAnswer a;
    if (op.kind == VXP_USB_IOCTL && op.code == VX_IOCTL_USB_CONTROL_REQUEST && op.in.size() == 24) {
      if (op.in[1] == 5) a.data = {1};
      if (op.in[1] == 6) {
        bool pending = pendingForever || pendingPolls > 0;
        if (pendingPolls > 0) --pendingPolls;
        a.data = {(uint8_t)(pending ? 2 : 1), 0};
      }
    } else if (op.kind == VXP_USB_BULK_OUT && op.in.size() >= 12) {
      if (op.in[0] == 126) lastVendor.assign(op.in.begin() + 12, op.in.end());
      if (op.in[0] == 127) vendorAsked = true;
    } else if (op.kind == VXP_USB_BULK_IN) {
      if (staleMessages > 0) {
        --staleMessages;
        a.data = usb_reply(2, "stale");
      } else if (vendorAsked && echo != NONE) {
        vendorAsked = false;
        Bytes back = lastVendor;
        if (echo == WRONG) back[3] ^= 0xFF;
        a.data = usb_reply(127, std::string(back.begin(), back.end()));
      } else {
        a.how = FakeUsbAnswer::PENDING;
      }
    }
    return a;
  }
};

// One word per operation, so that whole sequences read at a glance.
std::vector<std::string> transcript(const std::vector<FakeUsbOp>& ops) {
  std::vector<std::string> out;
  for (const FakeUsbOp& op : ops) {
    std::string w = "?";
    if (op.kind == VXP_USB_IOCTL) {
      if (op.code == VX_IOCTL_USB_PRE_CLEAR) w = "pre";
      if (op.code == VX_IOCTL_USB_POST_CLEAR) w = "post";
      if (op.code == VX_IOCTL_USB_CONTROL_REQUEST && op.in.size() == 24)
        w = op.in[1] == 5 ? "init" : op.in[1] == 6 ? "check" : op.in[1] == 1 ? "halt" : "?";
    } else if (op.kind == VXP_USB_BULK_OUT) {
      w = op.in.empty() ? "?" : op.in[0] == 126 ? "vout" : op.in[0] == 127 ? "vreq" : "out";
    } else {
      w = "in";
    }
    if (op.cancelled) w += "-cancelled";
    out.push_back(w);
  }
  return out;
}

typedef std::vector<std::string> Words;

Words concat(std::initializer_list<Words> parts) {
  Words all;
  for (const Words& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

Words repeat(const Words& w, int n) {
  Words all;
  for (int i = 0; i < n; ++i) all.insert(all.end(), w.begin(), w.end());
  return all;
}

const Words kSequenceHead = {"pre", "init", "check"};
const Words kSequenceTail = {"post", "halt", "in-cancelled"};
const Words kCheckPassed = {"vout", "vreq", "in"};
const Words kCheckUnanswered = {"vout", "vreq", "in-cancelled"};
const Words kFullAttempt = concat({kSequenceHead, kSequenceTail, kCheckPassed});

struct UsbClear : ::testing::Test {
  FakeUsbDriver driver;
  TmcModel model;
  UsbDevice d;
  void SetUp() override {
    driver.attach(&d);
    driver.respond = [this](const FakeUsbOp& op) { return model(op); };
  }
};

TEST_F(UsbClear, Transcripts) {
  struct Case {
    const char* name;
    TmcModel::Echo echo;
    int pendingPolls;
    bool pendingForever;
    int stale;
    ViStatus status;
    Words expected;
  } cases[] = {
      {"answers at once", TmcModel::RIGHT, 0, false, 0, VI_SUCCESS, kFullAttempt},
      {"pending three times",
       TmcModel::RIGHT,
       3,
       false,
       0,
       VI_SUCCESS,
       concat({kSequenceHead, repeat({"check"}, 3), kSequenceTail, kCheckPassed})},
      {"stale input drained",
       TmcModel::RIGHT,
       0,
       false,
       2,
       VI_SUCCESS,
       concat({kSequenceHead, {"post", "halt", "in", "in", "in-cancelled"}, kCheckPassed})},
      {"echo never answered",
       TmcModel::NONE,
       0,
       false,
       0,
       VI_ERROR_TMO,
       concat({kSequenceHead, kSequenceTail, kCheckUnanswered, repeat(kCheckUnanswered, 4)})},
      {"echo always wrong",
       TmcModel::WRONG,
       0,
       false,
       0,
       VI_SUCCESS,
       repeat(concat({kSequenceHead, kSequenceTail, {"vout", "vreq", "in"}}), 5)},
      {"pending for ever is given up",
       TmcModel::RIGHT,
       0,
       true,
       0,
       VI_SUCCESS,
       concat({{"pre", "init"}, repeat({"check"}, VX_USB_MAX_PENDING_POLLS), kCheckPassed})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeUsbDriver fresh;
    TmcModel dev;
    dev.echo = c.echo;
    dev.pendingPolls = c.pendingPolls;
    dev.pendingForever = c.pendingForever;
    dev.staleMessages = c.stale;
    fresh.respond = [&](const FakeUsbOp& op) { return dev(op); };
    fresh.attach(&d);
    EXPECT_EQ(c.status, vx_usbdev_clear(&d));
    EXPECT_EQ(c.expected, transcript(fresh.ops()));
  }
}

TEST_F(UsbClear, RequestsCarryTheDriversRecordsAndTheCheckMessageWraps) {
  d.checkCounter.store(255);
  EXPECT_EQ(VI_SUCCESS, vx_usbdev_clear(&d));
  std::vector<FakeUsbOp> ops = driver.ops();
  ASSERT_EQ(kFullAttempt.size(), ops.size());
  EXPECT_EQ((Bytes{4, 0, 0, 0}), ops[0].in);
  EXPECT_EQ(0u, ops[0].outLength);
  Bytes initiate(24, 0), check(24, 0), halt(24, 0);
  initiate[0] = 0xA1, initiate[1] = 5, initiate[6] = 1, initiate[16] = 1;
  check[0] = 0xA1, check[1] = 6, check[6] = 2, check[16] = 1;
  halt[0] = 0x02, halt[1] = 1;
  EXPECT_EQ(initiate, ops[1].in);
  EXPECT_EQ(1u, ops[1].outLength);
  EXPECT_EQ(check, ops[2].in);
  EXPECT_EQ(2u, ops[2].outLength);
  EXPECT_EQ((Bytes{4, 0, 0, 0}), ops[3].in);
  EXPECT_EQ(halt, ops[4].in);
  EXPECT_EQ(0u, ops[4].outLength);
  Bytes vendor = usb_header(126, 1, 4, 0);
  for (uint8_t b : {0x01, 0x00, 0xFF, 0x64}) vendor.push_back(b);
  EXPECT_EQ(vendor, ops[6].in);
  EXPECT_EQ(usb_header(127, 2, 1012, 0), ops[7].in);
  EXPECT_EQ(1024u, ops[8].outLength);
  EXPECT_EQ(0, d.checkCounter.load());
  EXPECT_EQ(3, d.tag.load());
}

// The unlocked clear runs beside another thread's reads on the same device:
// their transfer steps take turns on the one record, never overlap.
TEST_F(UsbClear, UnlockedClearNeverSharesTheRecordWithATransfer) {
  // Every request is answered with "x" (the echo too, so each clear makes
  // all five attempts); a bulk in without a request stays pending.
  std::mutex m;
  int asked = 0;
  driver.respond = [&](const FakeUsbOp& op) {
    std::lock_guard<std::mutex> hold(m);
    FakeUsbAnswer a;
    if (op.kind == VXP_USB_BULK_OUT && (op.in[0] == 2 || op.in[0] == 127)) ++asked;
    if (op.kind == VXP_USB_BULK_IN) {
      if (asked > 0) {
        --asked;
        a.data = usb_reply(2, "x");
      } else {
        a.how = FakeUsbAnswer::PENDING;
      }
    }
    return a;
  };
  driver.waitMicros = 100;
  std::atomic<int> reads{0};
  std::thread reader([&] {
    char buf[8];
    for (int i = 0; i < 200; ++i)
      if (vx_usbdev_read(&d, buf, sizeof buf, nullptr) == VI_SUCCESS) ++reads;
  });
  for (int i = 0; i < 5; ++i) vx_usbdev_clear(&d);
  reader.join();
  EXPECT_GT(reads.load(), 0);  // a clear may take a reply meant for the reader
  EXPECT_EQ(0, driver.overlaps());
}

}  // namespace
