// Service requests on each route that has them, against the simulator: the
// LAN routes run by the vxi11_api test, USB488 by the usb_class_api test
// (each sets its variable). The queue's own rules (bound, drops, clear)
// are tested over the fake transport.
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "api_util.h"

namespace {

using Clock = std::chrono::steady_clock;

struct SrqRoute {
  const char* name;
  const char* address;
  const char* suite;  // the variable of the test that runs its instrument
};
const SrqRoute kSrqRoutes[] = {
    {"VXI-11", "TCPIP0::127.0.0.2::inst0::INSTR", "VX_VXI11_SUITE"},
    {"HiSLIP", "TCPIP0::127.0.0.2::hislip0::INSTR", "VX_VXI11_SUITE"},
    {"USB488", "USB0::0x2A8D::0x0396::CLASS488::INSTR", "VX_USB_CLASS_SUITE"},
};

std::vector<SrqRoute> routes_here() {
  std::vector<SrqRoute> here;
  for (const SrqRoute& r : kSrqRoutes)
    if (std::getenv(r.suite) != nullptr) here.push_back(r);
  return here;
}

#define FOR_EACH_SRQ_ROUTE(r)                                                             \
  if (routes_here().empty()) GTEST_SKIP() << "run by the vxi11_api and usb_class_api tests"; \
  for (const SrqRoute& r : routes_here())

// An open link collecting its service requests, with the status registers
// cleared; closed at the end of the scope.
struct SrqLink {
  ViInt32 id = -1;
  explicit SrqLink(const SrqRoute& r) {
    id = open_link(r.address);
    if (id <= 0) return;
    vx_comm_setTmoMs(id, 3000);
    ViUInt16 stb = 0;
    vx_comm_readStb(id, &stb);  // an RQS left by an earlier test goes
    enabled = vx_comm_enableSrq(id, 1);
    EXPECT_EQ(VI_SUCCESS, enabled);
    if (enabled != VI_SUCCESS) {
      vx_comm_close(id);
      id = -1;
    }
  }
  ViStatus enabled = VI_ERROR_SYSTEM_ERROR;
  ~SrqLink() {
    if (id > 0) vx_comm_close(id);
  }
  void send(const char* line) { EXPECT_EQ(VI_SUCCESS, vx_comm_puts(id, line, 0, nullptr)); }
};

}  // namespace

// A measurement that ends while the caller waits wakes it, with the status
// byte read with the request: RQS (64) and ESB (32).
TEST(Srq, MeasurementEndWakesTheWaitWithTheStatusByte) {
  FOR_EACH_SRQ_ROUTE(r) {
    SCOPED_TRACE(r.name);
    SrqLink l(r);
    ASSERT_GT(l.id, 0);
    l.send("*ESE 1");
    l.send("*SRE 32");
    l.send("MEAS 150");
    ViUInt16 stb = 0;
    ViInt32 dropped = -1;
    const Clock::time_point t0 = Clock::now();
    ASSERT_EQ(VI_SUCCESS, vx_comm_waitSrq(l.id, 10000, &stb, &dropped));
    EXPECT_GE(elapsed_ms(t0), 100.0);
    EXPECT_EQ(0x60, stb & 0x60);
    EXPECT_EQ(0, dropped);
    EXPECT_EQ("1\n", query(l.id, "*ESR?"));
    l.send("*SRE 0");
  }
}

// Requests that came while nobody waited are kept, each one, in order.
TEST(Srq, RequestsBeforeTheWaitAreQueued) {
  FOR_EACH_SRQ_ROUTE(r) {
    SCOPED_TRACE(r.name);
    SrqLink l(r);
    ASSERT_GT(l.id, 0);
    for (int i = 0; i < 5; ++i) l.send("SRQ");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int i = 0; i < 5; ++i) {
      SCOPED_TRACE(i);
      ViUInt16 stb = 0;
      ASSERT_EQ(VI_SUCCESS, vx_comm_waitSrq(l.id, 5000, &stb, nullptr));
    }
    ViUInt16 stb = 0;
    EXPECT_EQ(VI_ERROR_TMO, vx_comm_waitSrq(l.id, 300, &stb, nullptr));
  }
}

// No request: the wait ends at its limit, not before.
TEST(Srq, WaitWithoutRequestTimesOut) {
  FOR_EACH_SRQ_ROUTE(r) {
    SCOPED_TRACE(r.name);
    SrqLink l(r);
    ASSERT_GT(l.id, 0);
    ViUInt16 stb = 0;
    const Clock::time_point t0 = Clock::now();
    EXPECT_EQ(VI_ERROR_TMO, vx_comm_waitSrq(l.id, 250, &stb, nullptr));
    EXPECT_GE(elapsed_ms(t0), 240.0);
  }
}

// While one thread waits, another queries on the same link; a close ends
// the wait at once.
TEST(Srq, OtherThreadsUseTheLinkDuringTheWaitAndCloseEndsIt) {
  FOR_EACH_SRQ_ROUTE(r) {
    SCOPED_TRACE(r.name);
    SrqLink l(r);
    ASSERT_GT(l.id, 0);
    const ViInt32 id = l.id;
    const std::string idn = query(id, "*IDN?");
    ASSERT_FALSE(idn.empty());
    std::future<ViStatus> waiter = std::async(std::launch::async, [id] {
      ViUInt16 stb = 0;
      return vx_comm_waitSrq(id, -1, &stb, nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(idn, query(id, "*IDN?")) << i;
    EXPECT_EQ(std::future_status::timeout, waiter.wait_for(std::chrono::milliseconds(0)));
    const Clock::time_point t0 = Clock::now();
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
    l.id = -1;
    ASSERT_EQ(std::future_status::ready, waiter.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(VI_ERROR_CONN_LOST, waiter.get());
    EXPECT_LT(elapsed_ms(t0), 2000.0);
  }
}
