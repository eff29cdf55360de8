// VXI-11 links and the VXI-11 search against the simulator's VXI-11 server,
// run by the vxi11_api test with one instrument per behaviour of real
// instruments (tests/CMakeLists.txt): 127.0.0.2 plain, .3 replies in 5-byte
// fragments and a portmapper without the last-fragment bit, .4/.5/.6
// refusing create_link with errors 3/9/11, .7 maxRecvSize 0, .8 maxRecvSize
// 2^32-1, .9 without the controls (error 8) and dropping the connection
// when a link's session ends (CLOSE), .10 answering each device_read after
// 1.5 s; hostile or broken ones: .11 answering device_read after 1.0 s
// whatever its io_timeout (the reply's end 1 s later), .12 answering
// nothing after create_link and its broadcast GETPORT 1.5 s late, .13/.14/
// .15 answering every call on a link with error 11/17/21, .16 sending 200
// forged GETPORT replies with each of its own, .17 refusing the waiting
// form of a lock (lock_api_test.cpp), .18 refusing create_intr_chan
// (error 8), .19 giving its first link the id 0. Service requests common
// to every route are in srq_api_test.cpp.
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "api_util.h"

namespace {

std::string vxi11(const std::string& host) { return "TCPIP0::" + host + "::inst0::INSTR"; }

const char kIdn[] = "VXSIM,MODEL-100,SNVX0000000000000000,1.0\n";

void write_line(ViInt32 id, const char* line) { EXPECT_EQ(VI_SUCCESS, vx_comm_puts(id, line, 0, nullptr)); }

std::string read_reply(ViInt32 id) {
  char buf[256];
  ViInt32 n = 0;
  return vx_comm_gets(id, buf, sizeof buf, &n) == VI_SUCCESS ? std::string(buf, (size_t)n) : std::string();
}

bool vxi11_suite() { return std::getenv("VX_VXI11_SUITE") != nullptr; }

#define REQUIRE_VXI11_SUITE() \
  if (!vxi11_suite()) GTEST_SKIP() << "run by the vxi11_api test (its instruments)"

}  // namespace

// Lines, a write of many chunks, and a block, over every link the
// instruments' habits allow.
TEST(Vxi11Link, LinesChunksAndBlocksOverEveryHabit) {
  REQUIRE_VXI11_SUITE();
  const struct {
    const char* host;
    const char* habit;
  } cases[] = {{"127.0.0.2", "plain"},
               {"127.0.0.3", "5-byte fragments, portmapper without last-fragment bit"},
               {"127.0.0.7", "maxRecvSize 0"},
               {"127.0.0.8", "maxRecvSize 2^32-1"}};
  const std::string text(3000, 'x');  // three chunks and more at 1024 bytes
  for (const auto& c : cases) {
    SCOPED_TRACE(c.habit);
    ViInt32 id = open_link(vxi11(c.host));
    ASSERT_GT(id, 0);
    EXPECT_EQ(0u, query(id, "*IDN?").rfind("VXSIM,MODEL-1", 0));
    EXPECT_EQ(text + "\n", query(id, "ECHO " + text));
    std::string block(20000, '\0');
    ViInt32 got = 0;
    EXPECT_EQ(VI_SUCCESS, vx_comm_readBlock(id, "BLOCK? 20000", &block[0], 20000, &got));
    EXPECT_EQ(20000, got);
    EXPECT_EQ(pattern(20000), block);
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  }
}

TEST(Vxi11Link, ABlockEndsItsMessageOnItsLastByte) {
  REQUIRE_VXI11_SUITE();
  ViInt32 id = open_link(vxi11("127.0.0.7"));  // maxRecvSize 0: chunks of 1024
  ASSERT_GT(id, 0);
  expect_blocks_end_their_message(id);
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

TEST(Vxi11Link, RefusedCreateLinkFailsTheOpenWithALogLine) {
  REQUIRE_VXI11_SUITE();
  const struct {
    const char* host;
    const char* line;
  } cases[] = {{"127.0.0.4", "VXI-11 error 3 (device not accessible)"},
               {"127.0.0.5", "VXI-11 error 9 (out of resources)"},
               {"127.0.0.6", "VXI-11 error 11 (device locked by another link)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    TempLog log("vxi11_refused");
    vx_usb_startdebug(log.path.c_str());
    ViInt32 id = 7;
    EXPECT_EQ(VI_SUCCESS, vx_comm_open(vxi11(c.host).c_str(), 1000, &id));
    vx_usb_stopdebug();
    EXPECT_EQ(-1, id);
    EXPECT_NE(std::string::npos, log.text().find(c.line)) << log.text();
  }
}

// The device's own io_timeout (error 15) ends the read, well before the
// socket's wait would.
TEST(Vxi11Link, DeviceTimeoutIsTmo) {
  REQUIRE_VXI11_SUITE();
  ViInt32 id = open_link(vxi11("127.0.0.2"));
  ASSERT_GT(id, 0);
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 200));
  char buf[16];
  ViInt32 got = -1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_read(id, buf, sizeof buf, &got));
  EXPECT_LT(elapsed_ms(start), 1000);
  EXPECT_EQ(0, got);
  EXPECT_EQ(std::string(kIdn), query(id, "*IDN?")) << "the link works after a timeout";
  vx_comm_close(id);
}

// A read under a long timeout after one under a short timeout: the socket
// keeps the shorter wait the first read left on it, and the long read must
// still wait for its own limit, not end at the short one's.
TEST(Vxi11Link, ALongTimeoutAfterAShortOneWaitsItsOwn) {
  REQUIRE_VXI11_SUITE();
  ViInt32 id = open_link(vxi11("127.0.0.10"));
  ASSERT_GT(id, 0);
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 100));
  write_line(id, "*IDN?");
  char buf[64];
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_read(id, buf, sizeof buf, nullptr));
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 5000));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ("VXSIM,MODEL-108,SNVX0000000000000008,1.0\n", read_reply(id)) << "the reply comes after 1.5 s, within 5 s";
  EXPECT_LT(elapsed_ms(start), 4500);
  vx_comm_close(id);
}

// A read with no time limit and nothing to read: close and clear_async end
// it within about a second.
TEST(Vxi11Link, CloseAndClearEndAReadWithNoLimit) {
  REQUIRE_VXI11_SUITE();
  for (bool byClose : {true, false}) {
    SCOPED_TRACE(byClose ? "close" : "clear_async");
    ViInt32 id = open_link(vxi11("127.0.0.2"));
    ASSERT_GT(id, 0);
    ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 0));
    std::future<ViStatus> blocked = std::async(std::launch::async, [id] {
      char buf[64];
      return vx_comm_read(id, buf, sizeof buf, nullptr);
    });
    ASSERT_EQ(std::future_status::timeout, blocked.wait_for(std::chrono::milliseconds(300))) << "did not block";
    auto start = std::chrono::steady_clock::now();
    const ViStatus ended = byClose ? vx_comm_close(id) : vx_comm_clear_async(id);
    ASSERT_EQ(std::future_status::ready, blocked.wait_for(std::chrono::milliseconds(1500)));
    EXPECT_LT(elapsed_ms(start), 1500);
    EXPECT_EQ(VI_SUCCESS, ended);
    EXPECT_EQ(byClose ? VI_ERROR_CONN_LOST : VI_ERROR_TMO, blocked.get());
    if (!byClose) {
      EXPECT_EQ("1\n", query(id, "CLEARCOUNT?")) << "the clear reached the device after the abort";
      EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
    }
  }
}

// The IEEE 488 controls as device_readstb, device_trigger, device_remote
// and device_local; the lockout modes VXI-11 cannot express.
TEST(Vxi11Link, ControlsReachTheDevice) {
  REQUIRE_VXI11_SUITE();
  ViInt32 id = open_link(vxi11("127.0.0.2"));
  ASSERT_GT(id, 0);
  auto stb = [id] {
    ViUInt16 v = 999;
    EXPECT_EQ(VI_SUCCESS, vx_comm_readStb(id, &v));
    return (int)v;
  };
  auto remote = [id](ViUInt16 mode) { return vx_comm_remote(id, mode); };
  const std::string triggers = query(id, "TRIGCOUNT?");
  const struct {
    const char* what;
    std::function<void()> act;
    const char* command;  // a query and its answer after `act`
    const char* answer;
  } rows[] = {
      {"STB 66: the serial poll takes RQS (64) away",
       [&] {
         write_line(id, "STB 66");
         EXPECT_EQ(66, stb());
         EXPECT_EQ(2, stb());
       },
       "*STB?", "2\n"},
      {"MAV while a reply waits",
       [&] {
         write_line(id, "*IDN?");
         EXPECT_EQ(2 | 16, stb());
         EXPECT_EQ(std::string(kIdn), read_reply(id));
         EXPECT_EQ(2, stb());
       },
       "", ""},
      {"trigger", [&] { ASSERT_EQ(VI_SUCCESS, vx_comm_trigger(id)); }, "TRIGCOUNT?", ""},
      {"ASSERT_ADDRESS", [&] { EXPECT_EQ(VI_SUCCESS, remote(VI_GPIB_REN_ASSERT_ADDRESS)); }, "REMOTE?", "1\n"},
      {"DEASSERT_GTL", [&] { EXPECT_EQ(VI_SUCCESS, remote(VI_GPIB_REN_DEASSERT_GTL)); }, "REMOTE?", "0\n"},
      {"ASSERT", [&] { EXPECT_EQ(VI_SUCCESS, remote(VI_GPIB_REN_ASSERT)); }, "REMOTE?", "1\n"},
      {"ADDRESS_GTL", [&] { EXPECT_EQ(VI_SUCCESS, remote(VI_GPIB_REN_ADDRESS_GTL)); }, "REMOTE?", "0\n"},
      {"ASSERT_ADDRESS_LLO", [&] { EXPECT_EQ(VI_ERROR_NSUP_OPER, remote(VI_GPIB_REN_ASSERT_ADDRESS_LLO)); }, "REMOTE?",
       "0\n"},
      {"ASSERT_LLO", [&] { EXPECT_EQ(VI_ERROR_NSUP_OPER, remote(VI_GPIB_REN_ASSERT_LLO)); }, "REMOTE?", "0\n"},
      {"ASSERT again", [&] { EXPECT_EQ(VI_SUCCESS, remote(VI_GPIB_REN_ASSERT)); }, "REMOTE?", "1\n"},
      {"DEASSERT", [&] { EXPECT_EQ(VI_SUCCESS, remote(VI_GPIB_REN_DEASSERT)); }, "REMOTE?", "0\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    row.act();
    if (std::string(row.command) == "TRIGCOUNT?") {
      EXPECT_EQ(std::to_string(std::stoi(triggers) + 1) + "\n", query(id, row.command));
    } else if (row.command[0] != '\0') {
      EXPECT_EQ(row.answer, query(id, row.command));
    }
  }
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

// An instrument that answers error 8 to the controls: not supported, and
// the link goes on.
TEST(Vxi11Link, ControlsTheDeviceLacksAreNotSupported) {
  REQUIRE_VXI11_SUITE();
  ViInt32 id = open_link(vxi11("127.0.0.9"));
  ASSERT_GT(id, 0);
  ViUInt16 stb = 77;
  EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_readStb(id, &stb));
  EXPECT_EQ(77, stb);
  EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_trigger(id));
  EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_remote(id, VI_GPIB_REN_ASSERT_ADDRESS));
  EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_remote(id, VI_GPIB_REN_DEASSERT_GTL));
  EXPECT_EQ(0u, query(id, "*IDN?").rfind("VXSIM,MODEL-1", 0)) << "the link works on";
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

// The instrument closes the connection: the read that meets it and every
// call after it report VI_ERROR_CONN_LOST, promptly.
TEST(Vxi11Link, ALostConnectionIsConnLost) {
  REQUIRE_VXI11_SUITE();
  ViInt32 id = open_link(vxi11("127.0.0.9"));
  ASSERT_GT(id, 0);
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 2000));
  write_line(id, "CLOSE");
  char buf[16];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_read(id, buf, sizeof buf, nullptr));
  EXPECT_LT(elapsed_ms(start), 1500);
  ViUInt16 stb = 0;
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_readStb(id, &stb));
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_write(id, "*IDN?\n", 6, nullptr));
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

// A reply that comes after its read gave up (one cut in the middle by the
// deadline, too) is dropped by its xid; the link works on.
TEST(Vxi11Link, ALateReplyIsDroppedAndTheLinkLivesOn) {
  REQUIRE_VXI11_SUITE();
  ViInt32 id = open_link(vxi11("127.0.0.11"));
  ASSERT_GT(id, 0);
  TempLog log("vxi11_late");
  vx_usb_startdebug(log.path.c_str());
  // The socket waits 1600 ms (lock and I/O timeouts of 300 ms, and 1 s):
  // the reply begins at 1.0 s and ends at 2.0 s.
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 300));
  write_line(id, "*IDN?");
  char buf[64];
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_read(id, buf, sizeof buf, nullptr));
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 5000));
  EXPECT_EQ(0u, query(id, "*IDN?").rfind("VXSIM,MODEL-109,", 0)) << "the link works after the late reply";
  vx_usb_stopdebug();
  const std::string text = log.text();
  EXPECT_NE(std::string::npos, text.find("device_read had no reply within 1600 ms (its reply came in part); the link "
                                         "stays usable"))
      << text;
  EXPECT_NE(std::string::npos, text.find("dropped 1 late reply(ies) to an earlier call")) << text;
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

// A close flushes held-back bytes and destroys the link within one short
// wait, whatever the link timeout, even when the instrument says nothing.
TEST(Vxi11Link, CloseOfASilentInstrumentIsBounded) {
  REQUIRE_VXI11_SUITE();
  for (ViInt32 tmo : {0, 10000}) {
    SCOPED_TRACE(tmo);
    ViInt32 id = open_link(vxi11("127.0.0.12"));
    ASSERT_GT(id, 0);
    ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, tmo));
    ASSERT_EQ(VI_SUCCESS, vx_comm_write(id, "VOLT 1", 6, nullptr));  // held back: no line end
    auto start = std::chrono::steady_clock::now();
    // On a thread of its own, so that a close that hangs fails the test
    // instead of holding it.
    auto closed = std::make_shared<std::promise<ViStatus>>();
    std::thread([id, closed] { closed->set_value(vx_comm_close(id)); }).detach();
    auto done = closed->get_future();
    ASSERT_EQ(std::future_status::ready, done.wait_for(std::chrono::milliseconds(3000)));
    EXPECT_EQ(VI_SUCCESS, done.get());
    EXPECT_LT(elapsed_ms(start), 1500);
  }
}

// The device's error codes as the VISA statuses they mean, each with a log
// line naming the code; a busy instrument (11) is VI_ERROR_RSRC_LOCKED.
TEST(Vxi11Link, DeviceErrorCodesAreTheirVisaStatuses) {
  REQUIRE_VXI11_SUITE();
  const struct {
    const char* host;
    ViStatus status;
    const char* line;
  } cases[] = {
      {"127.0.0.13", VI_ERROR_RSRC_LOCKED, "VXI-11 error 11 (device locked by another link): VI_ERROR_RSRC_LOCKED"},
      {"127.0.0.14", VI_ERROR_IO, "VXI-11 error 17 (I/O error): VI_ERROR_IO"},
      {"127.0.0.15", VI_ERROR_INV_RSRC_NAME, "VXI-11 error 21 (invalid address): VI_ERROR_INV_RSRC_NAME"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    ViInt32 id = open_link(vxi11(c.host));
    ASSERT_GT(id, 0);
    TempLog log("vxi11_errors");
    vx_usb_startdebug(log.path.c_str());
    char buf[16];
    ViUInt16 stb = 0;
    EXPECT_EQ(c.status, vx_comm_write(id, "*IDN?\n", 6, nullptr));
    EXPECT_EQ(c.status, vx_comm_read(id, buf, sizeof buf, nullptr));
    EXPECT_EQ(c.status, vx_comm_readStb(id, &stb));
    EXPECT_EQ(c.status, vx_comm_trigger(id));
    EXPECT_EQ(c.status, vx_comm_clear(id));
    char reason[256];
    EXPECT_EQ(VI_SUCCESS, vx_comm_lastError(reason, sizeof reason));
    EXPECT_NE(nullptr, strstr(reason, c.line)) << reason;
    vx_usb_stopdebug();
    EXPECT_NE(std::string::npos, log.text().find("device_write answered " + std::string(c.line))) << log.text();
    EXPECT_NE(std::string::npos, log.text().find("device_readstb answered " + std::string(c.line))) << log.text();
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  }
}

// A device that refuses the interrupt channel: service requests are not
// supported, with the device's error in the log, and the channel it never
// made is not destroyed, then or at close (the simulator would answer
// error 6, which the log would show).
TEST(Vxi11Link, ServiceRequestsADeviceRefusesAreNotSupported) {
  REQUIRE_VXI11_SUITE();
  ViInt32 id = open_link(vxi11("127.0.0.18"));
  ASSERT_GT(id, 0);
  TempLog log("vxi11_nointr");
  vx_usb_startdebug(log.path.c_str());
  EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_enableSrq(id, 1));
  ViUInt16 stb = 0;
  EXPECT_EQ(VI_ERROR_NENABLED, vx_comm_waitSrq(id, 0, &stb, nullptr));
  EXPECT_EQ(0u, query(id, "*IDN?").rfind("VXSIM,MODEL-1", 0)) << "the link works on";
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  vx_usb_stopdebug();
  const std::string text = log.text();
  EXPECT_NE(std::string::npos,
            text.find("create_intr_chan answered VXI-11 error 8 (operation not supported): VI_ERROR_NSUP_OPER"))
      << text;
  EXPECT_EQ(std::string::npos, text.find("destroy_intr_chan")) << text;
}

// Link id 0 is a link like any other: its service requests arrive.
TEST(Vxi11Link, ServiceRequestsOnLinkIdZero) {
  REQUIRE_VXI11_SUITE();
  ViInt32 id = open_link(vxi11("127.0.0.19"));
  ASSERT_GT(id, 0);
  EXPECT_EQ(VI_SUCCESS, vx_comm_enableSrq(id, 1));
  write_line(id, "SRQ");
  ViUInt16 stb = 0;
  EXPECT_EQ(VI_SUCCESS, vx_comm_waitSrq(id, 5000, &stb, nullptr));
  EXPECT_EQ(0x40, stb & 0x40);
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

// Forged portmapper replies (200 from .16, naming a port where nothing
// listens) list no ghost and crowd out no instrument; a responder that
// answers at 1.5 s and then goes silent is probed only for the time left;
// VI_SUCCESS_MAX_CNT says only that the caller's buffer was too small.
TEST(Vxi11Find, ForgedAndLateRepliesKeepTheListAndTheLimit) {
  REQUIRE_VXI11_SUITE();
  static char list[16384];
  ViInt32 n = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(VI_SUCCESS, vx_comm_find(list, 2000, sizeof list, &n, IFACE_VXI11));
  EXPECT_LT(elapsed_ms(start), 2600);
  const std::string found(list, (size_t)n);
  EXPECT_EQ(std::string::npos, found.find("127.77.")) << found;
  for (int host = 2; host <= 16; ++host) {
    if (host == 12) continue;  // its reply comes late; it may or may not make it
    EXPECT_NE(std::string::npos, found.find("::127.0.0." + std::to_string(host) + "::inst0::INSTR;")) << found;
  }
  char small[80];
  EXPECT_EQ(VI_SUCCESS_MAX_CNT, vx_comm_find(small, 500, sizeof small, &n, IFACE_VXI11));
}

TEST(Vxi11Find, ListsEveryResponderAndTheUnidentifiedEmpty) {
  REQUIRE_VXI11_SUITE();
  char list[4096];
  ViInt32 n = 0;
  EXPECT_EQ(VI_SUCCESS, vx_comm_find(list, 1000, sizeof list, &n, IFACE_VXI11));
  const std::string found(list, (size_t)n);
  EXPECT_NE(std::string::npos, found.find("MODEL-100:SNVX0000000000000000:TCPIP0::127.0.0.2::inst0::INSTR;")) << found;
  EXPECT_NE(std::string::npos, found.find("::TCPIP0::127.0.0.6::inst0::INSTR;")) << "refuses links: " << found;
  EXPECT_EQ(std::string::npos, found.find(":127.0.0.2;")) << "no LAN search: " << found;
  // Each listed address opens.
  ViInt32 id = open_link(vxi11("127.0.0.3"));
  EXPECT_GT(id, 0);
  vx_comm_close(id);
}

// Run by vxi11_rpcbind_api: the core channel's port comes from Debian's
// rpcbind (tests/vxi11/rpcbind_check.sh).
TEST(Vxi11Rpcbind, OpensThroughRpcbind) {
  if (!std::getenv("VX_VXI11_RPCBIND")) GTEST_SKIP() << "run by the vxi11_rpcbind_api test";
  ViInt32 id = open_link(vxi11("127.0.0.2"));
  ASSERT_GT(id, 0);
  EXPECT_EQ(std::string(kIdn), query(id, "*IDN?"));
  vx_comm_close(id);
}
