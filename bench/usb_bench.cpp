// The USB part of the benchmark: a USB link against a plain client that
// speaks the bus protocol directly and sends the same USBTMC messages, side
// by side in one run; and the USB search over many devices against the
// probe time of the slowest single device.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
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

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

[[noreturn]] void die(const char* what) {
  fprintf(stderr, "vxbench: %s\n", what);
  exit(1);
}

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// The plain client: one bus connection, one transfer at a time, each waited
// for, with the messages the library sends.
struct PlainUsb {
  int fd = -1;
  uint32_t id = 0;
  uint8_t tag = 1;

  explicit PlainUsb(const std::string& path) {
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, "/run/vx_comm_lib/usb.sock");
    if (connect(fd, (sockaddr*)&sa, sizeof sa) != 0) die("plain USB client: no bus");
    std::vector<uint8_t> open(4 + path.size());
    put32(open.data(), 2);
    memcpy(open.data() + 4, path.data(), path.size());
    frame_out(open.data(), open.size());
    std::vector<uint8_t> r = frame_in();
    if (r.size() < 4 || get32(r.data()) != 0) die("plain USB client: open refused");
  }
  ~PlainUsb() { close(fd); }

  void all_out(const uint8_t* p, size_t n) {
    while (n > 0) {
      ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
      if (k <= 0) die("plain USB client: send");
      p += k;
      n -= (size_t)k;
    }
  }
  void all_in(uint8_t* p, size_t n) {
    while (n > 0) {
      ssize_t k = recv(fd, p, n, 0);
      if (k <= 0) die("plain USB client: recv");
      p += k;
      n -= (size_t)k;
    }
  }
  void frame_out(const uint8_t* body, size_t n) {
    uint8_t buf[4 + 2048];
    put32(buf, (uint32_t)n);
    memcpy(buf + 4, body, n);
    all_out(buf, 4 + n);
  }
  std::vector<uint8_t> frame_in() {
    uint8_t len[4];
    all_in(len, 4);
    std::vector<uint8_t> body(get32(len));
    all_in(body.data(), body.size());
    return body;
  }
  // One transfer and its completion; returns the data of a bulk in.
  std::vector<uint8_t> transfer(uint32_t kind, const uint8_t* data, size_t n, uint32_t outLength) {
    uint8_t req[16 + 1024];
    put32(req, kind);
    put32(req + 4, ++id);
    put32(req + 8, 0);
    put32(req + 12, outLength);
    memcpy(req + 16, data, n);
    frame_out(req, 16 + n);
    std::vector<uint8_t> c = frame_in();
    if (c.size() < 12 || get32(c.data()) != id || get32(c.data() + 4) != 0) die("plain USB client: transfer failed");
    return std::vector<uint8_t>(c.begin() + 12, c.end());
  }
  void header(uint8_t* m, uint8_t msgId, uint32_t size, uint8_t attributes) {
    memset(m, 0, 12);
    m[0] = msgId;
    m[1] = tag;
    m[2] = (uint8_t)~tag;
    put32(m + 4, size);
    m[8] = attributes;
    tag = tag == 255 ? 1 : (uint8_t)(tag + 1);
  }
  void write_message(const char* text, size_t n) {
    uint8_t m[1024];
    header(m, 1, (uint32_t)n, 1);
    memcpy(m + 12, text, n);
    size_t len = 12 + n;
    while (len % 4) m[len++] = 0;
    transfer(16, m, len, 0);
  }
  // A request and its reply message: the payload.
  std::string read_message(uint32_t asked) {
    uint8_t m[12];
    header(m, 2, asked, 0);
    transfer(16, m, 12, 0);
    std::vector<uint8_t> r = transfer(17, nullptr, 0, asked + 12);
    if (r.size() < 12) die("plain USB client: short reply");
    size_t n = std::min<size_t>(get32(r.data() + 4), r.size() - 12);
    return std::string(r.begin() + 12, r.begin() + 12 + (long)n);
  }
};

struct Figure {
  double lib, plain;
};

void report(const char* what, const char* unit, Figure f) {
  printf("%-46s library %10.1f %-6s plain %10.1f %-6s ratio %.3f\n", what, f.lib, unit, f.plain, unit, f.lib / f.plain);
}

// *IDN? as puts and gets do it: the command with its line feed in one
// message, then one request and reply.
Figure idn_round_trips(ViInt32 link, PlainUsb& plain, int n, bool plainFirst) {
  char buf[256];
  ViInt32 got = 0;
  auto lib = [&] {
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i)
      if (vx_comm_puts(link, "*IDN?", 0, nullptr) != VI_SUCCESS || vx_comm_gets(link, buf, sizeof buf, &got) != VI_SUCCESS)
        die("USB query failed");
    return n / seconds_since(t0);
  };
  auto pl = [&] {
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) {
      plain.write_message("*IDN?\n", 6);
      std::string line = plain.read_message((uint32_t)sizeof buf - 1);
      if (line.empty() || line.back() != '\n') die("plain USB client: reply without its line feed");
    }
    return n / seconds_since(t0);
  };
  Figure f{};
  if (plainFirst) f.plain = pl();
  f.lib = lib();
  if (!plainFirst) f.plain = pl();
  return f;
}

bool check_at(uint64_t at, const uint8_t* p, size_t n) {
  std::vector<uint8_t> expect(n);
  vxsim::pattern_fill(at, expect.data(), n);
  return memcmp(expect.data(), p, n) == 0;
}

// A definite-length block read in 1 MiB pieces (the library) and as
// 1012-byte replies (the plain client, which is what the library's reads
// ask for under the pieces).
Figure block_read(ViInt32 link, PlainUsb& plain, size_t size, bool plainFirst) {
  std::string query = "BLOCK? " + std::to_string(size);
  std::vector<uint8_t> buf(1 << 20);
  auto lib = [&] {
    auto t0 = Clock::now();
    uint64_t at = 0;
    bool ok = true;
    ViStatus s;
    do {
      ViInt32 n = 0;
      s = vx_comm_readBlock(link, query.c_str(), buf.data(), (ViInt32)buf.size(), &n);
      if (s != VI_SUCCESS && s != VI_SUCCESS_MAX_CNT) die("USB readBlock failed");
      ok = ok && check_at(at, buf.data(), (size_t)n);
      at += (uint64_t)n;
    } while (s == VI_SUCCESS_MAX_CNT);
    double rate = size / seconds_since(t0) / (1 << 20);
    if (!ok || at != size) die("USB readBlock data differs from the pattern");
    return rate;
  };
  auto pl = [&] {
    auto t0 = Clock::now();
    const std::string line = query + "\n";
    plain.write_message(line.data(), line.size());
    std::string got;
    size_t total = 0, headerLen = 0;
    while (headerLen == 0 || got.size() < headerLen + total) {
      got += plain.read_message(1012);
      if (headerLen == 0 && got.size() >= 2) {
        size_t digits = (size_t)(got[1] - '0');
        if (got[0] != '#' || digits < 1 || digits > 9) die("plain USB client: bad block header");
        if (got.size() >= 2 + digits) {
          total = (size_t)strtoull(got.substr(2, digits).c_str(), nullptr, 10);
          headerLen = 2 + digits;
        }
      }
    }
    double rate = size / seconds_since(t0) / (1 << 20);
    if (total != size || !check_at(0, (const uint8_t*)got.data() + headerLen, total))
      die("plain USB block differs from the pattern");
    return rate;
  };
  Figure f{};
  if (plainFirst) f.plain = pl();
  f.lib = lib();
  if (!plainFirst) f.plain = pl();
  return f;
}

std::string usb_path(const std::string& serial) {
  return "\\\\?\\usb#vid_03eb&pid_afff#" + serial + "#{a9fdbb24-128a-11d5-9961-00108335e361}";
}

}  // namespace

// vxbench --usb SERIAL... : the link figures against the first serial, the
// search over all of them.
int vx_usb_bench(int serials, char** serial, int queries) {
  std::string address = std::string("USB-") + serial[0];
  ViInt32 link = -1;
  if (vx_comm_open(address.c_str(), 1000, &link) != VI_SUCCESS || link < 0) die("cannot open the USB link");
  vx_comm_setTmoMs(link, 5000);
  PlainUsb plain(usb_path(serial[0]));
  printf("vxbench USB against %s (%d queries a round; best of 5 rounds, alternating which client goes first)\n",
         address.c_str(), queries);
  Figure rt{0, 0}, br{0, 0};
  auto best = [](Figure& into, Figure f) { into = {std::max(into.lib, f.lib), std::max(into.plain, f.plain)}; };
  for (int r = 0; r < 5; ++r) {
    best(rt, idn_round_trips(link, plain, queries, r % 2 == 1));
    best(br, block_read(link, plain, 8u << 20, r % 2 == 1));
  }
  report("USB *IDN? puts/gets vs plain bus client", "/s", rt);
  report("USB readBlock 8 MiB (1 MiB pieces)", "MiB/s", br);
  vx_comm_close(link);

  // The slowest device probed alone (open with its clear, *IDN?, close),
  // then one search over all of them.
  double slowest = 0;
  for (int i = 0; i < serials; ++i) {
    std::string a = std::string("USB-") + serial[i];
    auto t0 = Clock::now();
    ViInt32 l = -1;
    char buf[256];
    ViInt32 n = 0;
    vx_comm_open(a.c_str(), 1000, &l);
    if (l < 0) die("cannot open a USB device for its single probe");
    vx_comm_setTmoMs(l, 1000);
    if (vx_comm_puts(l, "*IDN?", 0, nullptr) != VI_SUCCESS || vx_comm_gets(l, buf, sizeof buf, &n) != VI_SUCCESS)
      die("single probe failed");
    vx_comm_close(l);
    slowest = std::max(slowest, seconds_since(t0) * 1000.0);
  }
  std::vector<char> list(64 * 128);
  ViInt32 n = 0;
  auto t0 = Clock::now();
  vx_comm_find(list.data(), 1000, (ViInt32)list.size(), &n, IFACE_USB);
  double found = seconds_since(t0) * 1000.0;
  int entries = (int)std::count(list.data(), list.data() + n, ';');
  printf("vx_comm_find(IFACE_USB) over %d devices: %d listed in %.1f ms; slowest single device %.1f ms; ratio %.2f\n",
         serials, entries, found, slowest, found / slowest);
  return 0;
}
