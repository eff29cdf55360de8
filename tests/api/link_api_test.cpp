// Opening, closing and validating links through the exports.
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "api_util.h"

namespace {

TEST(LinkApi, AddressFormsAndLowestFreeSlot) {
  std::string a = sim_addr();
  ViInt32 first = open_link("TCP-" + a);
  ViInt32 second = open_link(a);  // a leading digit means TCP too
  ASSERT_GT(first, 0);
  ASSERT_GT(second, first);
  EXPECT_EQ("VXSIM", query(second, "*IDN?").substr(0, 5));
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(first));
  EXPECT_EQ(first, open_link("TCP-" + a)) << "the lowest free slot is taken again";
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(first));
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(second));
  EXPECT_EQ(VI_ERROR_CONN_LOST, vx_comm_close(second));
}

TEST(LinkApi, FailedOpensReportMinusOneAndLeaveTheSlotFree) {
  TempLog log("failopen");
  vx_usb_startdebug(log.path.c_str());
  // Nothing listens on .9; a host name is not looked up; "tcp-" in lower
  // case, "USBx" and "USB-..." are not TCP addresses. Without a VISA
  // library the VISA names say why they are refused.
  struct Row {
    const char* address;
    const char* refusal;
  };
  const Row addrs[] = {{"TCP-127.0.0.9", nullptr},
                       {"localhost", "not a TCPIP or USB resource name"},
                       {"tcp-127.0.0.2", "not a TCPIP or USB resource name"},
                       {"USB0::1::INSTR", "a USB name is USB[board]::vendor::product::serial[::interface]::INSTR"},
                       {"USB-VX0000000000000000", nullptr},
                       {"", "the name is empty"}};
  for (const Row& row : addrs) {
    ViInt32 id = 0;
    EXPECT_EQ(VI_SUCCESS, vx_comm_open(row.address, 1234, &id)) << row.address;
    EXPECT_EQ(-1, id) << row.address;
  }
  vx_usb_stopdebug();
  std::vector<std::string> want;
  for (const Row& row : addrs) {
    want.push_back(std::string("vx_comm_open(address=") + row.address + ", tmoMs=1234)");
    if (row.refusal)
      want.push_back(
          std::string(
              "vx_comm_open() error: no usable VISA library is loaded, and the library does not serve this name itself: ") +
          row.refusal);
    // This suite runs without the USB service: a USB open says so.
    const char* address = row.address;
    if (address[0] == 'U' && address[3] == '-' && vx_test_usb_needs_service())
      want.push_back("vx_comm_open() error: nothing serves the USB bus on /run/vx_comm_lib/usb.sock; "
                     "is the USB service vxusbd running?");
    want.push_back("vx_comm_open() error: failed opening a physical link");
    want.push_back("vx_comm_open() returns: linkId=-1");
  }
  EXPECT_EQ(want, log.lines());
  ViInt32 id = open_link("TCP-" + sim_addr());
  EXPECT_EQ(1, id) << "a failed open must leave its slot free";
  vx_comm_close(id);
}

TEST(LinkApi, HundredLinksThenTheTableIsFull) {
  std::vector<ViInt32> ids;
  for (int i = 0; i < 100; ++i) {
    ViInt32 id = open_link("TCP-" + sim_addr(i % 2));
    ASSERT_EQ(i + 1, id);
    ids.push_back(id);
  }
  TempLog log("full");
  vx_usb_startdebug(log.path.c_str());
  ViInt32 id = 0;
  EXPECT_EQ(VI_ERROR_SYSTEM_ERROR, vx_comm_open(("TCP-" + sim_addr()).c_str(), 5, &id));
  vx_usb_stopdebug();
  EXPECT_EQ(-1, id);
  EXPECT_EQ(std::vector<std::string>{"vx_comm_open(address=TCP-" + sim_addr() + ", tmoMs=5)"}, log.lines());
  EXPECT_EQ(VI_SUCCESS, vx_comm_close(ids[41]));
  EXPECT_EQ(42, open_link("TCP-" + sim_addr()));
  // A loaded machine (sanitizers, 100 connections) may need more than the
  // default second; the limit is only an upper bound.
  ASSERT_EQ(VI_SUCCESS, vx_comm_setTmoMs(100, 10000));
  ViStatus s = VI_SUCCESS;
  EXPECT_EQ("VXSIM", query(100, "*IDN?", &s).substr(0, 5)) << s;
  for (ViInt32 l : ids) EXPECT_EQ(VI_SUCCESS, vx_comm_close(l));
}

// Concurrent opens never share a slot; every link answers as its own.
TEST(LinkApi, ConcurrentOpensAndClosesNeverShareASlot) {
  std::atomic<int> owner[101];
  for (auto& o : owner) o = -1;
  std::atomic<int> faults{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < 6; ++t)
    pool.emplace_back([&, t] {
      for (int round = 0; round < 15; ++round) {
        ViInt32 id = -1;
        vx_comm_open(("TCP-" + sim_addr(t % 2)).c_str(), 0, &id);
        if (id < 1 || id > 100) {
          ADD_FAILURE() << "open failed: " << id;
          faults++;
          continue;
        }
        int expected = -1;
        if (!owner[id].compare_exchange_strong(expected, t)) {
          ADD_FAILURE() << "slot " << id << " shared by threads " << expected << " and " << t;
          faults++;
        }
        std::string tag = "t" + std::to_string(t) + "r" + std::to_string(round);
        ViStatus qs = VI_SUCCESS;
        std::string reply = query(id, "ECHO " + tag, &qs);
        if (reply != tag + "\n") {
          ADD_FAILURE() << "link " << id << " answered '" << reply << "' (status " << qs << ") to " << tag;
          faults++;
        }
        owner[id] = -1;
        vx_comm_close(id);
      }
    });
  for (auto& th : pool) th.join();
  EXPECT_EQ(0, faults.load());
}

}  // namespace
