// The direct USB transport's framing and enumeration as byte transcripts
// over the fake driver.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "fake_usb_driver.h"
#include "find/find.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Answers bulk in from a queue (pending once it is empty) and accepts the rest.
struct Scripted {
  std::deque<FakeUsbAnswer> bulkIn;
  FakeUsbAnswer operator()(const FakeUsbOp& op) {
    if (op.kind != VXP_USB_BULK_IN) return FakeUsbAnswer();
    if (bulkIn.empty()) return FakeUsbAnswer{FakeUsbAnswer::PENDING, {}, -1};
    FakeUsbAnswer a = bulkIn.front();
    bulkIn.pop_front();
    return a;
  }
};

FakeUsbAnswer in(const Bytes& data) { return FakeUsbAnswer{FakeUsbAnswer::DONE, data, -1}; }

struct UsbFraming : ::testing::Test {
  FakeUsbDriver driver;
  Scripted device;
  UsbDevice d;
  void SetUp() override {
    driver.attach(&d);
    driver.respond = [this](const FakeUsbOp& op) { return device(op); };
  }
};

Bytes message_out(uint8_t tag, const std::string& payload) {
  Bytes m = usb_header(1, tag, (uint32_t)payload.size(), 1);
  m.insert(m.end(), payload.begin(), payload.end());
  while (m.size() % 4) m.push_back(0);
  return m;
}

Bytes piece(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = (char)('a' + i % 23);
  return s;
}

TEST_F(UsbFraming, WriteSplitsIntoPaddedMessagesEachWithEndOfMessage) {
  struct Case {
    int count;
    std::vector<size_t> payloads;
  } cases[] = {{5, {5}}, {3000, {1012, 1012, 976}}, {1012, {1012}}, {1013, {1012, 1}}, {0, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    FakeUsbDriver fresh;
    fresh.attach(&d);
    std::string data = pattern((size_t)c.count);
    ViInt32 n = -1;
    EXPECT_EQ(VI_SUCCESS, vx_usbdev_write(&d, data.data(), c.count, &n));
    EXPECT_EQ(c.count, n);
    std::vector<FakeUsbOp> ops = fresh.ops();
    ASSERT_EQ(c.payloads.size(), ops.size());
    size_t at = 0;
    for (size_t i = 0; i < ops.size(); ++i) {
      EXPECT_EQ(VXP_USB_BULK_OUT, ops[i].kind);
      EXPECT_EQ(message_out((uint8_t)(i + 1), data.substr(at, c.payloads[i])), ops[i].in);
      at += c.payloads[i];
    }
  }
}

TEST_F(UsbFraming, PartialWriteSendsTheRestAndAFailedStepCountsNothing) {
  int step = 0;
  driver.respond = [&](const FakeUsbOp&) {
    ++step;
    if (step == 1) return FakeUsbAnswer{FakeUsbAnswer::DONE, {}, 7};
    if (step <= 3) return FakeUsbAnswer();
    return FakeUsbAnswer{FakeUsbAnswer::PENDING, {}, -1};
  };
  std::string data = pattern(3000);
  ViInt32 n = -1;
  EXPECT_EQ(VI_ERROR_TMO, vx_usbdev_write(&d, data.data(), 3000, &n));
  EXPECT_EQ(0, n);
  std::vector<FakeUsbOp> ops = driver.ops();
  ASSERT_EQ(4u, ops.size());
  Bytes first = message_out(1, data.substr(0, 1012));
  EXPECT_EQ(Bytes(first.begin() + 7, first.end()), ops[1].in);
  EXPECT_TRUE(ops[3].cancelled);
}

TEST_F(UsbFraming, TagRunsToTwoHundredFiftyFiveThenOneAndRequestsTakeOne) {
  d.tag.store(254);
  device.bulkIn.push_back(in(usb_reply(2, "ok")));
  std::string data = pattern(2000);
  EXPECT_EQ(VI_SUCCESS, vx_usbdev_write(&d, data.data(), 2000, nullptr));
  char buf[16];
  EXPECT_EQ(VI_SUCCESS, vx_usbdev_read(&d, buf, sizeof buf, nullptr));
  std::vector<FakeUsbOp> ops = driver.ops();
  ASSERT_EQ(4u, ops.size());
  EXPECT_EQ(254, ops[0].in[1]);
  EXPECT_EQ(255, ops[1].in[1]);
  EXPECT_EQ(usb_header(2, 1, 16, 0), ops[2].in);
  EXPECT_EQ(2, d.tag.load());
}

TEST_F(UsbFraming, ReadTranscripts) {
  struct Case {
    const char* name;
    int count;
    std::vector<Bytes> replies;  // one per bulk in
    ViStatus status;
    std::string payload;
    std::vector<uint32_t> asked;  // TransferSize of each request
    std::vector<uint32_t> inLengths;
  } cases[] = {
      {"zero fill trimmed", 100, {usb_reply(2, "hello", 20)}, VI_SUCCESS, "hello", {100}, {112}},
      {"large read asks 1012", 2000, {usb_reply(2, pattern(1012))}, VI_SUCCESS, pattern(1012), {1012}, {1024}},
      {"empty answers asked again",
       10,
       {usb_reply(2, ""), usb_reply(2, ""), usb_reply(2, "x")},
       VI_SUCCESS,
       "x",
       {10, 10, 10},
       {22, 22, 22}},
      {"short transfers joined",
       50,
       {piece(usb_reply(2, pattern(30)), 0, 8), piece(usb_reply(2, pattern(30)), 8, 42)},
       VI_SUCCESS,
       pattern(30),
       {50},
       {62, 54}},
      {"no answer", 10, {}, VI_ERROR_TMO, "", {10}, {22}},
      // The unlocked clear's link check may be answered to this read.
      {"a vendor answer is not data", 10, {usb_reply(127, "abcd")}, VI_ERROR_TMO, "", {10}, {22}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeUsbDriver fresh;
    Scripted dev;
    for (const Bytes& r : c.replies) dev.bulkIn.push_back(in(r));
    fresh.respond = [&](const FakeUsbOp& op) { return dev(op); };
    fresh.attach(&d);
    std::vector<char> buf((size_t)c.count, '#');
    ViInt32 n = -1;
    EXPECT_EQ(c.status, vx_usbdev_read(&d, buf.data(), c.count, &n));
    EXPECT_EQ((ViInt32)c.payload.size(), n);
    EXPECT_EQ(c.payload, std::string(buf.data(), (size_t)n));
    std::vector<uint32_t> asked, inLengths;
    for (const FakeUsbOp& op : fresh.ops()) {
      if (op.kind == VXP_USB_BULK_OUT) {
        ASSERT_EQ(12u, op.in.size());
        EXPECT_EQ(2, op.in[0]);
        asked.push_back(op.in[4] | op.in[5] << 8);
      } else {
        inLengths.push_back(op.outLength);
      }
    }
    EXPECT_EQ(c.asked, asked);
    EXPECT_EQ(c.inLengths, inLengths);
    if (c.replies.empty()) {
      EXPECT_TRUE(fresh.ops().back().cancelled);
    }
  }
}

TEST_F(UsbFraming, ReadOfNoBytesFailsWithoutATransfer) {
  char buf[4];
  for (ViInt32 count : {0, -1, (ViInt32)0x80000000}) {
    ViInt32 n = 9;
    EXPECT_EQ(VI_ERROR_TMO, vx_usbdev_read(&d, buf, count, &n));
    EXPECT_EQ(0, n);
  }
  EXPECT_TRUE(driver.ops().empty());
}

TEST_F(UsbFraming, TransferSizeBeyondTheRequestIsNotTrustedPastTheBuffer) {
  // A header claiming more than was asked: only the bytes asked are taken.
  Bytes reply = usb_header(2, 1, 100000, 1);
  std::string payload = pattern(8);
  reply.insert(reply.end(), payload.begin(), payload.end());
  device.bulkIn.push_back(in(reply));
  char buf[8];
  ViInt32 n = -1;
  EXPECT_EQ(VI_SUCCESS, vx_usbdev_read(&d, buf, sizeof buf, &n));
  EXPECT_EQ(8, n);
  EXPECT_EQ(payload, std::string(buf, 8));
}

// ---- enumeration -----------------------------------------------------------

std::string path_with(const std::string& ids, const std::string& serial) {
  return "\\\\?\\usb#" + ids + "#" + serial + "#{a9fdbb24-128a-11d5-9961-00108335e361}";
}

// The search reads the identification as a link's read does: a vendor
// echo still queued from the clear's timed-out link check is no reply.
TEST(UsbSearch, AnEchoLeftQueuedIsNotTakenForTheIdentification) {
  FakeUsbDriver driver;
  driver.paths = {"\\\\?\\usb#vid_03eb&pid_afff#000000000000001234#{a9fdbb24-128a-11d5-9961-00108335e361}"};
  bool identifying = false;
  std::deque<FakeUsbAnswer> replies = {in(usb_reply(VX_USBTMC_REQUEST_VENDOR_SPECIFIC_IN, "\x01\x01\xfe\x65")),
                                       in(usb_reply(VX_USBTMC_DEV_DEP_MSG_IN, "Vextron AG,UM-200,1234,1.0\n"))};
  driver.respond = [&](const FakeUsbOp& op) {
    FakeUsbAnswer a;
    if (op.kind == VXP_USB_IOCTL) a.data = {1, 0};  // the clear succeeds at once
    if (op.kind == VXP_USB_BULK_OUT && op.in[0] == VX_USBTMC_DEV_DEP_MSG_OUT) identifying = true;
    if (op.kind == VXP_USB_BULK_IN) {
      if (!identifying || replies.empty()) return FakeUsbAnswer{FakeUsbAnswer::PENDING, {}, -1};
      a = replies.front();
      replies.pop_front();
    }
    return a;
  };
  char text[256];
  int length = -1;
  EXPECT_EQ(VI_SUCCESS, vx_usbdev_scan(text, 1000, sizeof text, &length));
  EXPECT_EQ("", std::string(text, (size_t)length));
}

TEST(UsbEnumerate, KeepsOnlyTheMakersDevicesWithAWholeSerial) {
  FakeUsbDriver driver;
  const std::string longTail(150, 'z');
  driver.paths = {
      path_with("vid_03eb&pid_afff", "000000000000001234"),
      path_with("vid_03ec&pid_afff", "000000000000001235"),
      path_with("vid_03eb&pid_affe", "000000000000001236"),
      path_with("vid_103eb&pid_afff", "000000000000001237"),
      path_with("vid_03eb&pid_afff", std::string(32, '7')),
      "\\\\?\\usb#vid_03eb&pid_afff#00000000000000999",
      "\\\\?\\usb#vid_03eb&pid_afff#ABCDEFABCDEFABCDEF#" + longTail,
      path_with("VID_03EB&PID_AFFF", "000000000000001238"),
  };
  UsbPath table[8];
  uint32_t found = 99;
  ASSERT_TRUE(vx_usbdev_enumerate(table, 8, &found, nullptr));
  ASSERT_EQ(2u, found);
  EXPECT_EQ(driver.paths[0], table[0]);
  EXPECT_EQ(driver.paths[6].substr(0, 126), table[1]);
  EXPECT_EQ('\0', table[2][0]);

  char serial[VX_USB_SERIAL_SIZE];
  for (const char* wanted : {"000000000000001234", "ABCDEFABCDEFABCDEF"}) {
    UsbPath one[1];
    ASSERT_TRUE(vx_usbdev_enumerate(one, 1, &found, wanted));
    ASSERT_EQ(1u, found);
    ASSERT_TRUE(vx_usbdev_serialOf(one[0], serial));
    EXPECT_STREQ(wanted, serial);
  }
  UsbPath one[1];
  vx_usbdev_enumerate(one, 1, &found, "abcdefabcdefabcdef");
  EXPECT_EQ(0u, found);

  memset(one, 'q', sizeof one);
  vx_usbdev_enumerate(one, 0, &found, nullptr);
  EXPECT_EQ(0u, found);
  EXPECT_EQ('q', one[0][0]);
}

TEST(UsbEnumerate, CapacityStopsTheWalk) {
  FakeUsbDriver driver;
  for (int i = 0; i < 70; ++i) {
    char serial[32];
    snprintf(serial, sizeof serial, "%018d", i);
    driver.paths.push_back(path_with("vid_03eb&pid_afff", serial));
  }
  static UsbPath table[64];
  uint32_t found = 0;
  vx_usbdev_enumerate(table, 64, &found, nullptr);
  EXPECT_EQ(64u, found);
  EXPECT_EQ(driver.paths[63], table[63]);
}

TEST(UsbMutexName, ShortPathsAreSpelledOutAndLongOnesNeverShareAName) {
  char name[VX_USB_PATH_SIZE];
  vx_usbdev_mutexName(path_with("vid_03eb&pid_afff", "0000000000000012Ab").c_str(), name);
  EXPECT_STREQ("Global\\____usb_vid_03eb_pid_afff_0000000000000012Ab__a9fdbb24_128a_11d5_9961_00108335e361_", name);

  std::string a = std::string(125, 'p') + "a", b = std::string(125, 'p') + "b";
  char nameA[VX_USB_PATH_SIZE], nameB[VX_USB_PATH_SIZE];
  vx_usbdev_mutexName(a.c_str(), nameA);
  vx_usbdev_mutexName(b.c_str(), nameB);
  EXPECT_STRNE(nameA, nameB);
  EXPECT_EQ(126u, strlen(nameA));
  EXPECT_EQ(0, strncmp(nameA, "Global\\ppp", 10));
  for (const char* p = nameA + 7; *p; ++p) EXPECT_TRUE(isalnum((unsigned char)*p) || *p == '_');
}

}  // namespace
