// Measures the library against a plain-socket client doing the same
// exchange with the simulator, side by side in one run: *IDN? round trips
// per second, and raw block throughput. Runs only in a private network
// namespace (scripts/bench.sh sets one up).
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pattern.h"
#include "vx_comm.h"

namespace {

using Clock = std::chrono::steady_clock;

bool isolated() {
  struct if_nameindex* list = if_nameindex();
  if (!list) return false;
  bool ok = true;
  for (struct if_nameindex* i = list; i->if_index != 0; ++i)
    if (strcmp(i->if_name, "lo") != 0) ok = false;
  if_freenameindex(list);
  return ok;
}

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The plain client: one socket, TCP_NODELAY, the same bytes on the wire.
struct Plain {
  int fd = -1;
  std::string rest;
  explicit Plain(const char* addr) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(18);
    sa.sin_addr.s_addr = inet_addr(addr);
    if (connect(fd, (sockaddr*)&sa, sizeof sa) != 0) {
      perror("vxbench: plain connect");
      exit(1);
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~Plain() { close(fd); }
  void send_all(const void* p, size_t n) {
    const char* c = static_cast<const char*>(p);
    while (n > 0) {
      ssize_t k = send(fd, c, n, MSG_NOSIGNAL);
      if (k <= 0) exit(1);
      c += k;
      n -= (size_t)k;
    }
  }
  std::string line() {
    char buf[4096];
    for (;;) {
      size_t lf = rest.find('\n');
      if (lf != std::string::npos) {
        std::string l = rest.substr(0, lf + 1);
        rest.erase(0, lf + 1);
        return l;
      }
      ssize_t k = recv(fd, buf, sizeof buf, 0);
      if (k <= 0) exit(1);
      rest.append(buf, (size_t)k);
    }
  }
  void recv_all(uint8_t* p, size_t n) {
    while (n > 0) {
      ssize_t k = recv(fd, p, n, 0);
      if (k <= 0) exit(1);
      p += k;
      n -= (size_t)k;
    }
  }
};

struct Figure {
  double lib, plain;
};

void report(const char* what, const char* unit, Figure f) {
  printf("%-44s library %10.1f %-6s plain %10.1f %-6s ratio %.3f\n", what, f.lib, unit, f.plain, unit, f.lib / f.plain);
}

// cmd "*IDN?" makes puts send the command and its line feed in two
// transport writes; "*IDN?\n" goes out in one, as the plain client sends it.
Figure round_trips(const char* addr, ViInt32 link, int n, const char* cmd) {
  Plain plain(addr);
  char buf[256];
  ViInt32 got = 0;
  // Warm both paths up first.
  for (int i = 0; i < 200; ++i) {
    plain.send_all("*IDN?\n", 6);
    plain.line();
    vx_comm_puts(link, "*IDN?", 0, nullptr);
    vx_comm_gets(link, buf, sizeof buf, &got);
  }
  Figure f{};
  auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    if (vx_comm_puts(link, cmd, 0, nullptr) != VI_SUCCESS || vx_comm_gets(link, buf, sizeof buf, &got) != VI_SUCCESS) {
      fprintf(stderr, "vxbench: query failed\n");
      exit(1);
    }
  }
  f.lib = n / seconds_since(t0);
  t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    plain.send_all("*IDN?\n", 6);
    plain.line();
  }
  f.plain = n / seconds_since(t0);
  return f;
}

bool check(const std::vector<uint8_t>& data) {
  vxsim::Checksum want, got;
  std::vector<uint8_t> expect(1 << 20);
  for (size_t at = 0; at < data.size(); at += expect.size()) {
    size_t n = std::min(expect.size(), data.size() - at);
    vxsim::pattern_fill(at, expect.data(), n);
    if (memcmp(expect.data(), data.data() + at, n) != 0) return false;
  }
  return true;
}

Figure read_throughput(const char* addr, ViInt32 link, size_t size) {
  std::vector<uint8_t> data(size);
  std::string cmd = "STREAM? " + std::to_string(size);
  Figure f{};
  auto t0 = Clock::now();
  ViInt32 got = 0;
  if (vx_comm_puts(link, cmd.c_str(), 0, nullptr) != VI_SUCCESS ||
      vx_comm_readBlocking(link, data.data(), (ViInt32)size, &got) != VI_SUCCESS || (size_t)got != size) {
    fprintf(stderr, "vxbench: readBlocking failed\n");
    exit(1);
  }
  f.lib = size / seconds_since(t0) / (1 << 20);
  if (!check(data)) {
    fprintf(stderr, "vxbench: library data differs from the pattern\n");
    exit(1);
  }
  memset(data.data(), 0, size);
  Plain plain(addr);
  t0 = Clock::now();
  cmd += "\n";
  plain.send_all(cmd.data(), cmd.size());
  plain.recv_all(data.data(), size);
  f.plain = size / seconds_since(t0) / (1 << 20);
  if (!check(data)) {
    fprintf(stderr, "vxbench: plain data differs from the pattern\n");
    exit(1);
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (!isolated()) {
    fprintf(stderr, "vxbench: refusing to run outside a private network namespace (use scripts/bench.sh)\n");
    return 2;
  }
  const char* addr = argc > 1 ? argv[1] : "127.0.0.2";
  int queries = argc > 2 ? atoi(argv[2]) : 20000;
  if (queries < 1 || queries > 10000000) queries = 20000;
  std::string address = std::string("TCP-") + addr;
  ViInt32 link = -1;
  if (vx_comm_open(address.c_str(), 1000, &link) != VI_SUCCESS || link < 0) {
    fprintf(stderr, "vxbench: cannot open %s\n", address.c_str());
    return 1;
  }
  vx_comm_setTmoMs(link, 5000);
  printf("vxbench against %s (%d queries; 256 MiB read)\n", addr, queries);
  // Best of three for each figure, so one scheduling hiccup does not decide.
  Figure rt{0, 0}, rt1{0, 0}, rd{0, 0};
  auto best = [](Figure& into, Figure f) { into = {std::max(into.lib, f.lib), std::max(into.plain, f.plain)}; };
  for (int r = 0; r < 3; ++r) {
    best(rt, round_trips(addr, link, queries, "*IDN?"));
    best(rt1, round_trips(addr, link, queries, "*IDN?\n"));
    best(rd, read_throughput(addr, link, 256u << 20));
  }
  report("*IDN? round trips (puts/gets)", "/s", rt);
  report("*IDN?\\n round trips (one write per query)", "/s", rt1);
  report("readBlocking 256 MiB", "MiB/s", rd);
  vx_comm_close(link);
  return 0;
}
