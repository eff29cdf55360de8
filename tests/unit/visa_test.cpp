// The VISA binding, transport and search in-process, over the fixture VISA
// library linked in and handed out by a fake loader that can leave the
// library or one of its functions out and tells when a call reaches it
// after it was unloaded.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "find/find.h"
#include "platform/dl.h"
#include "transport/visa/visa_binding.h"
#include "transport/visa/visa_transport.h"
#include "vx_comm.h"
#include "vxvisa.h"

namespace {

struct FakeLibrary {
  bool present = true;
  std::string hidden;  // a function the library lacks
  // Handles open on the library: as with the platform's loader, it goes
  // (taking its sessions with it) only when the last one is closed.
  std::atomic<int> loaded{0};
  std::atomic<int> opens{0}, closes{0}, lateCalls{0};
  // While set, viRead waits (bounded) inside the library until it is
  // cleared, so that a test can free the library under a call.
  std::atomic<bool> holdReads{false};
  std::atomic<int> heldReads{0};
  std::vector<std::string> lookedUp;
  std::string fileName;
};
FakeLibrary* g_lib;
int g_token;

// Checks on the way in and on the way out: a call still running when the
// module goes is as wrong as one that starts after.
struct Reach {
  Reach() { check(); }
  ~Reach() { check(); }
  static void check() {
    if (g_lib->loaded.load() <= 0) ++g_lib->lateCalls;
  }
};

ViStatus w_viOpenDefaultRM(ViSession* s) {
  Reach r;
  return viOpenDefaultRM(s);
}
ViStatus w_viFindRsrc(ViSession s, const ViChar* e, ViFindList* l, ViUInt32* n, ViChar d[]) {
  Reach r;
  return viFindRsrc(s, e, l, n, d);
}
ViStatus w_viFindNext(ViFindList l, ViChar d[]) {
  Reach r;
  return viFindNext(l, d);
}
ViStatus w_viOpen(ViSession s, const ViChar* n, ViAccessMode m, ViUInt32 t, ViSession* v) {
  Reach r;
  return viOpen(s, n, m, t, v);
}
ViStatus w_viClose(ViObject v) {
  Reach r;
  return viClose(v);
}
ViStatus w_viRead(ViSession v, ViByte* b, ViUInt32 c, ViUInt32* n) {
  Reach r;
  if (g_lib->holdReads.load()) {
    ++g_lib->heldReads;
    for (int i = 0; i < 10000 && g_lib->holdReads.load(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return viRead(v, b, c, n);
}
ViStatus w_viWrite(ViSession v, const ViByte* b, ViUInt32 c, ViUInt32* n) {
  Reach r;
  return viWrite(v, b, c, n);
}
ViStatus w_viClear(ViSession v) {
  Reach r;
  return viClear(v);
}
ViStatus w_viSetAttribute(ViObject v, ViAttr a, ViAttrState s) {
  Reach r;
  return viSetAttribute(v, a, s);
}

ViStatus w_viReadSTB(ViSession v, ViUInt16* stb) {
  Reach r;
  return viReadSTB(v, stb);
}
ViStatus w_viEnableEvent(ViSession v, ViEventType t, ViUInt16 m, ViEventFilter f) {
  Reach r;
  return viEnableEvent(v, t, m, f);
}
ViStatus w_viDisableEvent(ViSession v, ViEventType t, ViUInt16 m) {
  Reach r;
  return viDisableEvent(v, t, m);
}
ViStatus w_viDiscardEvents(ViSession v, ViEventType t, ViUInt16 m) {
  Reach r;
  return viDiscardEvents(v, t, m);
}
ViStatus w_viWaitOnEvent(ViSession v, ViEventType t, ViUInt32 tmo, ViEventType* out, ViEvent* e) {
  Reach r;
  return viWaitOnEvent(v, t, tmo, out, e);
}

const char* const kNine[] = {"viOpenDefaultRM", "viFindRsrc", "viFindNext", "viOpen",        "viClose",
                             "viRead",          "viWrite",    "viClear",    "viSetAttribute"};

template <typename F>
void* as_ptr(F f) {
  return reinterpret_cast<void*>(f);
}

void* fake_open(const char* name) {
  ++g_lib->opens;
  g_lib->fileName = name;
  if (!g_lib->present) return nullptr;
  ++g_lib->loaded;
  return &g_token;
}

// The status byte and the service request events of the optional ones.
const char* const kOptional[] = {"viReadSTB", "viEnableEvent", "viDisableEvent", "viDiscardEvents",
                                 "viWaitOnEvent"};

void* fake_sym(void*, const char* name) {
  g_lib->lookedUp.push_back(name);
  if (g_lib->hidden == name) return nullptr;
  void* table[] = {as_ptr(w_viOpenDefaultRM), as_ptr(w_viFindRsrc), as_ptr(w_viFindNext),
                   as_ptr(w_viOpen),          as_ptr(w_viClose),    as_ptr(w_viRead),
                   as_ptr(w_viWrite),         as_ptr(w_viClear),    as_ptr(w_viSetAttribute)};
  for (size_t i = 0; i < 9; ++i)
    if (strcmp(kNine[i], name) == 0) return table[i];
  void* optional[] = {as_ptr(w_viReadSTB), as_ptr(w_viEnableEvent), as_ptr(w_viDisableEvent),
                      as_ptr(w_viDiscardEvents), as_ptr(w_viWaitOnEvent)};
  for (size_t i = 0; i < 5; ++i)
    if (strcmp(kOptional[i], name) == 0) return optional[i];
  return nullptr;
}

// Unloading takes the library's sessions with it.
void fake_close(void*) {
  if (--g_lib->loaded == 0) vxvisa_reset();
  ++g_lib->closes;
}

const VisaLoader kFakeLoader = {vxp_visa_file_name, fake_open, fake_sym, fake_close};

struct VisaUnit : ::testing::Test {
  FakeLibrary lib;
  void SetUp() override {
    g_lib = &lib;
    vx_visa_set_loader(&kFakeLoader);
    vxvisa_set_table("");
  }
  void TearDown() override {
    vx_comm_freeVisa();
    vx_visa_set_loader(nullptr);
    EXPECT_EQ(0, lib.lateCalls.load());
    EXPECT_EQ(0, vxvisa_open_sessions());
  }
  ViInt32 open(const char* name) {
    ViInt32 id = -7;
    EXPECT_EQ(VI_SUCCESS, vx_comm_open(name, 1000, &id));
    return id;
  }
};

// ------------------------------------------------------------- binding --

TEST_F(VisaUnit, LoadsOnceByThePlatformsFileNameAndAgainOnlyAfterFree) {
  EXPECT_EQ(VI_SUCCESS, vx_comm_loadVisa());
  EXPECT_EQ(VI_SUCCESS, vx_comm_loadVisa());
  EXPECT_EQ(1, lib.opens.load());
  EXPECT_EQ(std::string(vxp_visa_file_name), lib.fileName);
  EXPECT_EQ(2, vx_visa_load_state());
  vx_comm_freeVisa();
  EXPECT_EQ(0, vx_visa_load_state());
  EXPECT_EQ(1, lib.closes.load());
  vx_comm_freeVisa();  // nothing held: nothing to unload
  EXPECT_EQ(1, lib.closes.load());

  // Absent: fails, fails again without a new attempt, retried after free.
  lib.present = false;
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_loadVisa());
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_loadVisa());
  EXPECT_EQ(2, lib.opens.load());
  EXPECT_EQ(1, vx_visa_load_state());
  vx_comm_freeVisa();
  lib.present = true;
  EXPECT_EQ(VI_SUCCESS, vx_comm_loadVisa());
  EXPECT_EQ(3, lib.opens.load());
}

TEST_F(VisaUnit, AMissingFunctionFailsTheLoadAfterAllNineWereLookedUp) {
  for (const char* missing : kNine) {
    SCOPED_TRACE(missing);
    lib.lookedUp.clear();
    lib.hidden = missing;
    const int closes = lib.closes;
    EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_loadVisa());
    // The optional controls and lock calls are looked up too, after the nine.
    std::vector<std::string> all(std::begin(kNine), std::end(kNine));
    all.insert(all.end(), {"viReadSTB", "viAssertTrigger", "viGpibControlREN", "viLock", "viUnlock",
                           "viEnableEvent", "viDisableEvent", "viDiscardEvents", "viWaitOnEvent"});
    EXPECT_EQ(all, lib.lookedUp);
    EXPECT_EQ(1, vx_visa_load_state());
    EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_loadVisa());
    EXPECT_EQ(18u, lib.lookedUp.size());
    // Kept loaded, but unusable, until the host frees it.
    EXPECT_EQ(closes, lib.closes.load());
    EXPECT_EQ(-1, open("USB0::1::2::A::INSTR"));
    vx_comm_freeVisa();
    EXPECT_EQ(closes + 1, lib.closes.load());
  }
}

TEST_F(VisaUnit, LoadingInOneThreadAndOpeningInAnotherDoNotRace) {
  vxvisa_set_table("USB0::1::2::A::INSTR script r:ok:all\n");
  std::atomic<ViInt32> id{-1};
  // Handles open on the library: as with the platform's loader, it goes
  // (taking its sessions with it) only when the last one is closed.
  std::atomic<int> loaded{0};
  // Opens until one succeeds, or one has failed after the load was done.
  std::thread opener([&] {
    for (bool last = false; !last && id.load() < 0;) {
      last = loaded.load();
      ViInt32 got = -1;
      vx_comm_open("USB0::1::2::A::INSTR", 1000, &got);
      id = got;
    }
  });
  std::thread loader([&] {
    vx_comm_loadVisa();
    loaded = true;
  });
  loader.join();
  opener.join();
  ASSERT_GT(id.load(), 0);
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

// ----------------------------------------------------------- transport --

TEST_F(VisaUnit, OpenFailsCleanlyAndASuccessfulOneSettles) {
  vxvisa_set_table(
      "USB0::1::2::OK::INSTR script r:ok:all\n"
      "USB0::1::2::NO::INSTR openfail -1073807343\n");
  EXPECT_EQ(-1, open("USB0::1::2::OK::INSTR"));  // not loaded yet
  EXPECT_EQ(0, lib.opens.load());
  ASSERT_EQ(VI_SUCCESS, vx_comm_loadVisa());
  EXPECT_EQ(-1, open("USB0::1::2::NO::INSTR"));
  EXPECT_EQ(-1, open("USB0::1::2::UNKNOWN::INSTR"));
  EXPECT_EQ(0, vxvisa_open_sessions());  // the resource managers were closed

  const auto start = std::chrono::steady_clock::now();
  const int clears = vxvisa_calls("viClear");
  ViInt32 id = open("USB0::1::2::OK::INSTR");
  // 100 ms, less a millisecond of clock granularity.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(99));
  ASSERT_GT(id, 0);
  EXPECT_EQ(clears + 1, vxvisa_calls("viClear"));
  EXPECT_EQ(2, vxvisa_open_sessions());
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));

  vxvisa_set_table("rmfail -1073807360\nUSB0::1::2::OK::INSTR script r:ok:all\n");
  EXPECT_EQ(-1, open("USB0::1::2::OK::INSTR"));
}

struct StatusCase {
  const char* script;
  bool read;
  ViInt32 count;
  ViStatus status;
  ViInt32 retCount;
  int calls;
};

TEST_F(VisaUnit, ReadAndWriteFollowTheStatusRules) {
  const ViStatus warn = (ViStatus)0x3FFF007D;
  const StatusCase cases[] = {
      // Accepted statuses end a read as VI_SUCCESS; a read that brings
      // nothing is repeated, but not without end.
      {"r:term:5", true, 10, VI_SUCCESS, 5, 1},
      {"r:max:all", true, 10, VI_SUCCESS, 10, 1},
      {"r:ok:0 r:term:3", true, 10, VI_SUCCESS, 3, 2},
      {"r:ok:0", true, 10, VI_ERROR_TMO, 0, VX_VISA_MAX_IDLE_CALLS},
      {"r:max:0", true, 10, VI_ERROR_TMO, 0, VX_VISA_MAX_IDLE_CALLS},
      {"r:ok:3", true, 0, VI_SUCCESS, 0, 0},
      {"r:tmo:0", true, 10, VI_ERROR_TMO, 0, 1},
      {"r:warn:4", true, 10, warn, 0, 1},
      // A write loops until all is sent and hands on the last status.
      {"w:max:all", false, 10, VI_SUCCESS_MAX_CNT, 10, 1},
      {"w:ok:4 w:term:all", false, 10, VI_SUCCESS_TERM_CHAR, 10, 2},
      {"w:ok:4 w:ok:0 w:ok:6", false, 10, VI_SUCCESS, 10, 3},
      {"w:ok:4 w:tmo:2", false, 10, VI_ERROR_TMO, 0, 2},
      {"w:ok:0", false, 10, VI_ERROR_TMO, 0, VX_VISA_MAX_IDLE_CALLS},
      {"w:ok:all", false, 0, VI_SUCCESS, 0, 0},
      {"w:warn:all", false, 10, warn, 0, 1},
  };
  ASSERT_EQ(VI_SUCCESS, vx_comm_loadVisa());
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.script);
    vxvisa_set_table(std::string("USB0::1::2::S::INSTR script ") + c.script + "\n");
    ViInt32 id = open("USB0::1::2::S::INSTR");
    ASSERT_GT(id, 0);
    char buffer[16] = {};
    ViInt32 ret = -1;
    const char* fn = c.read ? "viRead" : "viWrite";
    const int before = vxvisa_calls(fn);
    ViStatus s = c.read ? vx_comm_read(id, buffer, c.count, &ret) : vx_comm_write(id, buffer, c.count, &ret);
    EXPECT_EQ(c.status, s);
    EXPECT_EQ(c.retCount, ret);
    EXPECT_EQ(c.calls, vxvisa_calls(fn) - before);
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  }
}

// Waits (bounded) until pred() holds.
template <typename Pred>
bool eventually(Pred pred) {
  for (int i = 0; i < 5000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return pred();
}

// A host frees the library while calls run on a VISA link: the free returns
// at once, no call reaches the module once it is gone, and every later
// call on the link fails, even once the library is loaded again. The link
// keeps its module until its close has closed its sessions there: a host
// that holds the library itself would otherwise keep them open for good.
TEST_F(VisaUnit, FreeWhileCallsRunClosesTheSessionsThroughTheirOwnModule) {
  vxvisa_set_table("USB0::1::2::R::INSTR script r:ok:3 w:ok:all\n");
  void* hostsOwn = fake_open(vxp_visa_file_name);
  ASSERT_EQ(VI_SUCCESS, vx_comm_loadVisa());
  ViInt32 id = open("USB0::1::2::R::INSTR");
  ASSERT_GT(id, 0);
  lib.holdReads = true;
  std::atomic<int> lost{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 3; ++t) {
    callers.emplace_back([&, t] {
      char buffer[8];
      ViInt32 n = 0;
      for (int i = 0; i < 1000000; ++i) {
        ViStatus s = t == 0   ? vx_comm_read(id, buffer, sizeof buffer, &n)
                     : t == 1 ? vx_comm_write(id, "abc", 3, &n)
                              : vx_comm_setTmoMs(id, 500);
        if (s == VI_ERROR_CONN_LOST) {
          ++lost;
          break;
        }
      }
    });
  }
  ASSERT_TRUE(eventually([&] { return lib.heldReads.load() > 0; }));
  vx_comm_freeVisa();
  EXPECT_EQ(0, vx_visa_load_state());
  lib.holdReads = false;
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(3, lost.load());  // the held read too, on its next call

  ASSERT_EQ(VI_SUCCESS, vx_comm_loadVisa());
  ViInt32 n = -1;
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_write(id, "abc", 3, &n));
  EXPECT_EQ(0, n);
  EXPECT_EQ(0, lib.closes.load());
  const int closes = vxvisa_calls("viClose");
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  EXPECT_EQ(closes + 2, vxvisa_calls("viClose"));
  EXPECT_EQ(0, vxvisa_open_sessions());
  EXPECT_EQ(1, lib.closes.load());  // the first module, now unused
  fake_close(hostsOwn);
}

// A close interrupts a call by closing the device session, which ends the
// calls blocked in a VISA library. One that the library holds on to does
// not hold the close up: the close returns, and the call, once back,
// fails and finishes the close, with each session closed once.
TEST_F(VisaUnit, CloseDuringACallReturnsAndTheCallFinishesIt) {
  vxvisa_set_table("USB0::1::2::R::INSTR script r:ok:0\n");
  ASSERT_EQ(VI_SUCCESS, vx_comm_loadVisa());
  ViInt32 id = open("USB0::1::2::R::INSTR");
  ASSERT_GT(id, 0);
  const int reads = vxvisa_calls("viRead");
  const int closes = vxvisa_calls("viClose");
  lib.holdReads = true;
  ViStatus readStatus = VI_SUCCESS;
  std::thread reader([&] {
    char buffer[8];
    ViInt32 n = 0;
    readStatus = vx_comm_read(id, buffer, sizeof buffer, &n);
  });
  ASSERT_TRUE(eventually([&] { return lib.heldReads.load() > 0; }));
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
    closed = true;
  });
  EXPECT_TRUE(eventually([&] { return closed.load(); }));
  EXPECT_EQ(closes + 1, vxvisa_calls("viClose"));  // the device session, to end the call
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_setTmoMs(id, 500));
  lib.holdReads = false;
  reader.join();
  closer.join();
  EXPECT_EQ(VI_ERROR_CONN_LOST, readStatus);
  EXPECT_EQ(1, vxvisa_calls("viRead") - reads);
  EXPECT_EQ(closes + 2, vxvisa_calls("viClose"));
  EXPECT_EQ(0, vxvisa_open_sessions());
}

// ---------------------------------------------------- service requests --

// Requests come from the library's event queue, each event context closed,
// the status byte read by the waiter.
// Off disables the event; a close while on ends the thread that waits on
// the library. A library without
// the event calls answers VI_ERROR_NSUP_OPER.
TEST_F(VisaUnit, ServiceRequestsComeFromTheLibrarysEventQueue) {
  vxvisa_set_table("USB0::1::2::S::INSTR script r:ok:all\n");
  ASSERT_EQ(VI_SUCCESS, vx_comm_loadVisa());
  ViInt32 id = open("USB0::1::2::S::INSTR");
  ASSERT_GT(id, 0);
  ViUInt16 stb = 0;
  ViInt32 dropped = -1;
  ASSERT_EQ(VI_SUCCESS, vx_comm_enableSrq(id, 1));
  EXPECT_EQ(VI_SUCCESS, vx_comm_enableSrq(id, 1));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "SRQ", 0, nullptr));
  ASSERT_EQ(VI_SUCCESS, vx_comm_waitSrq(id, 5000, &stb, &dropped));
  EXPECT_EQ(0x40 + 7, stb);  // RQS, and the fixture's REN mode "none"
  EXPECT_EQ(0, dropped);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(VI_SUCCESS, vx_comm_waitSrq(id, 5000, &stb, &dropped));
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_waitSrq(id, 0, &stb, &dropped));
  EXPECT_EQ(2, vxvisa_open_sessions());  // the manager and the device: no event context left

  // A request while off is not kept for the next enable.
  ASSERT_EQ(VI_SUCCESS, vx_comm_enableSrq(id, 0));
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "SRQ", 0, nullptr));
  ASSERT_EQ(VI_SUCCESS, vx_comm_enableSrq(id, 1));
  EXPECT_EQ(VI_ERROR_TMO, vx_comm_waitSrq(id, 300, &stb, &dropped));
  ASSERT_EQ(VI_SUCCESS, vx_comm_puts(id, "SRQ", 0, nullptr));
  EXPECT_EQ(VI_SUCCESS, vx_comm_waitSrq(id, 5000, &stb, &dropped));
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  vx_comm_freeVisa();

  lib.hidden = "viWaitOnEvent";
  ASSERT_EQ(VI_SUCCESS, vx_comm_loadVisa());
  id = open("USB0::1::2::S::INSTR");
  ASSERT_GT(id, 0);
  EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_enableSrq(id, 1));
  EXPECT_EQ(VI_ERROR_NENABLED, vx_comm_waitSrq(id, 0, &stb, &dropped));
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
}

// ------------------------------------------------------------- search --

std::vector<std::string> entries(const char* text, int length) {
  std::vector<std::string> out;
  std::string all(text, (size_t)length);
  for (size_t p = 0, e; (e = all.find(';', p)) != std::string::npos; p = e + 1) out.push_back(all.substr(p, e - p));
  std::sort(out.begin(), out.end());
  return out;
}

struct ScanCase {
  const char* what;
  std::string table;
  int capacity;
  ViStatus status;
  std::vector<std::string> listed;  // when the order of appends decides: only how many
};

TEST_F(VisaUnit, SearchListsTheMakersInstrumentsWithinItsBounds) {
  const std::string reply127 = "Vextron AG,M7," + std::string(126 - 14 - 4, 's') + ",1.0";  // + LF = 127
  const std::string reply128 = "Vextron AG,M8," + std::string(127 - 14 - 4, 's') + ",1.0";
  const std::string name126 = "USB0::" + std::string(126 - 6 - 7, 'N') + "::INSTR";
  const std::string name127 = "USB0::" + std::string(127 - 6 - 7, 'N') + "::INSTR";
  std::string many;
  for (int i = 0; i < 70; ++i) many += "USB0::1::2::" + std::to_string(100 + i) + "::INSTR idn Vextron AG,M,S,1\n";
  const ScanCase cases[] = {
      {"makers",
       "USB0::0x1111::0x2222::1234::INSTR idn Vextron AG,M1,1234,1.0\n"
       "USB0::1::2::B::INSTR idn Vextron AG,M2,5678,1.0\n"
       "USB0::1::2::C::INSTR idn vextron ag,M3,1,1.0\n"
       "USB0::1::2::D::INSTR idn Vextron AG ,M4,1,1.0\n"
       "USB0::1::2::E::INSTR idn Vextron AG\n"
       "USB0::1::2::F::INSTR openfail -1\n"
       "USB0::1::2::G::INSTR script r:term:all\n"
       "TCPIP0::1.2.3.4::INSTR idn Vextron AG,M9,9,1.0\n",
       4096,
       VI_SUCCESS,
       {"M1:1234:USB0::0x1111::0x2222::1234::INSTR", "M2:5678:USB0::1::2::B::INSTR"}},
      {"no comma after the serial",
       "USB0::1::2::A::INSTR idn Vextron AG,M1,1234\n",
       4096,
       VI_SUCCESS,
       {"M1::USB0::1::2::A::INSTR"}},
      {"127 and 128 byte replies",
       "USB0::1::2::A::INSTR idn " + reply127 + "\nUSB0::1::2::B::INSTR idn " + reply128 + "\n",
       4096,
       VI_SUCCESS,
       {"M7:" + std::string(31, 's') + ":USB0::1::2::A::INSTR"}},
      {"long fields are cut to 31",
       "USB0::1::2::A::INSTR idn Vextron AG," + std::string(40, 'm') + ",S,1\n",
       4096,
       VI_SUCCESS,
       {std::string(31, 'm') + ":S:USB0::1::2::A::INSTR"}},
      {"names of 127 characters are not probed",
       name126 + " idn Vextron AG,M,S,1\n" + name127 + " idn Vextron AG,M,S,1\n",
       4096,
       VI_SUCCESS_MAX_CNT,
       {"M:S:" + name126}},
      {"an entry that does not fit",
       "USB0::1::2::A::INSTR idn Vextron AG,M,S,1\nUSB0::1::2::B::INSTR idn "
       "Vextron AG,M,S,1\n",
       30,
       VI_SUCCESS_MAX_CNT,
       {""}},
      {"no match", "USB0::1::2::A::SOCKET idn Vextron AG,M,S,1\n", 4096, VI_ERROR_SYSTEM_ERROR, {}},
      {"resource manager fails",
       "rmfail -1\nUSB0::1::2::A::INSTR idn Vextron AG,M,S,1\n",
       4096,
       VI_ERROR_SYSTEM_ERROR,
       {}},
  };
  ASSERT_EQ(VI_SUCCESS, vx_comm_loadVisa());
  for (const ScanCase& c : cases) {
    SCOPED_TRACE(c.what);
    vxvisa_set_table(c.table);
    std::vector<char> text((size_t)c.capacity, 'x');
    int length = -1;
    EXPECT_EQ(c.status, vx_visa_scan(text.data(), 1000, c.capacity, &length));
    if (c.listed.size() == 1 && c.listed[0].empty())
      EXPECT_EQ(1u, entries(text.data(), length).size());
    else
      EXPECT_EQ(c.listed, entries(text.data(), length));
    EXPECT_EQ(strlen(text.data()), (size_t)length);
  }

  // More than 64 matches: the first 64 are probed and listed.
  vxvisa_set_table(many);
  std::vector<char> text(8192);
  int length = -1;
  const int opens = vxvisa_calls("viOpen");
  EXPECT_EQ(VI_SUCCESS_MAX_CNT, vx_visa_scan(text.data(), 1000, (int)text.size(), &length));
  EXPECT_EQ(64, vxvisa_calls("viOpen") - opens);
  std::vector<std::string> listed = entries(text.data(), length);
  ASSERT_EQ(64u, listed.size());
  EXPECT_EQ("M:S:USB0::1::2::100::INSTR", listed.front());
  EXPECT_EQ("M:S:USB0::1::2::163::INSTR", listed.back());

  vx_comm_freeVisa();
  length = -1;
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_visa_scan(text.data(), 1000, (int)text.size(), &length));
  EXPECT_EQ(0, length);
  EXPECT_EQ('\0', text[0]);
}

TEST_F(VisaUnit, FreeDuringASearchWaitsForNoOneAndReachesNothingUnloaded) {
  std::string table;
  for (int i = 0; i < 20; ++i) table += "USB0::1::2::" + std::to_string(i) + "::INSTR idn Vextron AG,M,S,1\n";
  vxvisa_set_table(table);
  ASSERT_EQ(VI_SUCCESS, vx_comm_loadVisa());
  lib.holdReads = true;
  std::vector<char> text(4096);
  int length = 0;
  ViStatus status = VI_ERROR_TMO;
  std::thread search([&] { status = vx_visa_scan(text.data(), 1000, (int)text.size(), &length); });
  ASSERT_TRUE(eventually([&] { return lib.heldReads.load() > 0; }));
  vx_comm_freeVisa();
  EXPECT_EQ(0, lib.closes.load());
  lib.holdReads = false;
  search.join();
  EXPECT_EQ(VI_SUCCESS, status);
  EXPECT_EQ(20u, entries(text.data(), length).size());
  EXPECT_EQ(1, lib.closes.load());
}

}  // namespace
