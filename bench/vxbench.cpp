// Measures the library against a plain-socket client doing the same
// exchange with the simulator, side by side in one run: *IDN? round trips
// per second, and raw block throughput. Runs only in a private network
// namespace (scripts/bench.sh sets one up).
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pattern.h"
#include "isolated.h"
#include "vx_comm.h"

namespace {

using Clock = std::chrono::steady_clock;

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
  printf("%-46s library %10.1f %-6s plain %10.1f %-6s ratio %.3f\n", what, f.lib, unit, f.plain, unit, f.lib / f.plain);
}

// puts sends "*IDN?" and its line feed in one transport write, as the
// plain client sends "*IDN?\n".
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
  // Alternate slices of the two clients so that neither always runs first
  // or last on a machine whose speed drifts.
  const int slices = 10;
  double libSecs = 0, plainSecs = 0;
  for (int sl = 0; sl < slices; ++sl) {
    int k = n / slices;
    auto t0 = Clock::now();
    for (int i = 0; i < k; ++i) {
      plain.send_all("*IDN?\n", 6);
      plain.line();
    }
    plainSecs += seconds_since(t0);
    t0 = Clock::now();
    for (int i = 0; i < k; ++i) {
      if (vx_comm_puts(link, cmd, 0, nullptr) != VI_SUCCESS || vx_comm_gets(link, buf, sizeof buf, &got) != VI_SUCCESS) {
        fprintf(stderr, "vxbench: query failed\n");
        exit(1);
      }
    }
    libSecs += seconds_since(t0);
  }
  Figure f{};
  f.lib = (n / slices) * slices / libSecs;
  f.plain = (n / slices) * slices / plainSecs;
  return f;
}

// Runs the library's and the plain client's halves of one measurement,
// the plain one first when plainFirst, so that over several rounds neither
// side always has the machine warm or cold.
template <typename Lib, typename PlainFn>
Figure both(bool plainFirst, Lib lib, PlainFn plain) {
  Figure f{};
  if (plainFirst) f.plain = plain();
  f.lib = lib();
  if (!plainFirst) f.plain = plain();
  return f;
}

// Checks pattern bytes at stream position `at`, so pieces can be verified
// as they arrive.
bool check_at(uint64_t at, const uint8_t* p, size_t n) {
  static std::vector<uint8_t> expect(1 << 20);
  for (size_t off = 0; off < n; off += expect.size()) {
    size_t k = std::min(expect.size(), n - off);
    vxsim::pattern_fill(at + off, expect.data(), k);
    if (memcmp(expect.data(), p + off, k) != 0) return false;
  }
  return true;
}

void die(const char* what) {
  fprintf(stderr, "vxbench: %s\n", what);
  exit(1);
}

// The plain side of a block read: parse "#<d><digits>" and receive the data
// into a buffer of `piece` bytes, as a careful hand-written client would.
size_t plain_block_header(Plain& plain, const std::string& query) {
  std::string q = query + "\n";
  plain.send_all(q.data(), q.size());
  uint8_t h[2];
  plain.recv_all(h, 2);
  if (h[0] != '#' || h[1] < '1' || h[1] > '9') die("plain client: bad header");
  std::string digits(h[1] - '0', '0');
  plain.recv_all(reinterpret_cast<uint8_t*>(&digits[0]), digits.size());
  return (size_t)strtoull(digits.c_str(), nullptr, 10);
}

Figure read_throughput(const char* addr, ViInt32 link, size_t size, bool plainFirst) {
  std::vector<uint8_t> data(size);
  memset(data.data(), 1, size);  // both clients write into memory already mapped
  std::string cmd = "STREAM? " + std::to_string(size);
  return both(
      plainFirst,
      [&] {
        auto t0 = Clock::now();
        ViInt32 got = 0;
        if (vx_comm_puts(link, cmd.c_str(), 0, nullptr) != VI_SUCCESS ||
            vx_comm_readBlocking(link, data.data(), (ViInt32)size, &got) != VI_SUCCESS || (size_t)got != size)
          die("readBlocking failed");
        double rate = size / seconds_since(t0) / (1 << 20);
        if (!check_at(0, data.data(), size)) die("readBlocking data differs from the pattern");
        return rate;
      },
      [&] {
        Plain plain(addr);
        auto t0 = Clock::now();
        std::string line = cmd + "\n";
        plain.send_all(line.data(), line.size());
        plain.recv_all(data.data(), size);
        double rate = size / seconds_since(t0) / (1 << 20);
        if (!check_at(0, data.data(), size)) die("plain data differs from the pattern");
        return rate;
      });
}

Figure block_read_memory(const char* addr, ViInt32 link, size_t size, bool plainFirst) {
  std::vector<uint8_t> buf(1 << 20);
  std::string query = "BLOCK? " + std::to_string(size);
  return both(
      plainFirst,
      [&] {
        auto t0 = Clock::now();
        uint64_t at = 0;
        bool ok = true;
        ViStatus s;
        do {
          ViInt32 n = 0;
          s = vx_comm_readBlock(link, query.c_str(), buf.data(), (ViInt32)buf.size(), &n);
          if (s != VI_SUCCESS && s != VI_SUCCESS_MAX_CNT) die("readBlock failed");
          ok = ok && check_at(at, buf.data(), (size_t)n);
          at += (uint64_t)n;
        } while (s == VI_SUCCESS_MAX_CNT);
        double rate = size / seconds_since(t0) / (1 << 20);
        if (!ok || at != size) die("readBlock data differs from the pattern");
        return rate;
      },
      [&] {
        Plain plain(addr);
        auto t0 = Clock::now();
        size_t total = plain_block_header(plain, query);
        bool ok = true;
        for (size_t at = 0; at < total;) {
          size_t n = std::min(buf.size(), total - at);
          plain.recv_all(buf.data(), n);
          ok = ok && check_at(at, buf.data(), n);
          at += n;
        }
        double rate = size / seconds_since(t0) / (1 << 20);
        if (!ok) die("plain block data differs from the pattern");
        return rate;
      });
}

double cpu_seconds() {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

// One route's figures through the library alone, the best of the rounds:
// for comparing routes to the same instrument. cpuShare is this process's
// CPU time over the wall time of the best read; the rest of the read's time
// it waited for the instrument.
struct RouteFigures {
  double queries = 0, read = 0, cpuShare = 0, write = 0;
};

void route_round(ViInt32 link, int queries, size_t size, const std::string& want, const std::vector<uint8_t>& up,
                 RouteFigures* best) {
  char line[256];
  ViInt32 n = 0;
  auto t0 = Clock::now();
  for (int i = 0; i < queries; ++i)
    if (vx_comm_puts(link, "*IDN?", 0, nullptr) != VI_SUCCESS ||
        vx_comm_gets(link, line, sizeof line, &n) != VI_SUCCESS || strncmp(line, "VXSIM,", 6) != 0)
      die("route: *IDN? failed");
  best->queries = std::max(best->queries, queries / seconds_since(t0));

  std::vector<uint8_t> buf(1 << 20);
  const std::string query = "BLOCK? " + std::to_string(size);
  double cpu0 = cpu_seconds();
  t0 = Clock::now();
  uint64_t at = 0;
  ViStatus s;
  do {
    s = vx_comm_readBlock(link, query.c_str(), buf.data(), (ViInt32)buf.size(), &n);
    if (s != VI_SUCCESS && s != VI_SUCCESS_MAX_CNT) die("route: readBlock failed");
    if (!check_at(at, buf.data(), (size_t)n)) die("route: readBlock data differs from the pattern");
    at += (uint64_t)n;
  } while (s == VI_SUCCESS_MAX_CNT);
  const double secs = seconds_since(t0);
  if (at != size) die("route: readBlock gave the wrong length");
  if (size / secs / (1 << 20) > best->read) {
    best->read = size / secs / (1 << 20);
    best->cpuShare = (cpu_seconds() - cpu0) / secs;
  }

  t0 = Clock::now();
  if (vx_comm_writeBlock(link, "UPLOAD", up.data(), (ViInt32)up.size()) != VI_SUCCESS ||
      vx_comm_gets(link, line, sizeof line, &n) != VI_SUCCESS)
    die("route: writeBlock failed");
  if (std::string(line, (size_t)n) != want) die("route: the upload's checksum differs");
  best->write = std::max(best->write, up.size() / seconds_since(t0) / (1 << 20));
}

// HiSLIP, a raw SOCKET (port 5025) and VXI-11 links to the same simulated
// instrument, all through the library: *IDN? round trips, block read and
// write rates. Each round runs the routes in another order.
void route_table(const char* addr, int queries) {
  const char* what[3] = {"HiSLIP `hislip0::INSTR`", "SOCKET `5025::SOCKET`", "VXI-11 `inst0::INSTR`"};
  const char* tail[3] = {"::hislip0::INSTR", "::5025::SOCKET", "::inst0::INSTR"};
  const size_t size = 32u << 20;
  const int rounds = 6;
  std::vector<uint8_t> up(size);
  vxsim::pattern_fill(0, up.data(), up.size());
  vxsim::Checksum sum;
  sum.update(up.data(), up.size());
  char want[64];
  snprintf(want, sizeof want, "%zu,%016llx\n", up.size(), (unsigned long long)sum.value());
  ViInt32 link[3];
  for (int k = 0; k < 3; ++k) {
    const std::string name = std::string("TCPIP0::") + addr + tail[k];
    if (vx_comm_open(name.c_str(), 3000, &link[k]) != VI_SUCCESS || link[k] < 0) {
      fprintf(stderr, "vxbench: cannot open %s\n", name.c_str());
      exit(1);
    }
    vx_comm_setTmoMs(link[k], 10000);
  }
  RouteFigures best[3];
  for (int r = 0; r < rounds; ++r)
    for (int i = 0; i < 3; ++i) {
      const int k = r % 2 == 0 ? (i + r / 2) % 3 : (2 - i + r / 2) % 3;
      route_round(link[k], queries, size, want, up, &best[k]);
    }
  for (ViInt32 l : link) vx_comm_close(l);
  printf("Routes to %s through the library (best of %d rounds, order rotated; %d queries, %zu MiB blocks)\n", addr,
         rounds, queries, size >> 20);
  printf("| route | `*IDN?` | readBlock (1 MiB pieces) | CPU / wall of that read | writeBlock |\n");
  printf("|---|---|---|---|---|\n");
  for (int k = 0; k < 3; ++k)
    printf("| %s | %.0f /s | %.1f MiB/s | %.2f | %.1f MiB/s |\n", what[k], best[k].queries, best[k].read,
           best[k].cpuShare, best[k].write);
}

bool file_matches(const char* path, size_t size) {
  FILE* fp = fopen(path, "rb");
  if (!fp) return false;
  std::vector<uint8_t> buf(1 << 20);
  uint64_t at = 0;
  bool ok = true;
  size_t n;
  while (ok && (n = fread(buf.data(), 1, buf.size(), fp)) > 0) {
    ok = check_at(at, buf.data(), n);
    at += n;
  }
  fclose(fp);
  return ok && at == size;
}

Figure block_read_file(const char* addr, ViInt32 link, size_t size, const char* path, bool plainFirst) {
  std::string query = "BLOCK? " + std::to_string(size);
  Figure f = both(
      plainFirst,
      [&] {
        auto t0 = Clock::now();
        if (vx_comm_readBlockFile(link, query.c_str(), path) != VI_SUCCESS) die("readBlockFile failed");
        double rate = size / seconds_since(t0) / (1 << 20);
        if (!file_matches(path, size)) die("readBlockFile's file differs from the pattern");
        return rate;
      },
      [&] {
        Plain plain(addr);
        std::vector<uint8_t> buf(1 << 20);
        auto t0 = Clock::now();
        FILE* fp = fopen(path, "wb");
        if (!fp) die("cannot create the plain client's file");
        size_t total = plain_block_header(plain, query);
        for (size_t at = 0; at < total;) {
          size_t n = std::min(buf.size(), total - at);
          plain.recv_all(buf.data(), n);
          if (fwrite(buf.data(), 1, n, fp) != n) die("plain client: write failed");
          at += n;
        }
        fclose(fp);
        double rate = size / seconds_since(t0) / (1 << 20);
        if (!file_matches(path, size)) die("plain client's file differs from the pattern");
        return rate;
      });
  remove(path);
  return f;
}

Figure block_write(const char* addr, ViInt32 link, const std::vector<uint8_t>& data, const std::string& want,
                   bool plainFirst) {
  return both(
      plainFirst,
      [&] {
        char reply[128];
        ViInt32 n = 0;
        auto t0 = Clock::now();
        if (vx_comm_writeBlock(link, "UPLOAD", data.data(), (ViInt32)data.size()) != VI_SUCCESS ||
            vx_comm_gets(link, reply, sizeof reply, &n) != VI_SUCCESS)
          die("writeBlock failed");
        double rate = data.size() / seconds_since(t0) / (1 << 20);
        if (std::string(reply, (size_t)n) != want) die("the instrument's checksum of writeBlock's data is wrong");
        return rate;
      },
      [&] {
        Plain plain(addr);
        auto t0 = Clock::now();
        std::string len = std::to_string(data.size());
        std::string head = "UPLOAD #" + std::to_string(len.size()) + len;
        plain.send_all(head.data(), head.size());
        plain.send_all(data.data(), data.size());
        std::string got = plain.line();
        double rate = data.size() / seconds_since(t0) / (1 << 20);
        if (got != want) die("the instrument's checksum of the plain client's data is wrong");
        return rate;
      });
}

double find_ms(ViInt32 tmoMs) {
  std::vector<char> list(4096);
  ViInt32 n = 0;
  auto t0 = Clock::now();
  vx_comm_find(list.data(), tmoMs, (ViInt32)list.size(), &n, IFACE_LAN);
  return seconds_since(t0) * 1000.0;
}

}  // namespace

int vx_usb_bench(int serials, char** serial, int queries);

int main(int argc, char** argv) {
  if (!bench_isolated()) {
    fprintf(stderr, "vxbench: refusing to run outside a private network namespace (use scripts/bench.sh)\n");
    return 2;
  }
  // vxbench --usb SERIAL...: the USB link and the USB search (usb_bench.cpp).
  if (argc > 2 && strcmp(argv[1], "--usb") == 0) return vx_usb_bench(argc - 2, argv + 2, 2000);
  // vxbench --routes ADDRESS [QUERIES]: only the table of LAN routes.
  if (argc > 2 && strcmp(argv[1], "--routes") == 0) {
    const int q = argc > 3 ? atoi(argv[3]) : 5000;
    route_table(argv[2], q >= 10 && q <= 1000000 ? q : 5000);
    return 0;
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
  printf("vxbench against %s (%d queries a round; best of 5 rounds, alternating which client goes first)\n", addr,
         queries);
  // Best of several rounds for each figure, so one scheduling hiccup does
  // not decide.
  Figure rt{0, 0}, rd{0, 0};
  auto best = [](Figure& into, Figure f) { into = {std::max(into.lib, f.lib), std::max(into.plain, f.plain)}; };
  for (int r = 0; r < 5; ++r) {
    best(rt, round_trips(addr, link, queries, "*IDN?"));
    best(rd, read_throughput(addr, link, 256u << 20, r % 2 == 1));
  }
  report("*IDN? puts/gets vs plain query", "/s", rt);
  report("readBlocking 256 MiB", "MiB/s", rd);

  const size_t blockSize = 256u << 20, fileSize = 64u << 20, upSize = 128u << 20;
  std::vector<uint8_t> up(upSize);
  vxsim::pattern_fill(0, up.data(), up.size());
  vxsim::Checksum sum;
  sum.update(up.data(), up.size());
  char want[64];
  snprintf(want, sizeof want, "%zu,%016llx\n", up.size(), (unsigned long long)sum.value());
  std::string path = std::string("/tmp/vxbench_") + std::to_string((long long)getpid()) + ".bin";
  Figure bm{0, 0}, bf{0, 0}, bw{0, 0};
  for (int r = 0; r < 5; ++r) {
    best(bm, block_read_memory(addr, link, blockSize, r % 2 == 1));
    best(bf, block_read_file(addr, link, fileSize, path.c_str(), r % 2 == 1));
    best(bw, block_write(addr, link, up, want, r % 2 == 1));
  }
  report("readBlock 256 MiB into 1 MiB pieces", "MiB/s", bm);
  report("readBlockFile 64 MiB (1024-byte pieces)", "MiB/s", bf);
  report("writeBlock 128 MiB (simulator checksums it)", "MiB/s", bw);
  vx_comm_close(link);

  route_table(addr, queries / 4);

  // A VISA link through the project's fixture VISA library (found through
  // LD_LIBRARY_PATH), which reaches the simulator over TCP: what the VISA
  // layer costs on top of the library's own TCP transport.
  if (vx_comm_loadVisa() == VI_SUCCESS) {
    std::string name = std::string("TCPIP0::") + addr + "::18::SOCKET";
    ViInt32 visa = -1;
    if (vx_comm_open(name.c_str(), 1000, &visa) == VI_SUCCESS && visa > 0) {
      vx_comm_setTmoMs(visa, 5000);
      Figure vq{0, 0}, vr{0, 0};
      for (int r = 0; r < 5; ++r) {
        best(vq, round_trips(addr, visa, queries, "*IDN?"));
        best(vr, read_throughput(addr, visa, 64u << 20, r % 2 == 1));
      }
      report("VISA link: *IDN?\\n puts/gets vs one-write", "/s", vq);
      report("VISA link: readBlocking 64 MiB", "MiB/s", vr);
      vx_comm_close(visa);
    }
    vx_comm_freeVisa();
  } else {
    printf("no VISA library loaded: VISA figures skipped\n");
  }

  // A LAN search listens for its whole tmoMs; no link may be open.
  for (ViInt32 tmo : {100, 500, 1000}) printf("vx_comm_find(IFACE_LAN, tmoMs=%d) took %.1f ms\n", (int)tmo, find_ms(tmo));
  return 0;
}
