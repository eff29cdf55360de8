// vxbench_usbd_srq: service request latency through vxusbd, libusb and
// usbfs (emulated with umockdev, tests/usbd/usb_harness.h) on one USB488
// instrument with an interrupt-IN endpoint. A measurement thread ends each
// "measurement" at a known moment, either by the device's SRQ notification
// (0x81, RQS|ESB) while the caller sleeps in vx_comm_waitSrq, or by ESB
// joining the status byte while the caller polls vx_comm_readStb every N
// ms; rounds alternate. Latency is from that moment to the caller seeing
// it. A program of its own because it carries the umockdev preload library.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "service.h"
#include "usb_harness.h"
#include "vx_comm.h"

namespace {

using Clock = std::chrono::steady_clock;
const char kName[] = "USB0::0x1AB1::0x04CE::DS1ZA000000001::INSTR";

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "vxbench_usbd_srq: %s\n", what);
  std::exit(1);
}

double cpu_ms() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

struct Samples {
  std::vector<double> latency;
  double polls = 0, cpu = 0;
  int failed = 0;
  void report(const char* how, int rounds) const {
    if (latency.empty()) {
      std::printf("  %-26s nothing seen (%d failed)\n", how, failed);
      return;
    }
    std::vector<double> s = latency;
    std::sort(s.begin(), s.end());
    double sum = 0;
    for (double v : s) sum += v;
    std::printf("  %-26s latency median %6.2f ms  mean %6.2f  max %6.2f   polls/meas %5.1f   CPU/meas %5.2f ms%s\n",
                how, s[s.size() / 2], sum / (double)s.size(), s.back(), polls / rounds, cpu / rounds,
                failed ? "  (some rounds failed)" : "");
  }
};

// The measurement's end, measMs from now, on a thread of its own; its
// moment into *end.
std::thread end_after(int measMs, Clock::time_point* end, std::function<void()> act) {
  return std::thread([=] {
    *end = Clock::now() + std::chrono::milliseconds(measMs);
    std::this_thread::sleep_until(*end);
    *end = Clock::now();
    act();
  });
}

}  // namespace

// vxbench_usbd_srq [ROUNDS [MEAS_MS [POLL_MS]]]
int main(int argc, char** argv) {
  if (!std::getenv("VX_NETNS_ISOLATED") || !std::getenv("VX_PRIVATE_RUN"))
    die("run me through tests/netns_run.sh (a private network namespace and /run)");
  int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
  int measMs = argc > 2 ? std::atoi(argv[2]) : 50;
  int gapMs = argc > 3 ? std::atoi(argv[3]) : 10;
  if (rounds < 1 || rounds > 1000) rounds = 20;
  if (measMs < 1 || measMs > 10000) measMs = 50;
  if (gapMs < 1 || gapMs > 1000) gapMs = 10;

  usbmock::Testbed bed;
  const int dev = bed.add(usbmock::rigol_usb488());
  std::atomic<bool> stop{false};
  std::thread daemon([&] {
    vxusbd::Options o;
    vxusbd::run(o, &stop);
  });
  if (const char* log = std::getenv("VXBENCH_LOG")) vx_usb_startdebug(log);
  ViInt32 id = -1;
  // Until vxusbd listens (at most 2 s).
  for (int i = 0; i < 200; ++i) {
    if (vx_comm_open(kName, 2000, &id) == VI_SUCCESS && id > 0) break;
    id = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (id <= 0) die("cannot open the emulated instrument");
  vx_comm_setTmoMs(id, 3000);

  Samples srq, poll;
  for (int i = 0; i < rounds; ++i) {
    // The lengths step across the polls' period; both ways get the same.
    const int meas = measMs + (i * 7) % gapMs;
    for (int k = 0; k < 2; ++k) {
      Clock::time_point end;
      if ((i + k) % 2 == 0) {
        if (vx_comm_enableSrq(id, 1) != VI_SUCCESS) die("vx_comm_enableSrq failed");
        const double c0 = cpu_ms();
        std::thread m = end_after(meas, &end, [&] { bed.notify(dev, {0x81, 0x60}); });
        ViUInt16 stb = 0;
        const ViStatus st = vx_comm_waitSrq(id, meas + 5000, &stb, nullptr);
        const Clock::time_point seen = Clock::now();
        m.join();
        srq.cpu += cpu_ms() - c0;
        if (st == VI_SUCCESS && stb == 0x60)
          srq.latency.push_back(std::chrono::duration<double, std::milli>(seen - end).count());
        else
          ++srq.failed;
        vx_comm_enableSrq(id, 0);
      } else {
        const double c0 = cpu_ms();
        std::thread m = end_after(meas, &end, [&] { bed.set_stb(dev, 0x20); });
        const Clock::time_point limit = Clock::now() + std::chrono::milliseconds(meas + 5000);
        for (;;) {
          std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
          ViUInt16 stb = 0;
          const ViStatus st = vx_comm_readStb(id, &stb);
          poll.polls += 1;
          const Clock::time_point seen = Clock::now();
          if (st == VI_SUCCESS && (stb & 0x20) != 0) {
            m.join();
            poll.latency.push_back(std::chrono::duration<double, std::milli>(seen - end).count());
            break;
          }
          if (st != VI_SUCCESS || seen > limit) {
            m.join();
            ++poll.failed;
            break;
          }
        }
        poll.cpu += cpu_ms() - c0;
        bed.set_stb(dev, 0);
      }
    }
  }
  vx_comm_close(id);
  stop.store(true);
  daemon.join();
  std::printf("service requests through vxusbd and usbfs (umockdev), one USB488 instrument; %d..%d ms measurements, "
              "%d rounds each way\n",
              measMs, measMs + gapMs - 1, rounds);
  srq.report("vx_comm_waitSrq", rounds);
  char how[48];
  std::snprintf(how, sizeof how, "vx_comm_readStb every %d ms", gapMs);
  poll.report(how, rounds);
  return 0;
}
