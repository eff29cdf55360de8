// Other makers' USBTMC devices over the fake driver: message framing and
// EOM, replies longer than asked, the quirks, the aborts after a transfer
// that did not complete, the clear, the USB488 decisions and the choice of
// interface by VISA name, as transfer transcripts.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_usb_driver.h"
#include "srq_sink.h"
#include "transport/usb/usb_quirks.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const uint8_t kOut = 0x01, kIn = 0x82, kIntr = 0x83;

FakeUsbAnswer done(const Bytes& data = {}) { return FakeUsbAnswer{FakeUsbAnswer::DONE, data, -1}; }
FakeUsbAnswer pending() { return FakeUsbAnswer{FakeUsbAnswer::PENDING, {}, -1}; }

Bytes reply(uint8_t tag, const std::string& payload, uint32_t size, uint8_t attributes = 1) {
  Bytes m = usb_header(2, tag, size, attributes);
  m.insert(m.end(), payload.begin(), payload.end());
  return m;
}

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = (char)('a' + i % 23);
  return s;
}

uint16_t u16(const Bytes& b, size_t at) { return (uint16_t)(b[at] | b[at + 1] << 8); }
uint32_t u32(const Bytes& b, size_t at) { return (uint32_t)(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24); }

// A scripted class device: bulk out taken whole (or pending when told),
// bulk in and interrupt in from queues (pending when empty), control
// requests answered by request number (success when unscripted).
struct Device {
  bool outPending = false;
  std::deque<FakeUsbAnswer> bulkIn;
  std::deque<FakeUsbAnswer> notes;
  std::map<uint8_t, std::deque<Bytes>> controls;
  std::map<uint8_t, Bytes> always;  // answered every time
  FakeUsbAnswer operator()(const FakeUsbOp& op) {
    switch (op.kind) {
      case VXP_USB_BULK_OUT:
        return outPending ? pending() : done();
      case VXP_USB_BULK_IN:
        return take(bulkIn);
      case VXP_USB_INTERRUPT_IN:
        return take(notes);
      case VXP_USB_IOCTL: {
        const uint8_t request = op.in.size() >= 2 ? op.in[1] : 0;
        auto q = controls.find(request);
        if (q != controls.end() && !q->second.empty()) {
          Bytes a = q->second.front();
          q->second.pop_front();
          return done(a);
        }
        auto a = always.find(request);
        if (a != always.end()) return done(a->second);
        return done(Bytes{1, 0, 0, 0, 0, 0, 0, 0});
      }
    }
    return done();
  }
  static FakeUsbAnswer take(std::deque<FakeUsbAnswer>& q) {
    if (q.empty()) return pending();
    FakeUsbAnswer a = q.front();
    q.pop_front();
    return a;
  }
};

struct UsbTmc : ::testing::Test {
  FakeUsbDriver driver;
  Device device;
  UsbDevice d;
  void SetUp() override {
    driver.attach(&d);
    d.tmc = true;
    d.tmcIf = UsbTmcInterface{};
    d.tmcIf.protocol = 1;
    d.tmcIf.bulkOut = kOut;
    d.tmcIf.bulkIn = kIn;
    d.tmcIf.bulkOutPacket = 512;
    d.tmcIf.bulkInPacket = 512;
    d.tmcIf.capsRead = true;
    d.tmcIf.usb488Interface = 3;
    d.timeout.store(50);
    d.tmcBuffer = new uint8_t[2 * VX_USB_TMC_BUFFER];
    driver.respond = [this](const FakeUsbOp& op) { return device(op); };
  }
  void TearDown() override { delete[] d.tmcBuffer; }

  std::vector<FakeUsbOp> outs() const {
    std::vector<FakeUsbOp> r;
    for (const FakeUsbOp& op : driver.ops())
      if (op.kind == VXP_USB_BULK_OUT) r.push_back(op);
    return r;
  }
  // The control requests made: request number, wValue, wIndex.
  std::vector<std::vector<unsigned>> controls() const {
    std::vector<std::vector<unsigned>> r;
    for (const FakeUsbOp& op : driver.ops())
      if (op.kind == VXP_USB_IOCTL) r.push_back({op.in[1], u16(op.in, 2), u16(op.in, 4)});
    return r;
  }
  std::string read(ViInt32 count, ViStatus want = VI_SUCCESS) {
    std::string buf((size_t)count, '\0');
    ViInt32 n = -1;
    EXPECT_EQ(want, vx_usbtmc_read(&d, &buf[0], count, &n));
    return buf.substr(0, (size_t)(n > 0 ? n : 0));
  }
};

// Payload sizes and EOM bits of the DEV_DEP_MSG_OUT transfers.
std::vector<std::pair<uint32_t, int>> messages(const std::vector<FakeUsbOp>& outs) {
  std::vector<std::pair<uint32_t, int>> r;
  for (const FakeUsbOp& op : outs)
    if (op.in[0] == 1) r.push_back({u32(op.in, 4), op.in[8]});
  return r;
}

TEST_F(UsbTmc, AMessageEndsWithEomOnItsLastTransferOnly) {
  typedef std::vector<std::pair<uint32_t, int>> Msgs;
  struct Case {
    const char* name;
    std::function<void(UsbDevice*)> run;
    Msgs want;
  } cases[] = {
      {"a command line", [](UsbDevice* x) { vx_usbtmc_write(x, "*IDN?\n", 6, nullptr, true); }, {{6, 1}}},
      {"a line of three frames",
       [](UsbDevice* x) {
         std::string s = pattern(150000) + "\n";
         vx_usbtmc_write(x, s.data(), (ViInt32)s.size(), nullptr, true);
       },
       {{65012, 0}, {65012, 0}, {19977, 1}}},
      {"a block: header, data with a line feed, end",
       [](UsbDevice* x) {
         vx_usbtmc_write(x, "DATA #3100", 10, nullptr, true);
         std::string s = pattern(99) + "\n";
         vx_usbtmc_write(x, s.data(), 100, nullptr, false);
         vx_usbtmc_end(x);
       },
       {{46, 0}, {64, 1}}},
      {"bytes without a line end go with the read's request",
       [](UsbDevice* x) {
         vx_usbtmc_write(x, "*IDN?", 5, nullptr, true);
         char b[4];
         vx_usbtmc_read(x, b, 4, nullptr);
       },
       {{5, 1}}},
      {"a trigger sends the kept tail first, not ended",
       [](UsbDevice* x) {
         vx_usbtmc_write(x, "ABC", 3, nullptr, true);
         vx_usbtmc_trigger(x);
       },
       {{3, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeUsbDriver fresh;
    fresh.respond = [this](const FakeUsbOp& op) { return device(op); };
    d.heldLength = 0;
    c.run(&d);
    std::vector<FakeUsbOp> o;
    for (const FakeUsbOp& op : fresh.ops())
      if (op.kind == VXP_USB_BULK_OUT) o.push_back(op);
    EXPECT_EQ(c.want, messages(o));
    for (const FakeUsbOp& op : o) EXPECT_EQ(0u, op.in.size() % 4);
  }
}

TEST_F(UsbTmc, TagsSkipZeroAndPaddingFollowsTheQuirk) {
  d.tag.store(255);
  ASSERT_EQ(VI_SUCCESS, vx_usbtmc_write(&d, "A\n", 2, nullptr, true));
  ASSERT_EQ(VI_SUCCESS, vx_usbtmc_write(&d, "B\n", 2, nullptr, true));
  d.tmcIf.quirks = vx_usb_quirks(0x05E6, 0x2450);
  ASSERT_EQ(VI_SUCCESS, vx_usbtmc_write(&d, "C\n", 2, nullptr, true));
  std::vector<FakeUsbOp> o = outs();
  ASSERT_EQ(3u, o.size());
  EXPECT_EQ(255, o[0].in[1]);
  EXPECT_EQ(1, o[1].in[1]);  // never 0
  EXPECT_EQ(16u, o[1].in.size());
  EXPECT_EQ(14u, o[2].in.size());  // no alignment zeros
}

TEST_F(UsbTmc, AReplyLongerThanAskedIsHandedOutWithoutANewRequest) {
  // One request asks 4 bytes; the device sends a 1000-byte message in
  // transfers of 512 (header in the first only), as Rigol devices do.
  const std::string body = pattern(1000);
  device.bulkIn.push_back(done(reply(1, body.substr(0, 500), 1000, 0)));
  device.bulkIn.push_back(done(Bytes(body.begin() + 500, body.end())));
  std::string got;
  for (int i = 0; i < 3; ++i) got += read(4);
  got += read(2000);
  got += read(2000);
  EXPECT_EQ(body, got);
  std::vector<FakeUsbOp> o = outs();
  ASSERT_EQ(1u, o.size());
  EXPECT_EQ(4u, u32(o[0].in, 4));
  // The next read asks again.
  device.bulkIn.push_back(done(reply(2, "next", 4)));
  EXPECT_EQ("next", read(100));
  EXPECT_EQ(2u, outs().size());
}

TEST_F(UsbTmc, RequestSizesAndQuirkLengths) {
  struct Case {
    const char* name;
    uint16_t vendor, product;
    ViInt32 count;
    Bytes first;  // the device's first transfer
    uint32_t asked;
    size_t got;
  } cases[] = {
      {"whole frame at most", 0x0957, 0x1798, 1 << 20, reply(1, "x", 1), 65012, 1},
      {"whole reply asked of a Rigol", 0x1AB1, 0x0588, 1 << 20, reply(1, "x", 1), 1u << 20, 1},
      {"a block's own length (DS1000Z)", 0x1AB1, 0x04CE, 100, reply(1, "#210abcdefghij", 5), 100, 14},
      {"TransferSize elsewhere", 0x0957, 0x1798, 100, reply(1, "#210abcdefghij", 5), 100, 5},
      {"a header in pieces", 0x0957, 0x1798, 100, Bytes{2, 1, 0xFE, 0}, 100, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeUsbDriver fresh;
    fresh.respond = [this](const FakeUsbOp& op) { return device(op); };
    d.tag.store(1);
    d.msgLeft = 0;
    d.spareLength = 0;
    d.tmcIf.quirks = vx_usb_quirks(c.vendor, c.product);
    device.bulkIn.clear();
    device.bulkIn.push_back(done(c.first));
    if (c.first.size() < 12) device.bulkIn.push_back(done(Bytes{3, 0, 0, 0, 1, 0, 0, 0, 'a', 'b', 'c'}));
    EXPECT_EQ(c.got, read(c.count).size());
    ASSERT_FALSE(fresh.ops().empty());
    EXPECT_EQ(c.asked, u32(fresh.ops()[0].in, 4));
  }
}

TEST_F(UsbTmc, ARepliesToEarlierRequestsAreDroppedWhole) {
  device.bulkIn.push_back(done(reply(9, "old", 600, 0)));  // a late reply, in two transfers
  device.bulkIn.push_back(done(Bytes(597, 'o')));
  device.bulkIn.push_back(done(reply(1, "new\n", 4)));
  EXPECT_EQ("new\n", read(100));
  EXPECT_EQ(1u, outs().size());
}

TEST_F(UsbTmc, ATimedOutReadIsAbortedAndTheNextQueryGetsItsOwnAnswer) {
  EXPECT_EQ("", read(100, VI_ERROR_TMO));  // nothing comes: pending, cancelled
  // INITIATE_ABORT_BULK_IN for the request's tag on the bulk-in endpoint,
  // then CHECK_ABORT_BULK_IN_STATUS.
  EXPECT_EQ((std::vector<std::vector<unsigned>>{{3, 1, kIn}, {4, 0, kIn}}), controls());
  // Every bulk in, the drain's too, asks what one frame of the bus carries.
  for (const FakeUsbOp& op : driver.ops()) {
    if (op.kind == VXP_USB_BULK_IN) {
      EXPECT_LE(op.outLength, VX_USB_TMC_MAX_IN);
    }
  }
  device.bulkIn.push_back(done(reply(2, "mine\n", 5)));
  EXPECT_EQ("mine\n", read(100));
}

TEST_F(UsbTmc, ATimedOutWriteIsAbortedAndItsHaltCleared) {
  device.outPending = true;
  EXPECT_EQ(VI_ERROR_TMO, vx_usbtmc_write(&d, "X\n", 2, nullptr, true));
  EXPECT_EQ((std::vector<std::vector<unsigned>>{{1, 1, kOut}, {2, 0, kOut}, {1, 0, kOut}}), controls());
}

TEST_F(UsbTmc, ClearAndAbortPollsAreBoundedAndDrainWhenAsked) {
  // CHECK_CLEAR_STATUS pending with bmClear: bulk in is read; then success.
  device.controls[6] = {{2, 1}, {2, 0}, {1, 0}};
  device.bulkIn.push_back(done(Bytes(8, 7)));
  EXPECT_TRUE(vx_usbtmc_clear(&d));
  EXPECT_EQ((std::vector<std::vector<unsigned>>{{5, 0, 0}, {6, 0, 0}, {6, 0, 0}, {6, 0, 0}, {1, 0, kOut}}),
            controls());
  int bulkIns = 0;
  for (const FakeUsbOp& op : driver.ops()) bulkIns += op.kind == VXP_USB_BULK_IN;
  EXPECT_EQ(1, bulkIns);  // the stale message, short: the data has ended

  // Pending for ever: the clear gives up after 100 polls, or sooner when
  // the link timeout (the polls' time bound) runs out first.
  device.always[6] = {2, 0};
  for (int32_t timeout : {5000, 50}) {
    SCOPED_TRACE(timeout);
    FakeUsbDriver fresh;
    fresh.respond = [this](const FakeUsbOp& op) { return device(op); };
    d.timeout.store(timeout);
    EXPECT_FALSE(vx_usbtmc_clear(&d));
    int polls = 0;
    for (const FakeUsbOp& op : fresh.ops()) polls += op.kind == VXP_USB_IOCTL && op.in[1] == 6;
    if (timeout == 5000) {
      EXPECT_EQ(100, polls);
    } else {
      EXPECT_LT(polls, 100);
    }
  }
}

TEST_F(UsbTmc, StatusBytePollsUseTheirOwnTagsAndTakeOnlyTheirNotification) {
  std::vector<unsigned> tags;
  driver.respond = [&](const FakeUsbOp& op) {
    if (op.kind != VXP_USB_IOCTL) return device(op);
    tags.push_back(u16(op.in, 2));
    return done(Bytes{1, (uint8_t)u16(op.in, 2), 0x42});
  };
  for (int i = 0; i < 130; ++i) {
    ViUInt16 stb = 0;
    ASSERT_EQ(VI_SUCCESS, vx_usbtmc_readStb(&d, &stb));
    EXPECT_EQ(0x42, stb);
  }
  for (unsigned t : tags) EXPECT_TRUE(t >= 2 && t <= 127) << t;
  EXPECT_EQ(2u, tags[126]);  // 127 is followed by 2

  // With an interrupt-IN endpoint: a service request and another tag's
  // notification are passed over.
  d.tmcIf.interruptIn = kIntr;
  const uint8_t next = tags.back() == 127 ? 2 : (uint8_t)(tags.back() + 1);
  device.notes.push_back(done(Bytes{0x81, 0x40}));
  device.notes.push_back(done(Bytes{(uint8_t)(0x80 | (next == 2 ? 3 : 2)), 0x11}));
  device.notes.push_back(done(Bytes{(uint8_t)(0x80 | next), 0x50}));
  ViUInt16 stb = 0;
  ASSERT_EQ(VI_SUCCESS, vx_usbtmc_readStb(&d, &stb));
  EXPECT_EQ(0x50, stb);

  // A control answer with another tag is no status byte.
  driver.respond = [&](const FakeUsbOp&) { return done(Bytes{1, 1, 0x42}); };
  EXPECT_EQ(VI_ERROR_IO, vx_usbtmc_readStb(&d, &stb));
}

TEST_F(UsbTmc, Usb488DecisionsFollowTheCapabilities) {
  struct Case {
    uint8_t protocol;
    bool capsRead;
    uint8_t usb488Interface;
    ViStatus stb, trigger, remote;
  } cases[] = {
      {1, true, 3, VI_SUCCESS, VI_SUCCESS, VI_SUCCESS},
      {1, true, 0, VI_SUCCESS, VI_ERROR_NSUP_OPER, VI_ERROR_NSUP_OPER},
      {1, false, 3, VI_ERROR_NSUP_OPER, VI_ERROR_NSUP_OPER, VI_ERROR_NSUP_OPER},
      {0, true, 3, VI_ERROR_NSUP_OPER, VI_ERROR_NSUP_OPER, VI_ERROR_NSUP_OPER},
  };
  driver.respond = [&](const FakeUsbOp& op) {
    if (op.kind == VXP_USB_IOCTL) return done(Bytes{1, (uint8_t)u16(op.in, 2), 0});
    return device(op);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (int)c.protocol << c.capsRead << (int)c.usb488Interface);
    d.tmcIf.protocol = c.protocol;
    d.tmcIf.capsRead = c.capsRead;
    d.tmcIf.usb488Interface = c.usb488Interface;
    ViUInt16 stb = 0;
    EXPECT_EQ(c.stb, vx_usbtmc_readStb(&d, &stb));
    EXPECT_EQ(c.trigger, vx_usbtmc_trigger(&d));
    EXPECT_EQ(c.remote, vx_usbtmc_remote(&d, VI_GPIB_REN_ASSERT));
  }
  // The trigger is the 12-byte bulk message 128.
  std::vector<FakeUsbOp> o = outs();
  ASSERT_EQ(1u, o.size());
  EXPECT_EQ(12u, o[0].in.size());
  EXPECT_EQ(128, o[0].in[0]);
  EXPECT_EQ((uint8_t)~o[0].in[1], o[0].in[2]);
}

// The reader has its own handle and takes USB488's two-byte 0x81
// notifications only; a stop ends its pending read and closes the handle,
// and a read that fails (the device gone) ends the reader after one
// wake-up.
TEST_F(UsbTmc, ServiceRequestsAreTheWellFormedSrqNotificationsOfTheirOwnHandle) {
  d.tmcIf.interruptIn = kIntr;
  // A path longer than the one kept for log lines opens whole.
  const std::string path = "\\\\?\\usb#vid_2a8d&pid_0396#" + std::string(300, 'S') + "#{a9fdbb24}";
  snprintf(d.tmcPath, sizeof d.tmcPath, "%s", path.c_str());
  std::mutex m;
  std::deque<FakeUsbAnswer> srqNotes = {done(Bytes{0x81}), done(Bytes{0x82, 0x11}), done(Bytes{0x81, 0x41, 0}),
                                        done(Bytes{0x81, 0x42})};
  int reads = 0;
  driver.respond = [&](const FakeUsbOp& op) {
    if (op.handle == 0) return device(op);
    std::lock_guard<std::mutex> hold(m);
    ++reads;
    if (op.kind != VXP_USB_INTERRUPT_IN || op.code != VXP_USB_NOTIFY_SERVICE) return FakeUsbAnswer{FakeUsbAnswer::FAIL, {}, -1};
    return Device::take(srqNotes);
  };
  TestSrqSink c;
  ASSERT_EQ(VI_SUCCESS, vx_usbdev_srqEnable(&d, &c.sink));
  EXPECT_EQ(1, driver.openHandles());
  EXPECT_EQ(path, driver.opened);
  EXPECT_EQ(std::vector<int>{0x42}, c.wait_for(1));
  EXPECT_EQ(VI_SUCCESS, vx_usbdev_srqEnable(&d, nullptr));
  EXPECT_EQ(0, driver.openHandles());
  EXPECT_EQ(std::vector<int>{0x42}, c.wait_for(1));
  EXPECT_EQ(5, reads);  // the fifth stayed pending until the stop

  // A failed read (the device left the bus) is not asked again.
  srqNotes = {FakeUsbAnswer{FakeUsbAnswer::FAIL, {}, -1}};
  reads = 0;
  ASSERT_EQ(VI_SUCCESS, vx_usbdev_srqEnable(&d, &c.sink));
  for (int i = 0; i < 500; ++i) {
    {
      std::lock_guard<std::mutex> hold(m);
      if (reads > 0) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(VI_SUCCESS, vx_usbdev_srqEnable(&d, nullptr));
  EXPECT_EQ(1, reads);
  EXPECT_EQ(0, driver.openHandles());
  // It wakes the waiters once, without a status byte: their serial poll
  // then finds the device gone.
  EXPECT_EQ((std::vector<int>{0x42, -1}), c.wait_for(2));
}

TEST_F(UsbTmc, RenModesBecomeUsb488Requests) {
  const std::vector<std::vector<unsigned>> want[] = {
      {{160, 0}},             // DEASSERT
      {{160, 1}},             // ASSERT
      {{161, 0}, {160, 0}},   // DEASSERT_GTL
      {{160, 1}},             // ASSERT_ADDRESS
      {{162, 0}},             // ASSERT_LLO
      {{160, 1}, {162, 0}},   // ASSERT_ADDRESS_LLO
      {{161, 0}},             // ADDRESS_GTL
  };
  for (ViUInt16 mode = 0; mode < 7; ++mode) {
    SCOPED_TRACE(mode);
    FakeUsbDriver fresh;
    std::vector<std::vector<unsigned>> got;
    fresh.respond = [&](const FakeUsbOp& op) {
      got.push_back({op.in[1], u16(op.in, 2)});
      return done(Bytes{1});
    };
    EXPECT_EQ(VI_SUCCESS, vx_usbtmc_remote(&d, mode));
    EXPECT_EQ(want[mode], got);
  }
}

TEST(UsbTmcName, TheNamePicksVendorProductSerialAndInterface) {
  FakeUsbDriver driver;
  auto info = [](const char* path, uint16_t v, uint16_t p, uint8_t ifnum, const char* serial) {
    FakeUsbInfo i;
    i.path = path;
    i.vendor = v;
    i.product = p;
    i.interfaceNumber = ifnum;
    i.serial = serial;
    return i;
  };
  driver.infos = {info("a", 0x1AB1, 0x04CE, 0, "DS1ZA"), info("b3", 0x0699, 0x0368, 3, "C1"),
                  info("b2", 0x0699, 0x0368, 2, "C1"), info("b4", 0x0699, 0x0368, 4, "C1"),
                  info("c", 0x0699, 0x0369, 0, "C1")};
  struct Case {
    const char* name;
    const char* path;  // null: none
  } cases[] = {
      {"USB0::0x1AB1::0x04CE::DS1ZA::INSTR", "a"},
      {"USB::6833::1230::ds1za::INSTR", "a"},  // decimal ids, serial in any case
      {"USB0::0x0699::0x0368::C1::INSTR", "b2"},  // the lowest interface
      {"USB0::0x0699::0x0368::C1::3::INSTR", "b3"},
      {"USB0::0x0699::0x0368::C1::0::INSTR", nullptr},
      {"USB0::0x1AB1::0x04CE::DS1ZB::INSTR", nullptr},
      {"USB0::0x1AB1::0x04CE::DS1ZA::RAW", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char path[VX_USB_TMC_PATH] = "";
    UsbTmcInterface i;
    EXPECT_EQ(c.path != nullptr, vx_usbdev_findByName(c.name, path, sizeof path, &i));
    if (c.path) {
      EXPECT_STREQ(c.path, path);
    }
  }
}

}  // namespace
