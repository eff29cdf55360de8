// HiSLIP links against the simulator's HiSLIP server and its faults
// (tests/CMakeLists.txt, hislip_api: one instrument per fault, in the order
// of kFault below), through the exports only.
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "api_util.h"

namespace {

using Clock = std::chrono::steady_clock;

// The instruments of hislip_api, 127.0.0.2 upwards.
enum Fault {
  PLAIN, SLOW, INTERRUPT, FATAL, ENCRYPT, SAMEID, MAXMSG_BIG, STB_EARLY, INTERRUPTED_LATE, OVERLAP, MAXMSG_64,
  SERVER_ERROR, BADLEN_INIT, BADLEN_REPLY, BADLEN_OVER, BADLEN_ERROR, BADLEN_STB, STB_LATE
};

// VISA statuses the library's header does not name.
const ViStatus kErrorIo = (ViStatus)(VX_ERROR_BASE_ + 0x3FFF003E);
const ViStatus kErrorNsupMode = (ViStatus)(VX_ERROR_BASE_ + 0x3FFF0046);
const ViStatus kErrorNpermission = (ViStatus)(VX_ERROR_BASE_ + 0x3FFF00A8);

std::string hislip_name(Fault f, const char* device = "hislip0") {
  return "TCPIP0::127.0.0." + std::to_string(2 + (int)f) + "::" + device + "::INSTR";
}

ViInt32 open_hislip(Fault f) {
  vx_comm_freeVisa();  // native names open only without a VISA library
  return open_link(hislip_name(f));
}

std::string gets_line(ViInt32 id, ViStatus* status = nullptr) {
  char buf[4096];
  ViInt32 n = 0;
  ViStatus s = vx_comm_gets(id, buf, sizeof buf, &n);
  if (status) *status = s;
  return s == VI_SUCCESS ? std::string(buf, (size_t)n) : std::string();
}

bool has_line(const std::vector<std::string>& lines, const std::string& part) {
  for (const std::string& l : lines)
    if (l.find(part) != std::string::npos) return true;
  return false;
}

struct Case {
  const char* what;
  Fault fault;
  void (*run)(ViInt32 id);
};

// What the protocol's messages carry and what real servers do with them,
// one row per behaviour, each on the instrument with that habit.
const Case kMessageCases[] = {
    {"a query and its reply, with the port given", PLAIN,
     [](ViInt32 id) {
       EXPECT_EQ(0u, query(id, "*IDN?").find("VXSIM,MODEL-100,"));
       EXPECT_EQ("one two\n", query(id, "ECHO one two"));
     }},
    {"a new query drops the unread rest of a reply the server abandons (Interrupted, then AsyncInterrupted)",
     INTERRUPT,
     [](ViInt32 id) {
       ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "ECHO first reply", 0, nullptr));
       char part[4];
       ViInt32 n = 0;
       ASSERT_EQ(VI_SUCCESS, vx_comm_read(id, part, sizeof part, &n));  // the DataEnd is held back
       EXPECT_EQ("firs", std::string(part, (size_t)n));
       EXPECT_EQ("second\n", query(id, "ECHO second"));
       ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "ECHO never read", 0, nullptr));
       std::this_thread::sleep_for(std::chrono::milliseconds(100));  // its Data wait unread
       EXPECT_EQ("third\n", query(id, "ECHO third"));
     }},
    {"AsyncInterrupted before Interrupted", INTERRUPTED_LATE,
     [](ViInt32 id) {
       ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "ECHO first reply", 0, nullptr));
       std::this_thread::sleep_for(std::chrono::milliseconds(100));
       EXPECT_EQ("second\n", query(id, "ECHO second"));
       ViUInt16 stb = 0;
       EXPECT_EQ(VI_SUCCESS, vx_comm_readStb(id, &stb));  // the AsyncInterrupted waiting there is passed over
       EXPECT_EQ("third\n", query(id, "ECHO third"));
     }},
    {"a reply later than the timeout fails the read, and the next read has it whole", SLOW,
     [](ViInt32 id) {
       // vx_comm_read, since a failed vx_comm_gets clears the device.
       ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 100));
       ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "ECHO late", 0, nullptr));
       char buf[16];
       ViInt32 n = 0;
       auto t0 = Clock::now();
       EXPECT_EQ(VI_ERROR_TMO, vx_comm_read(id, buf, sizeof buf, &n));
       EXPECT_LT(elapsed_ms(t0), 390.0);
       ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 2000));
       ASSERT_EQ(VI_SUCCESS, vx_comm_read(id, buf, sizeof buf, &n));
       EXPECT_EQ("late\n", std::string(buf, (size_t)n));
     }},
    {"the status response arrives while the reply waits on the synchronous channel", STB_EARLY,
     [](ViInt32 id) {
       ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "ECHO pending", 0, nullptr));
       std::this_thread::sleep_for(std::chrono::milliseconds(100));
       ViUInt16 stb = 0;
       ASSERT_EQ(VI_SUCCESS, vx_comm_readStb(id, &stb));
       EXPECT_EQ(0x10, stb & 0x10) << "MAV: a reply is there";
       EXPECT_EQ("pending\n", gets_line(id));
       ASSERT_EQ(VI_SUCCESS, vx_comm_readStb(id, &stb));
       EXPECT_EQ(0, stb & 0x10) << "the reply was delivered (RMT)";
     }},
    {"overlapped mode only: queries sent together come back in order", OVERLAP,
     [](ViInt32 id) {
       ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "ECHO a", 0, nullptr));
       ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "ECHO b", 0, nullptr));
       EXPECT_EQ("a\n", gets_line(id));
       EXPECT_EQ("b\n", gets_line(id));
       ASSERT_EQ(VI_SUCCESS, vx_comm_clear(id));
       ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "ECHO c", 0, nullptr));
       ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "ECHO d", 0, nullptr));
       EXPECT_EQ("c\n", gets_line(id));
       EXPECT_EQ("d\n", gets_line(id));
     }},
    {"a maximum message size of 64: writes go out in pieces the server takes", MAXMSG_64,
     [](ViInt32 id) {
       const std::string data = pattern(5000);
       ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlock(id, "UPLOAD", data.data(), (ViInt32)data.size()));
       EXPECT_EQ(upload_reply(data.size()), gets_line(id));
       const std::string text(300, 'x');
       EXPECT_EQ(text + "\n", query(id, "ECHO " + text));
       // A command held back for its line feed is larger than one message.
       const std::string held = "ECHO " + std::string(95, 'y');
       ViInt32 n = 0;
       ASSERT_EQ(VI_SUCCESS, vx_comm_write(id, held.data(), (ViInt32)held.size(), &n));
       ASSERT_EQ(VI_SUCCESS, vx_comm_write(id, "\n", 1, &n));
       EXPECT_EQ(std::string(95, 'y') + "\n", gets_line(id));
     }},
    {"a block ends its message (DataEnd on its last byte), in one message or many", MAXMSG_64,
     [](ViInt32 id) { expect_blocks_end_their_message(id); }},
    {"a maximum message size of 100,000,000", MAXMSG_BIG,
     [](ViInt32 id) {
       const std::string data = pattern(3u << 20);
       ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlock(id, "UPLOAD", data.data(), (ViInt32)data.size()));
       EXPECT_EQ(upload_reply(data.size()), gets_line(id));
     }},
};

TEST(Hislip, MessageLevelBehaviours) {
  for (const Case& c : kMessageCases) {
    SCOPED_TRACE(c.what);
    vx_comm_freeVisa();
    const std::string name =
        c.fault == PLAIN ? "TCPIP::127.0.0.2::hislip0,4880::INSTR" : hislip_name(c.fault);
    ViInt32 id = open_link(name);
    ASSERT_GT(id, 0);
    c.run(id);
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  }
}

// The server refuses the first query of the session: an Error ends that
// call and the link goes on; a FatalError ends the link too. Either way the
// call log carries the server's code and text.
TEST(Hislip, ServerErrorsEndTheCallWithTheServersText) {
  struct Row {
    Fault fault;
    ViStatus status;  // of the refused query, and of the calls after it
    const char* line;
  };
  const Row rows[] = {
      {SERVER_ERROR, kErrorIo,
       "HiSLIP read error: HiSLIP 127.0.0.13:4880 sent Error 128 (device-defined error): simulated error; VI_ERROR_IO"},
      {FATAL, VI_ERROR_CONN_LOST,
       "sent FatalError 128 (device-defined fatal error): simulated fatal error; the link is closed (VI_ERROR_CONN_LOST)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    TempLog log("hislip_error");
    ViInt32 id = open_hislip(row.fault);
    ASSERT_GT(id, 0);
    vx_usb_startdebug(log.path.c_str());
    ViStatus s = VI_SUCCESS;
    EXPECT_EQ("", query(id, "*IDN?", &s));
    EXPECT_EQ(row.status, s);
    vx_usb_stopdebug();
    EXPECT_TRUE(has_line(log.lines(), row.line)) << log.text();
    ViUInt16 stb = 0;
    if (row.status == VI_ERROR_CONN_LOST) {
      EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_puts(id, "*IDN?", 0, nullptr));
      EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_readStb(id, &stb));
    } else {
      EXPECT_EQ("after\n", query(id, "ECHO after"));
      EXPECT_EQ(VI_SUCCESS, vx_comm_readStb(id, &stb));
    }
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  }
}

TEST(Hislip, OpensFailWithTheirReason) {
  struct Row {
    std::string name;
    std::string line;
  };
  const Row rows[] = {
      {hislip_name(ENCRYPT),
       "vx_comm_open() error: HiSLIP 127.0.0.6:4880 requires an encrypted connection (HiSLIP 2.0 with TLS); this "
       "library speaks HiSLIP 1.0 without encryption"},
      {"TCPIP0::127.0.0.2::hislip0,4881::INSTR", "vx_comm_open() error: failed opening a physical link"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    vx_comm_freeVisa();
    TempLog log("hislip_open");
    vx_usb_startdebug(log.path.c_str());
    ViInt32 id = -7;
    EXPECT_EQ(VI_SUCCESS, vx_comm_open(row.name.c_str(), 1000, &id));
    vx_usb_stopdebug();
    EXPECT_EQ(-1, id);
    EXPECT_TRUE(has_line(log.lines(), row.line)) << log.text();
  }
}

TEST(Hislip, TwoLinksGivenTheSameSessionIdStayApart) {
  ViInt32 a = open_hislip(SAMEID), b = open_hislip(SAMEID);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(a, "ECHO from a", 0, nullptr));
  EXPECT_EQ("from b\n", query(b, "ECHO from b"));
  EXPECT_EQ("from a\n", gets_line(a));
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(a));
  EXPECT_EQ("still b\n", query(b, "ECHO still b"));
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(b));
}

TEST(Hislip, ControlsClearAndTimeouts) {
  ViInt32 id = open_hislip(PLAIN);
  ASSERT_GT(id, 0);
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "STB 34", 0, nullptr));
  ViUInt16 stb = 0;
  ASSERT_EQ(VI_SUCCESS, vx_comm_readStb(id, &stb));
  EXPECT_EQ(34, stb);

  const std::string triggers = query(id, "TRIGCOUNT?");
  EXPECT_EQ(VI_SUCCESS, vx_comm_trigger(id));
  EXPECT_EQ(std::to_string(std::stoi(triggers) + 1) + "\n", query(id, "TRIGCOUNT?"));
  EXPECT_EQ(VI_SUCCESS, vx_comm_remote(id, VI_GPIB_REN_ASSERT_ADDRESS));
  EXPECT_EQ("1\n", query(id, "REMOTE?"));
  EXPECT_EQ(VI_SUCCESS, vx_comm_remote(id, VI_GPIB_REN_DEASSERT_GTL));
  EXPECT_EQ("0\n", query(id, "REMOTE?"));

  // The clear drops an unread reply and starts the message ids again: a
  // status query right after it names an id the server has seen, and is
  // answered at once instead of after the server's wait for that message.
  const std::string clears = query(id, "CLEARCOUNT?");
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "ECHO dropped", 0, nullptr));
  ASSERT_EQ(VI_SUCCESS, vx_comm_clear(id));
  auto t0 = Clock::now();
  ASSERT_EQ(VI_SUCCESS, vx_comm_readStb(id, &stb));
  EXPECT_LT(elapsed_ms(t0), 700.0);
  EXPECT_EQ(0, stb & 0x10);
  EXPECT_EQ(std::to_string(std::stoi(clears) + 1) + "\n", query(id, "CLEARCOUNT?"));

  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 200));
  char buf[16];
  ViInt32 n = 0;
  t0 = Clock::now();
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_read(id, buf, sizeof buf, &n));
  EXPECT_LT(elapsed_ms(t0), 1000.0);
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

TEST(Hislip, BlocksBothWays) {
  ViInt32 id = open_hislip(PLAIN);
  ASSERT_GT(id, 0);
  const size_t size = 5u << 20;
  std::vector<char> buf(size);
  ViInt32 n = 0;
  ASSERT_EQ(VI_SUCCESS, vx_comm_readBlock(id, ("BLOCK? " + std::to_string(size)).c_str(), buf.data(),
                                          (ViInt32)size, &n));
  ASSERT_EQ((ViInt32)size, n);
  EXPECT_TRUE(std::string(buf.data(), size) == pattern(size));
  const std::string data = pattern(size);
  ASSERT_EQ(VI_SUCCESS, vx_comm_writeBlock(id, "UPLOAD", data.data(), (ViInt32)data.size()));
  EXPECT_EQ(upload_reply(size), gets_line(id));
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

// A read without a time limit on an instrument that never answers: the
// close, or a clear from another thread, ends it within about a second.
TEST(Hislip, CloseAndClearAsyncEndAReadWithoutLimit) {
  for (bool byClose : {true, false}) {
    SCOPED_TRACE(byClose ? "close" : "clear_async");
    ViInt32 id = open_hislip(PLAIN);
    ASSERT_GT(id, 0);
    ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 0));
    std::future<ViStatus> blocked = std::async(std::launch::async, [id] {
      char buf[64];
      ViInt32 n = 0;
      return vx_comm_read(id, buf, sizeof buf, &n);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(blocked.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout) << "did not block";
    auto t0 = Clock::now();
    if (byClose)
      EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
    else
      EXPECT_EQ(VI_SUCCESS, vx_comm_clear_async(id));
    const bool ended = blocked.wait_for(std::chrono::milliseconds(1500)) == std::future_status::ready;
    EXPECT_TRUE(ended);
    EXPECT_LT(elapsed_ms(t0), 1200.0);
    if (!ended) vx_comm_close(id);  // so that the read ends and the test does not hang
    EXPECT_EQ(byClose ? VI_ERROR_CONN_LOST : VI_ERROR_TMO, blocked.get());
    if (!byClose && ended) {
      EXPECT_EQ("after\n", query(id, "ECHO after"));
      EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
    }
  }
}

// Each Error code becomes the status it means, and the log says which.
TEST(Hislip, ServerErrorCodesBecomeTheirStatuses) {
  struct Row {
    int code;
    ViStatus status;
    const char* line;
  };
  const Row rows[] = {
      {0, kErrorIo, "sent Error 0 (unidentified error): simulated error 0; VI_ERROR_IO"},
      {1, VI_ERROR_NSUP_OPER, "sent Error 1 (unrecognized message type): simulated error 1; VI_ERROR_NSUP_OPER"},
      {2, kErrorNsupMode, "sent Error 2 (unrecognized control code): simulated error 2; VI_ERROR_NSUP_MODE"},
      {3, VI_ERROR_NSUP_OPER, "sent Error 3 (unrecognized vendor-defined message): simulated error 3; VI_ERROR_NSUP_OPER"},
      {4, kErrorIo, "sent Error 4 (message too large): simulated error 4; VI_ERROR_IO"},
      {5, kErrorNpermission, "sent Error 5 (authentication failed): simulated error 5; VI_ERROR_NPERMISSION"},
      {200, kErrorIo, "sent Error 200 (device-defined error): simulated error 200; VI_ERROR_IO"},
  };
  ViInt32 id = open_hislip(SERVER_ERROR);
  ASSERT_GT(id, 0);
  char buf[64];
  ViInt32 n = 0;
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "*IDN?", 0, nullptr));
  ASSERT_NE(VI_SUCCESS, vx_comm_read(id, buf, sizeof buf, &n));  // the instrument's first refusal
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    TempLog log("hislip_code");
    vx_usb_startdebug(log.path.c_str());
    ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, ("HISLIPERROR " + std::to_string(row.code)).c_str(), 0, nullptr));
    EXPECT_EQ(row.status, vx_comm_read(id, buf, sizeof buf, &n));
    vx_usb_stopdebug();
    EXPECT_TRUE(has_line(log.lines(), row.line)) << log.text();
  }
  EXPECT_EQ("after\n", query(id, "ECHO after"));
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

// A write to an instrument that reads nothing ends with the link's first
// timeout (1000 ms, never set here) and counts what went, on every LAN
// route that streams bytes.
TEST(Hislip, LanWritesToAPeerThatReadsNothingTimeOut) {
  const std::string names[] = {"TCP-127.0.0.2", "TCPIP0::127.0.0.2::5025::SOCKET", hislip_name(PLAIN)};
  const std::string data(32u << 20, 'x');
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    vx_comm_freeVisa();
    ViInt32 id = open_link(name);
    ASSERT_GT(id, 0);
    ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "DEAF 4000", 0, nullptr));
    ViInt32 n = -1;
    auto t0 = Clock::now();
    EXPECT_EQ(VI_ERROR_TMO, vx_comm_writeBlocking(id, data.data(), (ViInt32)data.size(), &n));
    EXPECT_LT(elapsed_ms(t0), 3000.0);
    EXPECT_GT(n, 0);
    EXPECT_LT(n, (ViInt32)data.size());
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  }
}

// A read that times out has waited its whole timeout, never a moment less:
// a caller that checks its own clock against the timeout (the pyvisa
// backend does) would otherwise read a second time.
TEST(Hislip, AReadTimesOutNoEarlierThanItsTimeout) {
  ViInt32 id = open_hislip(PLAIN);
  ASSERT_GT(id, 0);
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 150));
  for (int i = 0; i < 10; ++i) {
    char buf[16];
    ViInt32 n = 0;
    auto t0 = Clock::now();
    EXPECT_EQ(VI_ERROR_TMO, vx_comm_read(id, buf, sizeof buf, &n));
    EXPECT_GE(elapsed_ms(t0), 150.0);
  }
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

// A length above what the client allows (it announces 1 MiB), or a payload
// on a message that has none, ends the link at once; it does not wedge it.
TEST(Hislip, LengthsAboveTheMaximumEndTheLink) {
  enum Call { OPEN, QUERY, STB };
  struct Row {
    Fault fault;
    Call call;
    const char* line;
  };
  const Row rows[] = {
      {BADLEN_INIT, OPEN, "sent a message of type 1 with 9223372036854775808 payload bytes, above the 0 it may carry"},
      {BADLEN_REPLY, QUERY, "sent a message of type 7 with 9223372036854775808 payload bytes, above the 1048576"},
      {BADLEN_OVER, QUERY, "sent a message of type 6 with 1048577 payload bytes, above the 1048576"},
      {BADLEN_ERROR, QUERY, "sent a message of type 3 with 9223372036854775808 payload bytes, above the 1048576"},
      {BADLEN_STB, STB, "sent a message of type 22 with 4 payload bytes, above the 0 it may carry"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    vx_comm_freeVisa();
    TempLog log("hislip_length");
    vx_usb_startdebug(log.path.c_str());
    ViInt32 id = -7;
    EXPECT_EQ(VI_SUCCESS, vx_comm_open(hislip_name(row.fault).c_str(), 1000, &id));
    auto t0 = Clock::now();
    if (row.call == OPEN) {
      EXPECT_EQ(-1, id);
    } else {
      ASSERT_GT(id, 0);
      char buf[64];
      ViInt32 n = 0;
      ViUInt16 stb = 0;
      if (row.call == QUERY) {
        ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "*IDN?", 0, nullptr));
        EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_read(id, buf, sizeof buf, &n));
      } else {
        EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_readStb(id, &stb));
      }
      EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_read(id, buf, sizeof buf, &n));
      EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_readStb(id, &stb));
    }
    EXPECT_LT(elapsed_ms(t0), 900.0);
    vx_usb_stopdebug();
    EXPECT_TRUE(has_line(log.lines(), row.line)) << log.text();
    if (id > 0) {
      EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
    }
  }
}

// A status response that comes after its query timed out is not taken as
// the answer to the next query.
TEST(Hislip, ALateStatusResponseIsNotTheNextOnesAnswer) {
  ViInt32 id = open_hislip(STB_LATE);  // the first response comes 1500 ms late
  ASSERT_GT(id, 0);
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(id, 200));  // a status query waits 1200 ms
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "STB 1", 0, nullptr));
  ViUInt16 stb = 0;
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_readStb(id, &stb));
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "STB 2", 0, nullptr));
  EXPECT_EQ(VI_SUCCESS, vx_comm_readStb(id, &stb));
  EXPECT_EQ(2, stb);
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

}  // namespace
