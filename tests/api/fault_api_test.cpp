// Instruments that fail on purpose (the stress_api test starts them): a TCP
// peer that drops, stalls or resets at every byte of a line reply and of a
// small block in both header forms, and USB devices that vanish before each
// transfer of an open-clear-identify-query sequence. Each case: the call
// ends within its bound with a sound status, what arrived is exactly what
// was sent, and the link afterwards fails at once or works, and closes.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "stress_util.h"

namespace {

const ViInt32 kTmoMs = 300;
const int kStallMs = 5000;  // longer than any case: the rest never comes
const double kBoundMs = 2000;

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

enum class Fault { Drop, Stall, Reset };

const char* fault_name(Fault f) { return f == Fault::Drop ? "drop" : f == Fault::Stall ? "stall" : "reset"; }

// A peer that closed or reset the connection has lost it; one that stalls
// is late.
ViStatus lost_or_late(Fault f) { return f == Fault::Stall ? VI_ERROR_TMO : VI_ERROR_CONN_LOST; }

// Asks the simulator for the first k bytes of reply and then the fault.
void arrange(ViInt32 id, const std::string& reply, size_t k, Fault fault) {
  if (k > 0) {
    ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, ("RAWHEX " + hex(reply.substr(0, k))).c_str(), 0, nullptr));
  }
  switch (fault) {
    case Fault::Drop:
      ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "CLOSE", 0, nullptr));
      break;
    case Fault::Reset:
      ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "RESET", 0, nullptr));
      break;
    case Fault::Stall:
      if (k < reply.size()) {
        std::string rest = "DELAY " + std::to_string(kStallMs) + " RAWHEX " + hex(reply.substr(k));
        ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, rest.c_str(), 0, nullptr));
      }
      break;
  }
  // Let the bytes and the end reach this side before reading.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

// After the fault: a dropped or reset link fails at once as lost; a stalled one
// still holds the stall, and its close must not wait for it.
void after(ViInt32 id, Fault fault) {
  auto start = std::chrono::steady_clock::now();
  if (fault != Fault::Stall) {
    char buf[16];
    ViInt32 n = 9;
    EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_gets(id, buf, sizeof buf, &n));
    EXPECT_EQ(0, n);
  }
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  EXPECT_LT(elapsed_ms(start), kBoundMs);
}

ViInt32 open_faulty() {
  ViInt32 id = open_link("TCP-" + sim_addr(0));
  EXPECT_GT(id, 0);
  if (id > 0) {
    EXPECT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, kTmoMs));
  }
  return id;
}

TEST(Faults, LineReplyCutStalledOrResetAtEveryByte) {
  const std::string reply = "abcd\n";
  for (Fault fault : {Fault::Drop, Fault::Stall, Fault::Reset})
    for (size_t k = 0; k <= reply.size(); ++k) {
      SCOPED_TRACE(std::string(fault_name(fault)) + " after " + std::to_string(k) + " bytes");
      ViInt32 id = open_faulty();
      ASSERT_GT(id, 0);
      ASSERT_NO_FATAL_FAILURE(arrange(id, reply, k, fault));
      char buf[64];
      ViInt32 n = -1;
      auto start = std::chrono::steady_clock::now();
      ViStatus s = vx_comm_gets(id, buf, sizeof buf, &n);
      EXPECT_LT(elapsed_ms(start), kBoundMs);
      if (k == reply.size()) {
        EXPECT_EQ(VI_SUCCESS, s);
        EXPECT_EQ(reply, std::string(buf, (size_t)n));
      } else {
        EXPECT_EQ(lost_or_late(fault), s);  // the part of a line is not handed out
        EXPECT_EQ(0, n);
        EXPECT_EQ('\0', buf[0]);
      }
      after(id, fault);
    }
}

TEST(Faults, SmallBlockCutStalledOrResetAtEveryByteOfBothForms) {
  const std::string data("he\nl\0", 5);
  const std::string forms[] = {"#15" + data, std::string("\0\0\0\0\5\0\0\0", 8) + data};
  for (const std::string& reply : forms)
    for (Fault fault : {Fault::Drop, Fault::Stall, Fault::Reset})
      for (size_t k = 0; k <= reply.size(); ++k) {
        SCOPED_TRACE(std::string(reply[0] == '#' ? "def " : "bin ") + fault_name(fault) + " after " +
                     std::to_string(k) + " bytes");
        ViInt32 id = open_faulty();
        ASSERT_GT(id, 0);
        ASSERT_NO_FATAL_FAILURE(arrange(id, reply, k, fault));
        char buf[64] = {0};
        ViInt32 n = -1;
        auto start = std::chrono::steady_clock::now();
        ViStatus s = vx_comm_readBlock(id, nullptr, buf, sizeof buf, &n);
        EXPECT_LT(elapsed_ms(start), kBoundMs);
        if (k == reply.size()) {
          EXPECT_EQ(VI_SUCCESS, s);
          EXPECT_EQ(data, std::string(buf, (size_t)n));
        } else {
          // No first byte: not a header; a cut later: the read's own status.
          EXPECT_EQ(k == 0 ? VI_ERROR_SYSTEM_ERROR : lost_or_late(fault), s);
          EXPECT_EQ(-1, n);
        }
        // No block is left in progress.
        n = -1;
        EXPECT_EQ(VI_SUCCESS, vx_comm_readBlockData(id, buf, sizeof buf, &n));
        EXPECT_EQ(0, n);
        after(id, fault);
      }
}

TEST(Faults, GarbageOrAnOverlongHeaderEndsWithinTheBound) {
  struct Case {
    const char* what;
    const char* cmd;
    ViStatus want;
  } cases[] = {
      {"text where the header belongs", "BLOCK? 20 mark=58", VI_ERROR_SYSTEM_ERROR},
      {"indefinite length", "BLOCK? 20 digit=0", VI_ERROR_SYSTEM_ERROR},
      {"binary length with a stray byte", "BLOCK? 20 bin binbad", VI_ERROR_SYSTEM_ERROR},
      {"more announced than ever comes", "BLOCK? 100000 pause=1000:3600000", VI_ERROR_TMO},
      {"the peer goes away inside the data", "BLOCK? 100000 drop=50000", VI_ERROR_CONN_LOST},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ViInt32 id = open_faulty();
    ASSERT_GT(id, 0);
    std::vector<uint8_t> buf(100000);
    ViInt32 n = -1;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c.want, vx_comm_readBlock(id, c.cmd, buf.data(), (ViInt32)buf.size(), &n));
    EXPECT_LT(elapsed_ms(start), kBoundMs);
    EXPECT_EQ(-1, n);
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  }
}

// The simulator's VANISHnn devices leave the bus at their nn+1st transfer.
TEST(UsbFaults, DeviceVanishingBeforeEachTransferOfASession) {
  for (int n = 1; n <= 12; ++n) {
    char address[40];
    snprintf(address, sizeof address, "USB-0000000000VANISH%02d", n);
    SCOPED_TRACE(address);
    ViInt32 id = -1;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(VI_SUCCESS, vx_comm_open(address, 0, &id));
    EXPECT_LT(elapsed_ms(start), kBoundMs);
    if (id < 1) continue;  // gone during the open: a failed connection
    ViStatus s[4];
    double took[4];
    auto timed = [&](int i, ViStatus status, std::chrono::steady_clock::time_point since) {
      s[i] = status;
      took[i] = elapsed_ms(since);
    };
    start = std::chrono::steady_clock::now();
    timed(0, vx_comm_clear(id), start);
    start = std::chrono::steady_clock::now();
    std::string idn = query(id, "*IDN?", &s[1]);
    took[1] = elapsed_ms(start);
    start = std::chrono::steady_clock::now();
    std::string echo = query(id, "ECHO last", &s[2]);
    took[2] = elapsed_ms(start);
    start = std::chrono::steady_clock::now();
    timed(3, vx_comm_setTmoMs(id, 100), start);
    bool gone = false;
    for (int i = 0; i < 4; ++i) {
      EXPECT_TRUE(is_library_status(s[i])) << i << ": " << s[i];
      EXPECT_LT(took[i], kBoundMs) << i;
      if (gone && i < 3) {
        EXPECT_NE(VI_SUCCESS, s[i]) << i << ": a device that was gone answered";
        EXPECT_LT(took[i], 200) << i << ": a device that was gone made the call wait";
      }
      if (i < 3 && s[i] != VI_SUCCESS) gone = true;
    }
    if (s[1] == VI_SUCCESS) {
      EXPECT_EQ(0u, idn.find("Vextron AG,")) << idn;
    }
    if (s[2] == VI_SUCCESS) {
      EXPECT_EQ("last\n", echo);
    }
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
    // Once gone it stays gone; otherwise it opens again.
    ASSERT_EQ(VI_SUCCESS, vx_comm_open(address, 0, &id));
    if (gone) {
      EXPECT_EQ(-1, id);
    }
    if (id > 0) vx_comm_close(id);
  }
}

}  // namespace

namespace {

// A VISA library whose k-th call fails, for every k of a session: load,
// open, query, timeout, clear, query, close, search.
TEST(VisaFaults, ErrorAtEveryCallInTurn) {
  const ViStatus kInjected = (ViStatus)0xBFFF003EUL;  // VI_ERROR_IO
  const std::string table = vx_test_temp_dir() + "/vx_fault_visa.txt";
  {
    std::ofstream out(table, std::ios::binary);
    out << "USB0::0x03EB::0xAFFF::4711::INSTR idn Vextron AG,VX-1,4711,1.0\n";
  }
  vx_test_setenv("VXVISA_TABLE", table);
  const std::string address = "TCPIP0::" + sim_addr(0) + "::18::SOCKET";
  auto sound = [&](ViStatus s) { return is_library_status(s) || s == kInjected; };
  int fired = 0;
  for (int k = 1; k <= 30; ++k) {
    SCOPED_TRACE("call " + std::to_string(k) + " fails");
    vx_test_setenv("VXVISA_FAIL", std::to_string(k) + ":" + std::to_string(kInjected) + ":case" + std::to_string(k));
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(VI_SUCCESS, vx_comm_loadVisa());
    bool clean = true;
    ViInt32 id = -1;
    EXPECT_EQ(VI_SUCCESS, vx_comm_open(address.c_str(), 0, &id));
    if (id > 0) {
      std::vector<ViStatus> seen;
      ViStatus s = VI_SUCCESS;
      std::string reply = query(id, "ECHO one", &s);
      seen.push_back(s);
      if (s == VI_SUCCESS) {
        EXPECT_EQ("one\n", reply);
      }
      seen.push_back(vx_comm_setTmoMs(id, 500));
      seen.push_back(vx_comm_clear(id));
      reply = query(id, "ECHO two", &s);
      // After a failed first query the instrument may still hold part of
      // it, or its answer may come late: only a clean run fixes the reply.
      if (s == VI_SUCCESS && seen[0] == VI_SUCCESS) {
        EXPECT_EQ("two\n", reply);
      }
      seen.push_back(s);
      for (ViStatus v : seen) {
        EXPECT_TRUE(sound(v)) << v;
        clean = clean && v == VI_SUCCESS;
      }
      EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
    } else {
      clean = false;
    }
    char list[1024] = "@";
    ViInt32 n = -1;
    ViStatus f = vx_comm_find(list, 300, sizeof list, &n, IFACE_VISA);
    EXPECT_TRUE(f == VI_SUCCESS || f == VI_SUCCESS_MAX_CNT) << f;
    std::string found(list, n > 0 ? (size_t)n : 0);
    if (found != "VX-1:4711:USB0::0x03EB::0xAFFF::4711::INSTR;") {
      clean = false;
      EXPECT_TRUE(found.empty()) << found;  // the only entry, whole, or none
    }
    vx_comm_freeVisa();
    EXPECT_LT(elapsed_ms(start), 5000);
    if (!clean) fired++;
  }
  EXPECT_GT(fired, 10);
  vx_test_setenv("VXVISA_FAIL", "");
  remove(table.c_str());
  expect_table_empty();
}

}  // namespace

namespace {

// A read with nothing to answer times out and its cancel is answered late:
// within the bus's 1000 ms the device stays usable, beyond it the device is
// taken as gone and every later call fails at once.
TEST(UsbFaults, CancelAnsweredLate) {
  struct Case {
    const char* address;
    bool staysUsable;
  } cases[] = {{"USB-00000000LATECANCEL", true}, {"USB-0000000000LATEGONE", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    ViInt32 id = open_link(c.address);
    ASSERT_GT(id, 0);
    ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 200));
    char buf[64];
    ViInt32 n = -1;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VI_ERROR_TMO, vx_comm_gets(id, buf, sizeof buf, &n));  // nothing was asked
    EXPECT_LT(elapsed_ms(start), kBoundMs);
    ViStatus s = VI_SUCCESS;
    start = std::chrono::steady_clock::now();
    std::string reply = query(id, "ECHO after", &s);
    if (c.staysUsable) {
      EXPECT_EQ(VI_SUCCESS, s);
      EXPECT_EQ("after\n", reply);
    } else {
      EXPECT_EQ(VI_ERROR_TMO, s);
      EXPECT_LT(elapsed_ms(start), 200);
    }
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  }
}

// A host that forks while a USB link is open (a test runner, a shell-out, a
// watchdog): once the parent closes the link, the device is free again even
// though the child lives on, and the child's copy of the link fails like a
// device that has gone, without reaching the device.
TEST(UsbFaults, ForkedChildKeepsNothingOfItsParentsLinks) {
  const std::string address = route_address(Route::Usb, 7);
  ViInt32 id = open_link(address);
  ASSERT_GT(id, 0);
  int toChild[2], fromChild[2];
  ASSERT_EQ(0, pipe(toChild));
  ASSERT_EQ(0, pipe(fromChild));
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(toChild[1]);
    ViInt32 n = -1;
    ViStatus s = vx_comm_write(id, "*IDN?\n", 6, &n);
    ssize_t told = write(fromChild[1], &s, sizeof s);
    struct pollfd p = {toChild[0], POLLIN, 0};
    poll(&p, 1, 10000);  // lives on until the parent is done
    _exit(told == (ssize_t)sizeof s ? 0 : 1);
  }
  ViStatus childStatus = VI_SUCCESS;
  struct pollfd p = {fromChild[0], POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 5000));
  ASSERT_EQ((ssize_t)sizeof childStatus, read(fromChild[0], &childStatus, sizeof childStatus));
  EXPECT_EQ(VI_ERROR_TMO, childStatus);  // as on a device that has gone

  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  ViInt32 again = open_link(address);
  EXPECT_GT(again, 0) << "the child still holds the device";
  if (again > 0) {
    EXPECT_EQ(0u, query(again, "*IDN?").find("Vextron AG,"));
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(again));
  }
  close(toChild[1]);
  int status = -1;
  EXPECT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(toChild[0]);
  close(fromChild[0]);
  close(fromChild[1]);
}

// Completions for ids the library never gave are not taken for its own.
TEST(UsbFaults, CompletionsForIdsNeverGivenAreIgnored) {
  ViInt32 id = open_link("USB-0000000000000STRAY");
  ASSERT_GT(id, 0);
  EXPECT_EQ(VI_SUCCESS, vx_comm_clear(id));
  EXPECT_EQ(0u, query(id, "*IDN?").find("Vextron AG,UM-"));
  EXPECT_EQ("stray\n", query(id, "ECHO stray"));
  std::vector<uint8_t> buf(3000);
  ViInt32 got = 0;
  EXPECT_EQ(VI_SUCCESS, vx_comm_readBlock(id, "BLOCK? 3000", buf.data(), 3000, &got));
  EXPECT_EQ(3000, got);
  EXPECT_TRUE(is_pattern(buf.data(), 3000));
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

}  // namespace
