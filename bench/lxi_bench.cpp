// The library against Debian's liblxi over VXI-11, side by side in one run
// against the simulator: *IDN? queries a second and MiB/s of a block read,
// each client on its own link to the same instrument. Best of the rounds,
// alternating which client goes first, and the median of the per-round
// ratios; every byte of every block is checked against the pattern. The
// client's own CPU time per query and per MiB tells its cost apart from the
// time it waits for the simulator.
//
//   vxbench_lxi ADDRESS [QUERIES [BLOCK_MIB [ROUNDS]]]
//
// Runs only in a private network namespace (scripts/bench.sh sets one up).
#include <lxi.h>
#include <net/if.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "isolated.h"
#include "pattern.h"
#include "vx_comm.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kTimeoutMs = 10000;

bool isolated() {
  const char* flag = getenv("VX_NETNS_ISOLATED");
  return flag && strcmp(flag, "1") == 0 && bench_isolated();
}

void die(const char* what) {
  fprintf(stderr, "vxbench_lxi: %s\n", what);
  exit(1);
}

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The bytes of "BLOCK? n": the definite-length header, then n pattern bytes.
std::string block_header(size_t n) {
  const std::string digits = std::to_string(n);
  return "#" + std::to_string(digits.size()) + digits;
}

bool pattern_matches(const uint8_t* p, size_t n) {
  std::vector<uint8_t> expect(1 << 20);
  for (size_t at = 0; at < n; at += expect.size()) {
    const size_t k = std::min(expect.size(), n - at);
    vxsim::pattern_fill(at, expect.data(), k);
    if (memcmp(expect.data(), p + at, k) != 0) return false;
  }
  return true;
}

// One client's two exchanges: a query whose reply it checks, and a block
// read by calls of at most `piece` bytes each (each call one device_read
// asking for that many), the header checked on the way; block returns where
// the data landed.
struct Client {
  const char* name;
  void (*query)(void* self);
  const uint8_t* (*block)(void* self, const std::string& cmd, size_t n, size_t piece);
  void* self;
};

// This library: the C exports on a link opened by the VISA resource name,
// no VISA library loaded.
struct Lib {
  ViInt32 link;
  std::vector<uint8_t> buf;
};

void lib_query(void* self) {
  const ViInt32 link = static_cast<Lib*>(self)->link;
  char buf[256];
  ViInt32 got = 0;
  if (vx_comm_puts(link, "*IDN?", 0, nullptr) != VI_SUCCESS || vx_comm_gets(link, buf, sizeof buf, &got) != VI_SUCCESS)
    die("library: *IDN? failed");
  if (strncmp(buf, "VXSIM,", 6) != 0) die("library: wrong *IDN? reply");
}

// vx_comm_readBlock sends the query, reads the header and puts the data
// alone into the buffer; called again, it goes on with the same block.
const uint8_t* lib_block(void* self, const std::string& cmd, size_t n, size_t piece) {
  Lib* l = static_cast<Lib*>(self);
  size_t at = 0;
  ViStatus s;
  do {
    ViInt32 got = 0;
    s = vx_comm_readBlock(l->link, cmd.c_str(), l->buf.data() + at, (ViInt32)std::min(piece, n - at), &got);
    at += (size_t)std::max<ViInt32>(got, 0);
  } while (s == VI_SUCCESS_MAX_CNT && at < n);
  if (s != VI_SUCCESS || at != n) die("library: readBlock failed");
  return l->buf.data();
}

// liblxi: lxi_send of the whole command; lxi_receive reads header and data
// into one buffer.
struct Lxi {
  int dev;
  std::vector<char> buf;
};

void lxi_query(void* self) {
  Lxi* l = static_cast<Lxi*>(self);
  char buf[256];
  if (lxi_send(l->dev, "*IDN?\n", 6, kTimeoutMs) != 6) die("liblxi: lxi_send failed");
  const int n = lxi_receive(l->dev, buf, (int)sizeof buf, kTimeoutMs);
  if (n < 6 || strncmp(buf, "VXSIM,", 6) != 0) die("liblxi: wrong *IDN? reply");
}

const uint8_t* lxi_block(void* self, const std::string& cmd, size_t n, size_t piece) {
  Lxi* l = static_cast<Lxi*>(self);
  const std::string line = cmd + "\n";
  const std::string head = block_header(n);
  if (lxi_send(l->dev, line.data(), (int)line.size(), kTimeoutMs) != (int)line.size()) die("liblxi: lxi_send failed");
  // lxi_receive returns after a reply with any reason bit, and an
  // instrument may end a piece with REQCNT; read on until the header's
  // count has come.
  const size_t total = head.size() + n;
  size_t got = 0;
  for (size_t i = 0; got < total && i <= total / 1024; ++i) {
    const int k = lxi_receive(l->dev, l->buf.data() + got, (int)std::min(piece, total - got), kTimeoutMs);
    if (k <= 0) die("liblxi: lxi_receive failed");
    got += (size_t)k;
  }
  if (got != total || memcmp(l->buf.data(), head.data(), head.size()) != 0) die("liblxi: wrong block reply");
  return reinterpret_cast<const uint8_t*>(l->buf.data()) + head.size();
}

double cpu_seconds() {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

// Wall and CPU seconds a client spent in one round.
struct Spent {
  double wall = 0, cpu = 0;
};

template <typename Work>
void timed(Spent* into, Work work) {
  const double c0 = cpu_seconds();
  const auto t0 = Clock::now();
  work();
  into->wall += seconds_since(t0);
  into->cpu += cpu_seconds() - c0;
}

// Per client the best round's rate and its CPU time per unit, and the median
// over the rounds of the library's rate over liblxi's.
struct Figures {
  double rate[2] = {0, 0}, cpuPer[2] = {0, 0};
  std::vector<double> ratios;
  void add(double amount, const Spent spent[2]) {
    for (int i = 0; i < 2; ++i)
      if (amount / spent[i].wall > rate[i]) {
        rate[i] = amount / spent[i].wall;
        cpuPer[i] = spent[i].cpu / amount;
      }
    ratios.push_back(spent[1].wall / spent[0].wall);
  }
  double median() {
    std::sort(ratios.begin(), ratios.end());
    return ratios[ratios.size() / 2];
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (!isolated()) {
    fprintf(stderr, "vxbench_lxi: refusing to run outside a private network namespace (use scripts/bench.sh)\n");
    return 2;
  }
  const char* addr = argc > 1 ? argv[1] : "127.0.0.2";
  const int queries = argc > 2 ? std::max(10, std::min(atoi(argv[2]), 1000000)) : 2000;
  const int blockMib = argc > 3 ? std::max(1, std::min(atoi(argv[3]), 1024)) : 16;
  const int rounds = argc > 4 ? std::max(1, std::min(atoi(argv[4]), 100)) : 9;
  const size_t n = (size_t)blockMib << 20;
  const std::string name = std::string("TCPIP0::") + addr + "::inst0::INSTR";

  Lib lib{-1, std::vector<uint8_t>(n)};
  if (vx_comm_open(name.c_str(), 3000, &lib.link) != VI_SUCCESS || lib.link < 0) die("cannot open the library's link");
  vx_comm_setTmoMs(lib.link, kTimeoutMs);
  lxi_init();
  Lxi lxi{lxi_connect(addr, 0, "inst0", 3000, VXI11), std::vector<char>(n + 64)};
  if (lxi.dev == LXI_ERROR) die("lxi_connect failed");
  Client clients[2] = {{"library", lib_query, lib_block, &lib}, {"liblxi", lxi_query, lxi_block, &lxi}};

  const std::string cmd = "BLOCK? " + std::to_string(n);
  // The whole block asked for in one call, and in calls of 64 KiB. The
  // simulator hands over at most 1 MiB a device_read, and a reply that
  // large costs it fresh memory every time (see docs/performance.md):
  // replies of 64 KiB show what the clients themselves can move.
  const size_t pieces[2] = {n, 64u << 10};
  // Warm both paths up; the buffers are touched, so no page is mapped while
  // timed.
  for (Client& c : clients) {
    for (int i = 0; i < 100; ++i) c.query(c.self);
    if (!pattern_matches(c.block(c.self, cmd, n, n), n)) die("block differs from the pattern");
  }

  // A round interleaves the clients in slices, the order turned each
  // slice, so that both see the same load of the moment.
  const int slices = 10;
  const int perSlice = std::max(1, queries / slices);
  Figures q, b[2];
  for (int r = 0; r < rounds; ++r) {
    Spent qs[2], bs[2][2];
    for (int sl = 0; sl < slices; ++sl)
      for (int k = 0; k < 2; ++k) {
        Client& c = clients[(sl + r) % 2 == 0 ? k : 1 - k];
        timed(&qs[&c - clients], [&] {
          for (int j = 0; j < perSlice; ++j) c.query(c.self);
        });
      }
    for (int p = 0; p < 2; ++p)
      for (int k = 0; k < 4; ++k) {  // A B B A, A turned each round
        Client& c = clients[(k == 0 || k == 3) == (r % 2 == 0) ? 0 : 1];
        const uint8_t* data = nullptr;
        timed(&bs[p][&c - clients], [&] { data = c.block(c.self, cmd, n, pieces[p]); });
        if (!pattern_matches(data, n)) {
          fprintf(stderr, "vxbench_lxi: %s: the block differs from the pattern\n", c.name);
          return 1;
        }
      }
    q.add((double)perSlice * slices, qs);
    for (int p = 0; p < 2; ++p) b[p].add(2.0 * blockMib, bs[p]);
  }
  lxi_disconnect(lxi.dev);
  vx_comm_close(lib.link);

  printf(
      "VXI-11 to %s: the library against liblxi (best of %d rounds; each round %d queries and two %d MiB "
      "blocks a client and a read size, interleaved)\n",
      name.c_str(), rounds, perSlice * slices, blockMib);
  printf("| figure | library | liblxi | library / liblxi (median of rounds) | client CPU: library | liblxi |\n");
  printf("|---|---|---|---|---|---|\n");
  printf("| `*IDN?` queries | %.0f /s | %.0f /s | %.2f | %.1f us/query | %.1f us/query |\n", q.rate[0], q.rate[1],
         q.median(), q.cpuPer[0] * 1e6, q.cpuPer[1] * 1e6);
  printf("| block read, %d MiB, one call | %.1f MiB/s | %.1f MiB/s | %.2f | %.2f ms/MiB | %.2f ms/MiB |\n", blockMib,
         b[0].rate[0], b[0].rate[1], b[0].median(), b[0].cpuPer[0] * 1e3, b[0].cpuPer[1] * 1e3);
  printf("| block read, %d MiB, 64 KiB calls | %.1f MiB/s | %.1f MiB/s | %.2f | %.2f ms/MiB | %.2f ms/MiB |\n",
         blockMib, b[1].rate[0], b[1].rate[1], b[1].median(), b[1].cpuPer[0] * 1e3, b[1].cpuPer[1] * 1e3);
  return 0;
}
