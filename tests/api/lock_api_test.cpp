// The exclusive lock over the LAN routes, against the simulator (run by the
// vxi11_api test, whose instrument 127.0.0.17 refuses the waiting form of
// its calls). Two links on one instrument from this process are two
// clients to the server, as two programs would be.
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

#include "api_util.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

struct Route {
  const char* name;
  const char* address;
};
const Route kRoutes[] = {{"VXI-11", "TCPIP0::127.0.0.2::inst0::INSTR"}, {"HiSLIP", "TCPIP0::127.0.0.2::hislip0::INSTR"}};

#define REQUIRE_LOCK_SUITE() \
  if (std::getenv("VX_VXI11_SUITE") == nullptr) GTEST_SKIP() << "run by the vxi11_api test (its instruments)"

}  // namespace

// The holder keeps the lock against another client's wait; once given back
// it goes to that client; and an unlock of no lock is an error.
TEST(Lock, AnotherClientWaitsAndIsRefusedThenServedAfterUnlock) {
  REQUIRE_LOCK_SUITE();
  for (const Route& r : kRoutes) {
    SCOPED_TRACE(r.name);
    ViInt32 a = open_link(r.address), b = open_link(r.address);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    ASSERT_EQ(VI_SUCCESS, vx_comm_lock(a, 0));
    EXPECT_EQ(VI_SUCCESS, vx_comm_lock(a, 0));  // held already: nothing to wait for
    TempLog log("lock");
    vx_usb_startdebug(log.path.c_str());
    const Clock::time_point t0 = Clock::now();
    EXPECT_EQ(VI_ERROR_RSRC_LOCKED, vx_comm_lock(b, 300));
    vx_usb_stopdebug();
    EXPECT_GE(ms_since(t0), 250.0);
    EXPECT_NE(std::string::npos, log.text().find("VI_ERROR_RSRC_LOCKED")) << log.text();
    // Given back while the other waits: the wait ends with the lock.
    std::future<ViStatus> waiter = std::async(std::launch::async, [b] { return vx_comm_lock(b, 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(VI_SUCCESS, vx_comm_unlock(a));
    EXPECT_EQ(VI_SUCCESS, waiter.get());
    EXPECT_EQ(VI_ERROR_RSRC_LOCKED, vx_comm_lock(a, 0));
    EXPECT_EQ(VI_SUCCESS, vx_comm_unlock(b));
    EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_unlock(b));
    EXPECT_EQ(0u, query(a, "*IDN?").rfind("VXSIM,", 0));
    vx_comm_close(a);
    vx_comm_close(b);
  }
}

// A close gives back the lock its link held.
TEST(Lock, CloseReleasesTheLock) {
  REQUIRE_LOCK_SUITE();
  for (const Route& r : kRoutes) {
    SCOPED_TRACE(r.name);
    ViInt32 a = open_link(r.address), b = open_link(r.address);
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    ASSERT_EQ(VI_SUCCESS, vx_comm_lock(a, 0));
    ASSERT_EQ(VI_ERROR_RSRC_LOCKED, vx_comm_lock(b, 0));
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(a));
    EXPECT_EQ(VI_SUCCESS, vx_comm_lock(b, 3000));
    vx_comm_close(b);
  }
}

// VXI-11: while another link holds the lock, a call waits for it up to the
// link timeout: refused when it stays held, served when it is given back
// within that time.
TEST(Lock, Vxi11CallsWaitForAnotherLinksLockUpToTheLinkTimeout) {
  REQUIRE_LOCK_SUITE();
  const char* address = kRoutes[0].address;
  ViInt32 a = open_link(address), b = open_link(address);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  ASSERT_EQ(VI_SUCCESS, vx_comm_lock(a, 0));
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(b, 300));
  Clock::time_point t0 = Clock::now();
  EXPECT_EQ(VI_ERROR_RSRC_LOCKED, vx_comm_puts(b, "*IDN?", 0, nullptr));
  EXPECT_GE(ms_since(t0), 250.0);
  EXPECT_EQ(VI_ERROR_RSRC_LOCKED, vx_comm_trigger(b));
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(b, 5000));
  std::thread release([a] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(VI_SUCCESS, vx_comm_unlock(a));
  });
  t0 = Clock::now();
  EXPECT_EQ(0u, query(b, "*IDN?").rfind("VXSIM,", 0));
  EXPECT_GE(ms_since(t0), 250.0);
  release.join();
  vx_comm_close(a);
  vx_comm_close(b);
}

// A VXI-11 instrument that takes a lock or a call only without a wait for
// a lock: the first refused is asked once more in that form, said so in
// the log, and the link's later calls go without the wait too.
TEST(Lock, Vxi11DeviceRefusingTheWaitIsAskedAgainWithout) {
  REQUIRE_LOCK_SUITE();
  for (bool lockFirst : {true, false}) {
    SCOPED_TRACE(lockFirst ? "lock first" : "a write first");
    ViInt32 id = open_link("TCPIP0::127.0.0.17::inst0::INSTR");
    ASSERT_GT(id, 0);
    TempLog log("nolockwait");
    vx_usb_startdebug(log.path.c_str());
    if (lockFirst) {
      EXPECT_EQ(VI_SUCCESS, vx_comm_lock(id, 1000));
    }
    EXPECT_EQ(0u, query(id, "*IDN?").rfind("VXSIM,", 0));
    EXPECT_EQ(VI_SUCCESS, vx_comm_trigger(id));
    if (!lockFirst) {
      EXPECT_EQ(VI_SUCCESS, vx_comm_lock(id, 1000));
    }
    EXPECT_EQ(VI_SUCCESS, vx_comm_unlock(id));
    vx_usb_stopdebug();
    const std::string text = log.text();
    const std::string said = std::string(lockFirst ? "device_lock" : "device_write") +
                             " refused the wait for a lock (VXI-11 error 5, parameter error); asking again without it";
    EXPECT_NE(std::string::npos, text.find(said)) << text;
    EXPECT_EQ(text.find("refused the wait"), text.rfind("refused the wait")) << "said once: " << text;
    vx_comm_close(id);
  }
}

// Raw TCP has no locks.
TEST(Lock, RawTcpDoesNotSupportIt) {
  REQUIRE_LOCK_SUITE();
  for (const char* address : {"TCP-127.0.0.2", "TCPIP0::127.0.0.2::18::SOCKET"}) {
    SCOPED_TRACE(address);
    ViInt32 id = open_link(address);
    ASSERT_GT(id, 0);
    EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_lock(id, 0));
    EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_unlock(id));
    vx_comm_close(id);
  }
}
