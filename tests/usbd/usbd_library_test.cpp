// Other makers' instruments through the whole real-device path: the
// library's exports, by VISA name -> bus socket -> vxusbd (on a thread) ->
// libusb -> usbfs emulated by umockdev -> the scripted devices of
// usb_harness.h. One table of device kinds; each runs the rows its kind
// has, on one link, in the order a user would meet them.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "service.h"
#include "usb_harness.h"
#include "vx_comm.h"

namespace {

const char kBusSocket[] = "/run/vx_comm_lib/usb.sock";

bool bus_listening() {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::strcpy(sa.sun_path, kBusSocket);
  bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

// One emulated device and vxusbd serving it.
struct Bus {
  usbmock::Testbed bed;
  std::atomic<bool> stop{false};
  std::thread daemon;
  int dev = -1;
  explicit Bus(const usbmock::DeviceSetup& s) {
    dev = bed.add(s);
    daemon = std::thread([this] {
      vxusbd::Options o;
      o.socket_path = kBusSocket;
      vxusbd::run(o, &stop);
    });
    for (int i = 0; i < 1000 && !bus_listening(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~Bus() {
    stop.store(true);
    daemon.join();
  }
  usbmock::Counters counters() { return bed.counters(dev); }
};

struct Kind {
  const char* what;
  usbmock::DeviceSetup setup;
  std::string visa;   // the name the test opens
  std::string found;  // its entry in the USBTMC search
  bool usb488;        // status byte, trigger and REN rows
};

usbmock::DeviceSetup device(std::uint16_t vendor, std::uint16_t product, const char* serial, const char* idn) {
  usbmock::DeviceSetup s;
  s.vendor = vendor;
  s.product = product;
  s.serial = serial;
  s.idn = idn;
  s.usbtmc_interface = 0;
  s.packet = 512;
  return s;
}

std::vector<Kind> kinds() {
  std::vector<Kind> k;
  // USB488 with an interrupt-IN endpoint, high speed.
  usbmock::DeviceSetup usb488 = device(0x1AB1, 0x04CE, "DS1ZA000000001", "RIGOL TECHNOLOGIES,DS1104Z,DS1ZA000000001,00.04");
  usb488.protocol = 1;
  usb488.interrupt_in = true;
  usb488.stb = 0x52;
  k.push_back({"usb488", usb488, "USB0::0x1AB1::0x04CE::DS1ZA000000001::INSTR",
               "DS1104Z:DS1ZA000000001:USB0::0x1AB1::0x04CE::DS1ZA000000001::INSTR;", true});
  // USB488 without an interrupt-IN endpoint: the status byte in the control reply.
  usbmock::DeviceSetup polled = device(0x2A8D, 0x0396, "MY59000001", "KEYSIGHT TECHNOLOGIES,DSOX1204G,MY59000001,2.12");
  polled.protocol = 1;
  polled.stb = 0x52;
  k.push_back({"usb488 polled", polled, "USB0::0x2A8D::0x0396::MY59000001::INSTR",
               "DSOX1204G:MY59000001:USB0::0x2A8D::0x0396::MY59000001::INSTR;", true});
  // The whole reply as one message whatever size was asked, EOM not set.
  usbmock::DeviceSetup whole = device(0x1AB1, 0x0588, "DS1ED000000001", "Rigol Technologies,DS1102E,DS1ED000000001,00.02");
  whole.whole_reply = true;
  k.push_back({"whole reply", whole, "USB0::0x1AB1::0x0588::DS1ED000000001::INSTR",
               "DS1102E:DS1ED000000001:USB0::0x1AB1::0x0588::DS1ED000000001::INSTR;", false});
  // Full speed: 64-byte packets.
  usbmock::DeviceSetup full = device(0xF4EC, 0xEE38, "SDG1XA000001", "Siglent Technologies,SDG1032X,SDG1XA000001,1.01");
  full.packet = 64;
  k.push_back({"full speed", full, "USB0::0xF4EC::0xEE38::SDG1XA000001::INSTR",
               "SDG1032X:SDG1XA000001:USB0::0xF4EC::0xEE38::SDG1XA000001::INSTR;", false});
  // Composite: USBTMC at interfaces 2 and 3; the name without ::N means 2.
  usbmock::DeviceSetup composite = device(0x0699, 0x0368, "C010001", "TEKTRONIX,TBS 1052B,C010001,CF:91.1CT");
  composite.usbtmc_interface = 2;
  composite.second_usbtmc = true;
  k.push_back({"composite", composite, "USB0::0x0699::0x0368::C010001::INSTR",
               "TBS 1052B:C010001:USB0::0x0699::0x0368::C010001::2::INSTR;", false});
  // Takes a message's alignment zeros for data: messages go unpadded.
  usbmock::DeviceSetup nopad = device(0x05E6, 0x2450, "04400001", "KEITHLEY INSTRUMENTS,MODEL 2450,04400001,1.6");
  nopad.nopad = true;
  k.push_back({"nopad", nopad, "USB0::0x05E6::0x2450::04400001::INSTR",
               "MODEL 2450:04400001:USB0::0x05E6::0x2450::04400001::INSTR;", false});
  return k;
}

void PrintTo(const Kind& k, std::ostream* os) { *os << k.what; }

// A line of the reply, without its line feed, or what failed.
std::string line(ViInt32 id) {
  ViInt32 n = 0;
  char buf[256];
  ViStatus s = vx_comm_gets(id, buf, sizeof buf, &n);
  if (s < 0) return "<read failed>";
  std::string reply(buf, static_cast<std::size_t>(n));
  if (!reply.empty() && reply.back() == '\n') reply.pop_back();
  return reply;
}

std::string ask(ViInt32 id, const char* command) {
  ViInt32 n = 0;
  if (vx_comm_puts(id, command, static_cast<ViInt32>(std::strlen(command)), &n) != VI_SUCCESS) return "<write failed>";
  return line(id);
}

std::vector<char> pattern(std::size_t n) {
  std::vector<char> b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<char>('A' + i % 26);
  return b;
}

class LibraryOverVxusbd : public ::testing::TestWithParam<Kind> {};

TEST_P(LibraryOverVxusbd, EveryRowOfItsKind) {
  const Kind& k = GetParam();
  Bus bus(k.setup);
  ASSERT_TRUE(bus_listening()) << "vxusbd did not start listening";
  const std::string idn = k.setup.idn;

  {
    SCOPED_TRACE("the USBTMC search lists it by the name that opens it");
    char found[2048] = {};
    ViInt32 n = 0;
    ASSERT_EQ(VI_SUCCESS, vx_comm_find(found, 2000, sizeof found, &n, IFACE_USBTMC));
    EXPECT_NE(std::string::npos, std::string(found).find(k.found)) << found;
  }
  ViInt32 id = -1;
  ASSERT_EQ(VI_SUCCESS, vx_comm_open(k.visa.c_str(), 2000, &id));
  ASSERT_GT(id, 0) << k.visa;
  EXPECT_EQ(k.setup.usbtmc_interface, bus.counters().claimed_interface);
  EXPECT_EQ(idn, ask(id, "*IDN?\n"));

  const std::size_t kMiB = 1 << 20;
  {
    SCOPED_TRACE("1 MiB to the device: one message");
    int before = bus.counters().messages;
    std::vector<char> data = pattern(kMiB);
    ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlock(id, "BLK", data.data(), static_cast<ViInt32>(kMiB)));
    EXPECT_EQ(idn, ask(id, "*IDN?\n"));  // the block's message has ended before the next
    usbmock::Counters c = bus.counters();
    EXPECT_EQ(before + 2, c.messages);
    EXPECT_EQ(static_cast<long>(kMiB), c.block);
    EXPECT_EQ(0, c.bad_out);
  }
  {
    SCOPED_TRACE("1 MiB from the device: one block, and the next query in step");
    std::vector<char> block(kMiB + 16);
    ViInt32 got = 0;
    ASSERT_EQ(VI_SUCCESS, vx_comm_readBlock(id, "DATA? 1048576\n", block.data(), static_cast<ViInt32>(block.size()), &got));
    ASSERT_EQ(static_cast<ViInt32>(kMiB), got);
    block.resize(kMiB);
    EXPECT_TRUE(block == pattern(kMiB));
    EXPECT_EQ("", line(id));  // the line feed after the block is the caller's to read
    EXPECT_EQ(idn, ask(id, "*IDN?\n"));
    EXPECT_EQ(0, bus.counters().overflows);
  }

  ViUInt16 stb = 0;
  if (k.usb488) {
    SCOPED_TRACE("USB488 controls");
    // An earlier poll's notification and a service request wait in the
    // queue: neither is this poll's status byte.
    if (k.setup.interrupt_in) {
      bus.bed.notify(bus.dev, {0x80 | 9, 0x99});
      bus.bed.notify(bus.dev, {0x81, 0x41});
    }
    ASSERT_EQ(VI_SUCCESS, vx_comm_readStb(id, &stb));
    EXPECT_EQ(0x52, stb);
    ASSERT_EQ(VI_SUCCESS, vx_comm_readStb(id, &stb));
    EXPECT_EQ(0x52, stb);
    ASSERT_EQ(VI_SUCCESS, vx_comm_trigger(id));
    EXPECT_EQ(1, bus.counters().triggers);
    ASSERT_EQ(VI_SUCCESS, vx_comm_remote(id, 1));  // REN on
    EXPECT_EQ(1, bus.counters().ren);
    ASSERT_EQ(VI_SUCCESS, vx_comm_remote(id, 4));  // local lockout
    EXPECT_EQ(1, bus.counters().local_lockouts);
    ASSERT_EQ(VI_SUCCESS, vx_comm_remote(id, 2));  // go to local, REN off
    usbmock::Counters c = bus.counters();
    EXPECT_EQ(1, c.go_to_locals);
    EXPECT_EQ(0, c.ren);
    EXPECT_EQ(0, c.bad_index);
    EXPECT_EQ(idn, ask(id, "*IDN?\n"));
    if (k.setup.interrupt_in) {
      // Read on a second connection of this process; left on for the
      // unplug below, which ends its reader.
      SCOPED_TRACE("a service request notification wakes the wait");
      ASSERT_EQ(VI_SUCCESS, vx_comm_enableSrq(id, 1));
      bus.bed.notify(bus.dev, {0x81, 0x61});
      ViUInt16 srq = 0;
      ASSERT_EQ(VI_SUCCESS, vx_comm_waitSrq(id, 5000, &srq, nullptr));
      EXPECT_EQ(0x61, srq);
      EXPECT_EQ(idn, ask(id, "*IDN?\n"));
    }
  } else {
    SCOPED_TRACE("no USB488: the controls are refused");
    EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_readStb(id, &stb));
    EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_trigger(id));
    EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_remote(id, 1));
    EXPECT_EQ(0, bus.counters().triggers);
  }

  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 300));
  {
    SCOPED_TRACE("a read that timed out is aborted: the next query gets its own answer");
    ViInt32 n = 0;
    ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "DATA? 5\n", 8, &n));
    bus.bed.set_silent(bus.dev, true);
    char buf[64];
    EXPECT_GT(0, vx_comm_gets(id, buf, sizeof buf, &n));
    EXPECT_EQ(1, bus.counters().aborted_in);
    bus.bed.set_silent(bus.dev, false);
    EXPECT_EQ(idn, ask(id, "*IDN?\n"));
  }
  {
    SCOPED_TRACE("the clear after a read that timed out: the late reply never comes");
    EXPECT_EQ("<read failed>", ask(id, "SLOW? 500\n"));
    ASSERT_EQ(VI_SUCCESS, vx_comm_clear(id));
    EXPECT_EQ(idn, ask(id, "*IDN?\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // past the slow reply's time
    EXPECT_EQ(idn, ask(id, "*IDN?\n"));
  }
  {
    SCOPED_TRACE("unplugged during a read: the read fails at once");
    ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 10000));
    ViInt32 n = 0;
    ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "SLOW? 8000\n", 11, &n));
    std::thread unplug([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      bus.bed.unplug(bus.dev);
    });
    auto start = std::chrono::steady_clock::now();
    char buf[64];
    ViStatus s = vx_comm_gets(id, buf, sizeof buf, &n);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    unplug.join();
    EXPECT_GT(0, s);
    EXPECT_LT(ms, 3000) << "the read waited for its timeout";
    EXPECT_GT(0, vx_comm_puts(id, "*IDN?\n", 6, &n));  // and so does what follows
    if (k.setup.interrupt_in) {
      SCOPED_TRACE("unplugged: a wait for a service request ends too");
      ViUInt16 srq = 0;
      start = std::chrono::steady_clock::now();
      EXPECT_GT(0, vx_comm_waitSrq(id, 10000, &srq, nullptr));
      EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count(),
                3000);
    }
  }
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

INSTANTIATE_TEST_SUITE_P(Kinds, LibraryOverVxusbd, ::testing::ValuesIn(kinds()),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                           std::string name = info.param.what;
                           for (char& c : name)
                             if (c == ' ') c = '_';
                           return name;
                         });

}  // namespace
