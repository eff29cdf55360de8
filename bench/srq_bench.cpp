// Service request latency on each route that has them: the simulator runs
// a measurement (MEAS ms, *ESE 1, *SRE 32) and the caller either sleeps in
// vx_comm_waitSrq until the request wakes it, or polls *STB? every N ms
// until ESB (32) shows, as a program without service requests does. Both
// in the same run, rounds alternating; latency is from the measurement's
// scheduled end (the MEAS command's send plus its length) to the caller
// seeing it; the lengths step across the polls' period. Also the polls a measurement costs and the CPU time of this
// process (the library's threads included) per measurement. Runs only in
// a private network namespace with a private /run (scripts/bench.sh --srq).
#include <net/if.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "isolated.h"
#include "vx_comm.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

double cpu_ms() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

struct Route {
  const char* name;
  const char* address;
};
const Route kRoutes[] = {
    {"VXI-11", "TCPIP0::127.0.0.2::inst0::INSTR"},
    {"HiSLIP", "TCPIP0::127.0.0.2::hislip0::INSTR"},
    {"USB488", "USB0::0x2A8D::0x0396::CLASS488::INSTR"},
};

struct Samples {
  std::vector<double> latency;  // ms
  double polls = 0;             // summed over the rounds
  double cpu = 0;               // ms, summed
  int failed = 0;
  void report(const char* route, const char* how, int rounds) const {
    if (latency.empty()) {
      printf("  %-6s %-22s no measurement seen (%d failed)\n", route, how, failed);
      return;
    }
    std::vector<double> s = latency;
    std::sort(s.begin(), s.end());
    double sum = 0;
    for (double v : s) sum += v;
    printf("  %-6s %-22s latency median %7.2f ms  mean %7.2f  max %7.2f   polls/meas %6.1f   CPU/meas %6.2f ms%s\n",
           route, how, s[s.size() / 2], sum / (double)s.size(), s.back(), polls / rounds, cpu / rounds,
           failed ? "  (some rounds failed)" : "");
  }
};

bool send(ViInt32 id, const char* line) { return vx_comm_puts(id, line, 0, nullptr) == VI_SUCCESS; }

std::string ask(ViInt32 id, const char* line) {
  char buf[256];
  ViInt32 n = 0;
  if (!send(id, line) || vx_comm_gets(id, buf, sizeof buf, &n) != VI_SUCCESS) return std::string();
  return std::string(buf, (size_t)n);
}

// Back to a quiet instrument: the event register read (ESB goes), RQS
// withdrawn by a serial poll, nothing left queued.
void settle(ViInt32 id, bool srq) {
  ask(id, "*ESR?");
  ViUInt16 stb = 0;
  vx_comm_readStb(id, &stb);
  if (srq)
    while (vx_comm_waitSrq(id, 0, &stb, nullptr) == VI_SUCCESS) {
    }
}

// Starts a measurement of measMs: the moment of its send into *t0 and the
// CPU time then into *c0; false (counted) when the command did not go.
bool start_measurement(ViInt32 id, int measMs, Samples* s, Clock::time_point* t0, double* c0) {
  char meas[32];
  snprintf(meas, sizeof meas, "MEAS %d", measMs);
  *c0 = cpu_ms();
  *t0 = Clock::now();
  if (send(id, meas)) return true;
  ++s->failed;
  return false;
}

// One measurement awaited with the service request.
void srq_round(ViInt32 id, int measMs, Samples* s) {
  Clock::time_point t0;
  double c0 = 0;
  if (!start_measurement(id, measMs, s, &t0, &c0)) return;
  ViUInt16 stb = 0;
  const ViStatus st = vx_comm_waitSrq(id, measMs + 5000, &stb, nullptr);
  const Clock::time_point t1 = Clock::now();
  s->cpu += cpu_ms() - c0;
  if (st != VI_SUCCESS || (stb & 0x20) == 0) {
    ++s->failed;
    return;
  }
  s->latency.push_back(ms_between(t0, t1) - measMs);
}

// One measurement awaited by polling *STB? every gapMs.
void poll_round(ViInt32 id, int measMs, int gapMs, Samples* s) {
  Clock::time_point t0;
  double c0 = 0;
  if (!start_measurement(id, measMs, s, &t0, &c0)) return;
  const Clock::time_point limit = t0 + std::chrono::milliseconds(measMs + 5000);
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    const std::string reply = ask(id, "*STB?");
    s->polls += 1;
    const Clock::time_point t1 = Clock::now();
    if (!reply.empty() && (atoi(reply.c_str()) & 0x20) != 0) {
      s->cpu += cpu_ms() - c0;
      s->latency.push_back(ms_between(t0, t1) - measMs);
      return;
    }
    if (reply.empty() || t1 > limit) {
      s->cpu += cpu_ms() - c0;
      ++s->failed;
      return;
    }
  }
}

void bench_route(const Route& r, int rounds, int measMs, int gapMs) {
  ViInt32 id = -1;
  if (vx_comm_open(r.address, 3000, &id) != VI_SUCCESS || id <= 0) {
    printf("  %-6s cannot open %s: skipped\n", r.name, r.address);
    return;
  }
  vx_comm_setTmoMs(id, 3000);
  settle(id, false);
  ViStatus on = vx_comm_enableSrq(id, 1);
  if (on == VI_ERROR_NSUP_OPER) {
    printf("  %-6s vx_comm_enableSrq answers VI_ERROR_NSUP_OPER: no service requests on this route yet, skipped\n",
           r.name);
    vx_comm_close(id);
    return;
  }
  if (on != VI_SUCCESS) {
    printf("  %-6s vx_comm_enableSrq failed (%d): skipped\n", r.name, (int)on);
    vx_comm_close(id);
    return;
  }
  vx_comm_enableSrq(id, 0);
  send(id, "*ESE 1");
  Samples srq, poll;
  for (int i = 0; i < rounds; ++i) {
    // The measurement's length moves across the polls' period, so that the
    // polls do not meet its end in the same phase every round; both ways
    // get the same lengths.
    const int meas = measMs + (i * 7) % gapMs;
    // Alternating, so that neither way always runs on a warmer system.
    for (int k = 0; k < 2; ++k) {
      if ((i + k) % 2 == 0) {
        send(id, "*SRE 32");
        vx_comm_enableSrq(id, 1);
        settle(id, true);
        srq_round(id, meas, &srq);
        vx_comm_enableSrq(id, 0);
        send(id, "*SRE 0");
        settle(id, false);
      } else {
        settle(id, false);
        poll_round(id, meas, gapMs, &poll);
        settle(id, false);
      }
    }
  }
  srq.report(r.name, "vx_comm_waitSrq", rounds);
  char how[40];
  snprintf(how, sizeof how, "*STB? every %d ms", gapMs);
  poll.report(r.name, how, rounds);
  send(id, "*ESE 0");
  vx_comm_close(id);
}

}  // namespace

// vxbench_srq [ROUNDS [MEAS_MS [POLL_MS]]]
int main(int argc, char** argv) {
  if (!bench_isolated() || getenv("VX_PRIVATE_RUN") == nullptr) {
    fprintf(stderr,
            "vxbench_srq: refusing to run outside a private network namespace with a private /run (use "
            "scripts/bench.sh --srq)\n");
    return 2;
  }
  int rounds = argc > 1 ? atoi(argv[1]) : 20;
  int measMs = argc > 2 ? atoi(argv[2]) : 50;
  int gapMs = argc > 3 ? atoi(argv[3]) : 10;
  if (rounds < 1 || rounds > 1000) rounds = 20;
  if (measMs < 1 || measMs > 10000) measMs = 50;
  if (gapMs < 1 || gapMs > 1000) gapMs = 10;
  printf("service request latency: MEAS %d..%d ms, %d rounds each way, alternating; from the scheduled end to "
         "the caller seeing it\n",
         measMs, measMs + gapMs - 1, rounds);
  for (const Route& r : kRoutes) bench_route(r, rounds, measMs, gapMs);
  return 0;
}
