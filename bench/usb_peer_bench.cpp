// vxbench_usbpeer: the library over vxusbd against pyvisa-py's USB route
// (pyusb over libusb, in a Python process of its own) on one emulated
// USB488 instrument of another maker (tests/usbd/usb_harness.h), in one
// run: "*IDN?" round trips, a 16 MiB block read and a 16 MiB block write.
// The Python process runs with umockdev's preload library and this
// process's testbed (UMOCKDEV_DIR), so its usbfs ioctls reach the same
// handler on this process's umockdev thread as vxusbd's do.
//
//   vxbench_usbpeer PEER_SCRIPT [ROUNDS]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "service.h"
#include "usb_harness.h"
#include "vx_comm.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
const char kResource[] = "USB0::0x1AB1::0x04CE::DS1ZA000000001::INSTR";
const int kQueries = 200;
// pyvisa reads a reply in chunk_size pieces (20 KiB by default), and
// pyvisa-py asks the device for as much in one bulk in. umockdev's
// forwarding copies a bulk in's whole buffer, so the library's replies are
// read into as much too; the library with a small buffer is a row of its own.
const int kChunk = 20 * 1024;
const int kSmallRoom = 256;
const int kBlock = 16 * 1024 * 1024;
// A round takes a few seconds; a stuck Python process is ended (the
// library's calls end at their own timeouts).
const int kPeerDeadlineMs = 300000;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "vxbench_usbpeer: %s\n", what.c_str());
  std::exit(1);
}

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

struct Times {
  double query_s = 0, read_s = 0, write_s = 0;
  double small_query_s = 0;  // the library reading replies into kSmallRoom bytes
  double query_cpu_s = 0;    // the client's CPU time in the queries
};

// vxusbd's thread, whose CPU time counts with the library's: pyvisa-py's
// process does both jobs (USBTMC and libusb).
std::atomic<pid_t> g_daemon_tid{0};

double client_cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  double own = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  // schedstat: nanoseconds on a CPU first.
  std::string path = "/proc/self/task/" + std::to_string(g_daemon_tid.load()) + "/schedstat";
  unsigned long long ns = 0;
  if (FILE* f = std::fopen(path.c_str(), "r")) {
    if (std::fscanf(f, "%llu", &ns) != 1) ns = 0;
    std::fclose(f);
  }
  return own + static_cast<double>(ns) / 1e9;
}

std::string query(ViInt32 id, const char* cmd, int room = kChunk) {
  static std::vector<char> buf(kChunk);
  ViInt32 n = 0;
  if (vx_comm_puts(id, cmd, static_cast<ViInt32>(std::strlen(cmd)), &n) != VI_SUCCESS ||
      vx_comm_gets(id, buf.data(), room, &n) < 0 || n <= 0)
    die("library: query failed");
  return std::string(buf.data(), static_cast<std::size_t>(n));
}

Times run_library(std::vector<char>& block) {
  ViInt32 id = -1;
  for (int i = 0; i < 300 && id < 0; ++i) {
    if (vx_comm_open(kResource, 2000, &id) != VI_SUCCESS) id = -1;
    if (id < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (id < 0) die("the library cannot open the device over vxusbd");
  vx_comm_setTmoMs(id, 20000);
  query(id, "*IDN?\n");
  Times t;
  auto t0 = Clock::now();
  double c0 = client_cpu_s();
  for (int i = 0; i < kQueries; ++i) query(id, "*IDN?\n");
  t.query_s = seconds_since(t0);
  t.query_cpu_s = client_cpu_s() - c0;
  t0 = Clock::now();
  for (int i = 0; i < kQueries; ++i) query(id, "*IDN?\n", kSmallRoom);
  t.small_query_s = seconds_since(t0);
  ViInt32 n = 0;
  const std::string cmd = "DATA? " + std::to_string(kBlock) + "\n";
  t0 = Clock::now();
  if (vx_comm_readBlock(id, cmd.c_str(), block.data(), kBlock, &n) != VI_SUCCESS || n != kBlock)
    die("library: block read failed");
  char lf[8];
  vx_comm_gets(id, lf, sizeof lf, &n);  // the line feed after the block
  t.read_s = seconds_since(t0);
  for (int i = 0; i < kBlock; ++i)
    if (block[static_cast<std::size_t>(i)] != static_cast<char>('A' + i % 26))
      die("library: block not the device's pattern");
  t0 = Clock::now();
  if (vx_comm_writeBlock(id, "SINK ", block.data(), kBlock) != VI_SUCCESS) die("library: block write failed");
  query(id, "*IDN?\n");  // the device has taken the whole block once it answers
  t.write_s = seconds_since(t0);
  vx_comm_close(id);
  return t;
}

// One round of bench/usb_peer_bench.py, with the preload library and
// this process's UMOCKDEV_DIR.
Times run_peer(const std::string& script) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) die("pipe");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0) env_text.emplace_back(*e);
  env_text.emplace_back("LD_PRELOAD=libumockdev-preload.so.0");
  env_text.emplace_back("PYTHONDONTWRITEBYTECODE=1");
  std::vector<char*> env;
  for (std::string& s : env_text) env.push_back(&s[0]);
  env.push_back(nullptr);
  const std::string queries = std::to_string(kQueries), size = std::to_string(kBlock);
  const char* argv[] = {"/usr/bin/python3", script.c_str(), kResource, queries.c_str(), size.c_str(), nullptr};
  pid_t child = -1;
  int rc = posix_spawn(&child, argv[0], &fa, nullptr, const_cast<char**>(argv), env.data());
  posix_spawn_file_actions_destroy(&fa);
  ::close(fds[1]);
  if (rc != 0) die("cannot start /usr/bin/python3");
  std::string out;
  auto t0 = Clock::now();
  for (;;) {
    int left = kPeerDeadlineMs - static_cast<int>(seconds_since(t0) * 1000);
    if (left <= 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
      die("pyvisa-py's round did not end in time");
    }
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) continue;
    char buf[512];
    ssize_t k = ::read(fds[0], buf, sizeof buf);
    if (k <= 0) break;
    out.append(buf, static_cast<std::size_t>(k));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  Times t;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
      std::sscanf(out.c_str(), "%lf %lf %lf %lf", &t.query_s, &t.read_s, &t.write_s, &t.query_cpu_s) != 4)
    die("pyvisa-py: " + (out.empty() ? std::string("no result") : out));
  t.small_query_s = t.query_s;  // pyvisa-py reads as much whatever the reply
  return t;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("VX_NETNS_ISOLATED") || !std::getenv("VX_PRIVATE_RUN"))
    die("run me through tests/netns_run.sh (a private network namespace and /run)");
  if (argc < 2) die("usage: vxbench_usbpeer PEER_SCRIPT [ROUNDS]");
  const std::string script = argv[1];
  const int rounds = argc > 2 ? std::max(1, std::min(50, std::atoi(argv[2]))) : 7;
  usbmock::Testbed bed;
  if (!std::getenv("UMOCKDEV_DIR")) die("the testbed set no UMOCKDEV_DIR");
  usbmock::DeviceSetup setup = usbmock::rigol_usb488();
  setup.interrupt_in = false;
  setup.host_setup = true;
  bed.add(setup);
  std::atomic<bool> stop{false};
  std::thread daemon([&] {
    g_daemon_tid.store(static_cast<pid_t>(::gettid()));
    vxusbd::Options o;
    vxusbd::run(o, &stop);
  });
  std::vector<char> block(kBlock);
  // In turn, never two on the device at once (vxusbd holds it only while
  // a link is open), taking turns at going first.
  for (int i = 0; i < 500 && g_daemon_tid.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (g_daemon_tid.load() == 0) die("vxusbd's thread did not start");
  std::vector<Times> lib, peer;
  for (int round = 0; round < rounds; ++round) {
    if (round % 2 == 0) {
      lib.push_back(run_library(block));
      peer.push_back(run_peer(script));
    } else {
      peer.push_back(run_peer(script));
      lib.push_back(run_library(block));
    }
  }
  stop.store(true);
  daemon.join();
  auto column = [](const std::vector<Times>& v, double Times::*f) {
    std::vector<double> c;
    for (const Times& t : v) c.push_back(t.*f);
    return c;
  };
  // Per round, pyvisa-py's time over the library's: above 1, the library is faster.
  auto ratios = [&](double Times::*f) {
    std::vector<double> r;
    for (std::size_t i = 0; i < lib.size(); ++i) r.push_back(peer[i].*f / lib[i].*f);
    std::sort(r.begin(), r.end());
    return r;
  };
  const double mib = kBlock / 1048576.0;
  std::printf("USB488 device 1ab1:04ce emulated with umockdev, %d rounds, medians (min - max)\n", rounds);
  std::printf("%-30s | %-22s | %-22s | %s\n", "figure", "library over vxusbd", "pyvisa-py (@py, pyusb)",
              "@py time / library time, per round");
  struct Row {
    const char* name;
    double Times::*f;
    double per;  // operations a round
    const char* unit;
    double scale;
  } rows[] = {{"*IDN? round trip", &Times::query_s, kQueries, "us", 1e6},
              {"*IDN?, library into 256 B", &Times::small_query_s, kQueries, "us", 1e6},
              {"16 MiB block read", &Times::read_s, 1, "ms", 1e3},
              {"16 MiB block write + *IDN?", &Times::write_s, 1, "ms", 1e3},
              {"client CPU per *IDN? (a)", &Times::query_cpu_s, kQueries, "us", 1e6}};
  for (const Row& row : rows) {
    std::vector<double> l = column(lib, row.f), p = column(peer, row.f), r = ratios(row.f);
    char a[64], b[64];
    double lm = median(l) / row.per, pm = median(p) / row.per;
    if (row.per == 1) {
      std::snprintf(a, sizeof a, "%.0f %s (%.1f MiB/s)", lm * row.scale, row.unit, mib / lm);
      std::snprintf(b, sizeof b, "%.0f %s (%.1f MiB/s)", pm * row.scale, row.unit, mib / pm);
    } else {
      std::snprintf(a, sizeof a, "%.0f %s", lm * row.scale, row.unit);
      std::snprintf(b, sizeof b, "%.0f %s", pm * row.scale, row.unit);
    }
    std::printf("%-30s | %-22s | %-22s | %.2f (%.2f - %.2f)\n", row.name, a, b, median(r), r.front(), r.back());
  }
  std::printf(
      "(a) the library: the calling thread and vxusbd's; pyvisa-py: its whole process; both with the\n"
      "    preload library's ioctl forwarding, not the device's handler\n");
  return 0;
}
