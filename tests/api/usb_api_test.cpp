// Direct USB links through the exports, against the simulator's USB
// instruments (the usb_api test starts them; see tests/CMakeLists.txt).
// The UsbAbsent cases run in the main suites, where no bus is served: the
// Windows build under Wine sees no device either.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "api_util.h"
#include "pattern.h"

namespace {

const char kPlain[] = "USB-000000000000001234";
const char kSecond[] = "USB-000000000000005678";
const char kQuirky[] = "USB-00000000000000EMTY";    // empty replies first, zero fill, 5-byte transfers
const char kPending[] = "USB-00000000000000PEND";   // clear pending three times
const char kVanish[] = "USB-00000000000000GONE";    // gone after 30 transfers on a handle
const char kLongPath[] = "USB-00000000000000PATH";  // a device path of 124 characters
const char kHoldBack[] = "USB-0000000000HOLDBACK";  // answers a cancel 60 s late (usb_holdback)

// The address of a device as the search lists it (see vx_test_usb_serial).
std::string listed(const char* address) { return "USB-" + vx_test_usb_serial(address + 4); }

std::string find_usb(int tmoMs, ViInt32 count = 8192, ViStatus* status = nullptr) {
  std::vector<char> list((size_t)(count > 0 ? count : 1), '@');
  ViInt32 n = -1;
  ViStatus s = vx_comm_find(list.data(), tmoMs, count, &n, IFACE_USB);
  if (status) *status = s;
  EXPECT_EQ((ViInt32)strlen(list.data()), n);
  return std::string(list.data());
}

struct UsbLink : ::testing::Test {
  ViInt32 id = -1;
  void open(const char* address) {
    id = open_link(listed(address));
    ASSERT_GT(id, 0) << address << ": is the simulator serving the USB bus?";
  }
  void TearDown() override {
    if (id > 0) vx_comm_close(id);
  }
};
typedef UsbLink UsbHoldBack;  // the usb_holdback test's one device

TEST_F(UsbLink, EveryTransferExportWorksOverTheLink) {
  for (const char* address : {kPlain, kQuirky, kPending}) {
    SCOPED_TRACE(address);
    open(address);
    std::string idn = query(id, "*IDN?");
    EXPECT_EQ(std::string("Vextron AG,UM-"), idn.substr(0, 14));
    EXPECT_EQ(std::string(address + 4) + ",1.0\n", idn.substr(idn.size() - 23));

    // Raw bytes both ways, whole counts.
    std::string data = pattern(3000);
    ViInt32 n = 0;
    ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlocking(id, "SINK 3000\n", 10, &n));
    ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlocking(id, data.data(), 3000, &n));
    EXPECT_EQ(3000, n);
    char sum[64];
    snprintf(sum, sizeof sum, "3000,%016llx\n", (unsigned long long)vxsim::pattern_checksum(0, 3000));
    char buf[8192];
    ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, buf, sizeof buf, &n));
    EXPECT_EQ(std::string(sum), std::string(buf, (size_t)n));
    ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "STREAM? 2500", 0, nullptr));
    ASSERT_EQ(VI_SUCCESS, vx_comm_readBlocking(id, buf, 2500, &n));
    EXPECT_EQ(pattern(2500), std::string(buf, (size_t)n));

    // Blocks from memory in pieces, in both header forms, and uploads.
    for (const char* form : {"def", "bin"}) {
      std::string got;
      ViStatus s = VI_SUCCESS_MAX_CNT;
      std::string cmd = std::string("BLOCK? 5000 ") + form;
      for (int i = 0; i < 100 && s == VI_SUCCESS_MAX_CNT; ++i) {
        s = vx_comm_readBlock(id, cmd.c_str(), buf, 700, &n);
        if (s == VI_SUCCESS || s == VI_SUCCESS_MAX_CNT) got.append(buf, (size_t)n);
      }
      EXPECT_EQ(VI_SUCCESS, s) << form;
      EXPECT_EQ(pattern(5000), got) << form;
    }
    ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlock(id, "UPLOAD", data.data(), 3000));
    ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, buf, sizeof buf, &n));
    EXPECT_EQ(upload_reply(3000), std::string(buf, (size_t)n));

    // Block files both ways.
    std::string up = vx_test_temp_dir() + "/vx_usbapi_up.bin", down = vx_test_temp_dir() + "/vx_usbapi_down.bin";
    std::ofstream(up, std::ios::binary).write(pattern(40000).data(), 40000);
    ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlockFile(id, "UPLOAD", up.c_str()));
    ASSERT_EQ(VI_SUCCESS, vx_comm_gets(id, buf, sizeof buf, &n));
    EXPECT_EQ(upload_reply(40000), std::string(buf, (size_t)n));
    ASSERT_EQ(VI_SUCCESS, vx_comm_readBlockFile(id, "BLOCK? 40000", down.c_str()));
    EXPECT_EQ(pattern(40000), file_text(down));
    remove(up.c_str());
    remove(down.c_str());

    // Both clears pass the device's clear and echo check.
    EXPECT_EQ(VI_SUCCESS, vx_comm_clear(id));
    EXPECT_EQ(VI_SUCCESS, vx_comm_clear_async(id));
    EXPECT_EQ("fresh\n", query(id, "ECHO fresh"));
    vx_comm_close(id);
    id = -1;
  }
}

TEST_F(UsbLink, TimeoutsBoundEveryTransfer) {
  open(kPlain);
  char buf[16];
  for (ViInt32 tmo : {300, 0}) {
    ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, tmo));
    ViInt32 n = -1;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(VI_ERROR_TMO, vx_comm_read(id, buf, sizeof buf, &n));
    EXPECT_EQ(0, n);
    EXPECT_LT(elapsed_ms(t0), tmo + 2000.0);
  }
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 2000));
  EXPECT_EQ("after\n", query(id, "ECHO after"));
  ViInt32 n = -1;
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_read(id, buf, 0, &n));
  EXPECT_EQ(0, n);
}

TEST_F(UsbLink, CallLogShowsTheLockLinesOfEveryCall) {
  TempLog log("usb_lock");
  vx_usb_startdebug(log.path.c_str());
  open(kPlain);
  query(id, "*IDN?");
  char buf[64];
  ViInt32 n = 0;
  vx_comm_readBlock(id, "BLOCK? 10", buf, sizeof buf, &n);
  vx_comm_close(id);
  vx_usb_stopdebug();
  std::vector<std::string> lines = log.lines();
  std::string slot;
  for (const std::string& l : lines)
    if (l.rfind("vx_comm_lock(", 0) == 0 && slot.empty()) slot = l.substr(13, l.find(',') - 13);
  ASSERT_FALSE(slot.empty());
  auto lockLines = [&](const std::string& name) {
    return std::vector<std::string>{"vx_comm_lock(" + slot + ", " + name + ")",
                                    "vx_comm_unlock(" + slot + ", " + name + ")"};
  };
  std::vector<std::string> locks;
  for (const std::string& l : lines)
    if (l.find("_lock(") != std::string::npos || l.find("_unlock(") != std::string::npos) locks.push_back(l);
  std::vector<std::string> expected;
  for (const char* name : {"vx_comm_puts", "vx_comm_gets"}) {
    auto pair = lockLines(name);
    expected.insert(expected.end(), pair.begin(), pair.end());
  }
  // The block reader's query goes out through a nested vx_comm_puts.
  expected.push_back("vx_comm_lock(" + slot + ", vx_comm_readBlock)");
  expected.push_back("vx_comm_lock(" + slot + ", vx_comm_puts)");
  expected.push_back("vx_comm_unlock(" + slot + ", vx_comm_puts)");
  expected.push_back("vx_comm_unlock(" + slot + ", vx_comm_readBlock)");
  auto close = lockLines("vx_comm_close");
  expected.insert(expected.end(), close.begin(), close.end());
  EXPECT_EQ(expected, locks);
  id = -1;
}

// Commands longer than one USB message, from two threads at once: each
// write call goes out whole, so every reply comes back intact.
TEST_F(UsbLink, TwoThreadsOnOneLinkTakeTurnsAndTheWaitIsLogged) {
  TempLog log("usb_two");
  open(kPlain);
  vx_usb_startdebug(log.path.c_str());
  auto text_of = [](char c, int i) { return std::string(1, c) + std::to_string(i) + std::string(1500, c); };
  auto worker = [&](char c) {
    for (int i = 0; i < 20; ++i) {
      std::string cmd = "ECHO " + text_of(c, i) + "\n";
      vx_comm_write(id, cmd.data(), (ViInt32)cmd.size(), nullptr);
    }
  };
  std::thread a(worker, 'a'), b(worker, 'b');
  a.join();
  b.join();
  vx_usb_stopdebug();
  std::vector<std::string> expected, got;
  for (char c : {'a', 'b'})
    for (int i = 0; i < 20; ++i) expected.push_back(text_of(c, i) + "\n");
  char buf[2048];
  for (int i = 0; i < 40; ++i) {
    ViInt32 n = 0;
    if (vx_comm_gets(id, buf, sizeof buf, &n) != VI_SUCCESS) break;
    got.emplace_back(buf, (size_t)n);
  }
  std::sort(got.begin(), got.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, got);

  // A call that finds the lock held says so, and again once it has it.
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 1000));
  vx_usb_startdebug(log.path.c_str());
  std::thread holder([&] {
    char one[4];
    vx_comm_read(id, one, sizeof one, nullptr);  // nothing to read: holds the lock 1 s
  });
  bool holding = false;
  for (int i = 0; i < 900 && !holding; ++i) {
    holding = log.text().find(", vx_comm_read)\n") != std::string::npos;
    if (!holding) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(holding);
  vx_comm_write(id, "*CLS\n", 5, nullptr);
  holder.join();
  vx_usb_stopdebug();
  std::vector<std::string> waits;
  for (const std::string& l : log.lines())
    if (l.find("vx_comm_write)") != std::string::npos) waits.push_back(l.substr(l.find(')')));
  EXPECT_EQ((std::vector<std::string>{")", "): locked, waiting", "): got lock after waiting", ")"}), waits);
}

TEST_F(UsbLink, CloseEndsAReadThatWaitsWithoutLimit) {
  open(kPlain);
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, -1));
  ViStatus status = VI_SUCCESS;
  std::thread reader([&] {
    char buf[16];
    ViInt32 n = 0;
    status = vx_comm_read(id, buf, sizeof buf, &n);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  reader.join();
  EXPECT_LT(elapsed_ms(t0), 3000.0);
  EXPECT_EQ(VI_ERROR_CONN_LOST, status);
  // The reservation went with the link.
  id = open_link(kPlain);
  EXPECT_GT(id, 0);
}

// The machine-wide reservation holds a USB device from open to close, so
// its lock is the link's at once, however long the wait asked, and no
// other link can reach the device meanwhile.
TEST_F(UsbLink, LockIsTheLinksAtOnce) {
  open(kPlain);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(VI_SUCCESS, vx_comm_lock(id, 60000));
  EXPECT_LT(elapsed_ms(t0), 5000.0);
  ViInt32 other = -5;
  EXPECT_EQ(VI_SUCCESS, vx_comm_open(listed(kPlain).c_str(), 1000, &other));
  EXPECT_EQ(-1, other);  // no second link to the device
  EXPECT_EQ(VI_SUCCESS, vx_comm_unlock(id));
  EXPECT_EQ(0u, query(id, "*IDN?").rfind("Vextron AG,UM-", 0));
}

// The unlocked clear rescues a link whose read waits without a limit: it
// starts at once, ends that read, and leaves the link usable.
TEST_F(UsbLink, UnlockedClearEndsAReadThatWaitsWithoutLimit) {
  open(kPlain);
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, -1));
  ASSERT_EQ(VI_SUCCESS, vx_comm_write(id, "*CLS\n", 5, nullptr));  // no answer comes
  std::atomic<bool> readDone{false};
  ViStatus readStatus = VI_SUCCESS;
  ViInt32 got = -1;
  std::thread reader([&] {
    char buf[16];
    readStatus = vx_comm_read(id, buf, sizeof buf, &got);
    readDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::atomic<bool> clearDone{false};
  ViStatus clearStatus = -1;
  std::thread clearer([&] {
    clearStatus = vx_comm_clear_async(id);
    clearDone = true;
  });
  auto t0 = std::chrono::steady_clock::now();
  while (!(clearDone && readDone) && elapsed_ms(t0) < 3000.0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(clearDone.load()) << "the clear waits behind the read";
  EXPECT_TRUE(readDone.load());
  if (!clearDone || !readDone) {
    vx_comm_close(id);  // frees both threads
    id = -1;
  }
  clearer.join();
  reader.join();
  if (id < 0) return;
  EXPECT_EQ(VI_SUCCESS, clearStatus);
  EXPECT_EQ(VI_ERROR_TMO, readStatus);
  EXPECT_EQ(0, got);
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 2000));
  EXPECT_EQ("after\n", query(id, "ECHO after"));
}

TEST_F(UsbLink, OneHolderPerDeviceAcrossTheMachine) {
  for (const char* address : {kPlain, kLongPath}) {
    open(address);
    ViInt32 second = -5;
    EXPECT_EQ(VI_SUCCESS, vx_comm_open(listed(address).c_str(), 0, &second));
    EXPECT_EQ(-1, second) << address;
    EXPECT_EQ("still\n", query(id, "ECHO still"));
    vx_comm_close(id);
    id = -1;
  }

  // Held by another process: no open here, and the search skips it.
  std::string ready = vx_test_temp_dir() + "/vx_usb_hold_ready";
  remove(ready.c_str());
  int childExit = -1;
  std::thread child([&] { childExit = vx_test_run_self({"--hold", kPlain, ready, "3000"}); });
  bool held = false;
  for (int i = 0; i < 500 && !held; ++i) {
    held = std::ifstream(ready).good();
    if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(held);
  ViInt32 other = -5;
  EXPECT_EQ(VI_SUCCESS, vx_comm_open(kPlain, 0, &other));
  EXPECT_EQ(-1, other);
  std::string list = find_usb(200);
  EXPECT_EQ(std::string::npos, list.find("USB-000000000000001234;"));
  EXPECT_NE(std::string::npos, list.find("USB-000000000000005678;"));
  child.join();
  EXPECT_EQ(0, childExit);
  remove(ready.c_str());
  open(kPlain);
}

TEST_F(UsbLink, AddressesThatNameNoUsableDeviceFailLikeAFailedConnection) {
  for (const char* address :
       {"USB-00000000000000123", "USB-0000000000000012345", "USB-000000000000009999", "USB-SHORT", "USB-"}) {
    ViInt32 link = -5;
    EXPECT_EQ(VI_SUCCESS, vx_comm_open(address, 0, &link)) << address;
    EXPECT_EQ(-1, link) << address;
  }
  // The trailing white space ends the serial number: that one opened.
  ViInt32 link = -5;
  vx_comm_open("USB-000000000000005678 x", 0, &link);
  EXPECT_GT(link, 0);
  vx_comm_close(link);
}

// USB488 (status byte, trigger, remote) comes later; until then the route
// says so and the link stays usable.
TEST_F(UsbLink, ControlsAnswerNotSupported) {
  open(kPlain);
  ViUInt16 stb = 77;
  EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_readStb(id, &stb));
  EXPECT_EQ(77, stb);
  EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_trigger(id));
  EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_remote(id, VI_GPIB_REN_ASSERT_ADDRESS_LLO));
  EXPECT_EQ(0u, query(id, "*IDN?").find("Vextron AG,UM-"));
}

TEST_F(UsbLink, DeviceThatVanishesFailsAtOnceAndStillCloses) {
  open(kVanish);
  bool failed = false;
  for (int i = 0; i < 40 && !failed; ++i) failed = query(id, "ECHO x") != "x\n";
  ASSERT_TRUE(failed);
  char buf[8];
  ViInt32 n = -1;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_write(id, "ECHO y\n", 7, &n));
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_read(id, buf, sizeof buf, &n));
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_clear(id));
  EXPECT_LT(elapsed_ms(t0), 1000.0);
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  id = -1;
  // Under Wine the test driver removes the device from the system before it
  // fails its requests: Wine itself would let the open of its path succeed.
  ViInt32 again = -5;
  EXPECT_EQ(VI_SUCCESS, vx_comm_open(listed(kVanish).c_str(), 0, &again));
  EXPECT_EQ(-1, again);  // gone from the bus
}

// A driver that keeps a cancelled transfer (here the drain of the open's
// clear) makes the device gone after a bounded wait: every later call
// fails at once, and close does not wait for the driver either.
TEST_F(UsbHoldBack, CancelledTransferTheDriverKeepsMakesTheDeviceGone) {
  auto t0 = std::chrono::steady_clock::now();
  open(kHoldBack);
  EXPECT_LT(elapsed_ms(t0), 5000.0);
  char buf[8];
  ViInt32 n = -1;
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_write(id, "ECHO y\n", 7, &n));
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_read(id, buf, sizeof buf, &n));
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_clear(id));
  EXPECT_LT(elapsed_ms(t0), 1000.0);
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  id = -1;
  EXPECT_LT(elapsed_ms(t0), 1000.0);
}

TEST(UsbFind, ListsEveryAnsweringDeviceOnceWithModelAndSerial) {
  auto t0 = std::chrono::steady_clock::now();
  ViStatus status = -1;
  std::string list = find_usb(300, 8192, &status);
  EXPECT_LT(elapsed_ms(t0), 10000.0);
  EXPECT_EQ(VI_SUCCESS, status);
  auto entry_of = [](const char* model, const char* serial) {
    std::string s = vx_test_usb_serial(serial);
    return std::string(model) + ":" + s + ":USB-" + s + ";";
  };
  for (const std::string& entry : {entry_of("UM-200", "000000000000001234"), entry_of("UM-X", "000000000000005678"),
                                   entry_of("", "0000000000000COMMA"),
                                   entry_of("A-MODEL-NAME-OF-THIRTY-ONE-CHAR", "00000000000000LONG"),
                                   entry_of("UM-207", "SHORT")}) {
    size_t at = list.find(entry);
    EXPECT_NE(std::string::npos, at) << entry << " in " << list;
    if (at != std::string::npos) {
      EXPECT_EQ(std::string::npos, list.find(entry, at + 1)) << entry;
    }
  }
  for (const char* absent : {"NOAN", "009999"})
    EXPECT_EQ(std::string::npos, list.find(vx_test_usb_serial(absent))) << absent;
  // A whole list: every entry has three fields.
  size_t entries = 0, at = 0;
  while ((at = list.find(';', at)) != std::string::npos) ++entries, ++at;
  EXPECT_EQ(entries * 2, (size_t)std::count(list.begin(), list.end(), ':'));
}

TEST(UsbFind, EntriesThatDoNotFitAreLeftOutWhole) {
  const std::string one = "UM-200:000000000000001234:USB-000000000000001234;";
  for (ViInt32 count : {(ViInt32)one.size() + 1, (ViInt32)one.size() + 20, 10}) {
    ViStatus status = -1;
    std::string list = find_usb(300, count, &status);
    EXPECT_EQ(VI_SUCCESS_MAX_CNT, status) << "the caller must learn that instruments were left out";
    EXPECT_LT(list.size(), (size_t)count);
    EXPECT_TRUE(list.empty() || list.back() == ';') << list;
    // Only whole entries: model, serial, and "USB-" with the same serial.
    size_t from = 0, end;
    while ((end = list.find(';', from)) != std::string::npos) {
      std::string entry = list.substr(from, end - from);
      size_t c1 = entry.find(':'), c2 = entry.find(':', c1 + 1);
      ASSERT_NE(std::string::npos, c2) << entry;
      EXPECT_EQ("USB-" + entry.substr(c1 + 1, c2 - c1 - 1), entry.substr(c2 + 1)) << entry;
      from = end + 1;
    }
  }
}

}  // namespace

TEST(UsbAbsent, OpenFailsLikeAFailedConnectionAndTheSearchAddsNothing) {
  ViInt32 link = -5;
  EXPECT_EQ(VI_SUCCESS, vx_comm_open(kPlain, 1000, &link));
  EXPECT_EQ(-1, link);
  ViStatus status = -1;
  EXPECT_EQ("", find_usb(200, 256, &status));
  EXPECT_EQ(VI_SUCCESS, status);
}

// Run by the usb_many test against 70 instruments: the first 64 the bus
// lists are probed, all of them answer, and nothing else is touched.
TEST(UsbMany, TheFirstSixtyFourDevicesAreProbed) {
  ViStatus status = -1;
  std::string list = find_usb(1000, 16384, &status);
  EXPECT_EQ(VI_SUCCESS, status);
  EXPECT_EQ(64, std::count(list.begin(), list.end(), ';'));
  for (int k : {0, 63}) {
    char serial[32];
    snprintf(serial, sizeof serial, "VXUSB%013d", k);
    std::string s = vx_test_usb_serial(serial), entry = ":" + s + ":USB-" + s + ";";
    EXPECT_NE(std::string::npos, list.find(entry)) << entry;
  }
  EXPECT_EQ(std::string::npos, list.find(vx_test_usb_serial("VXUSB0000000000064")));
}
