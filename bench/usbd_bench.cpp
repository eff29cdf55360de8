// vxbench_usbd: the library over vxusbd against a plain libusb client, on
// the same emulated USBTMC device (tests/usbd/usb_harness.h) in one run:
// "*IDN?" round trips and a block read. A bare bus client sending the plain
// client's transfers through vxusbd sits between them: it differs from the
// plain client by vxusbd's hop alone. A program of its own because it
// carries the umockdev preload library.
#include <libusb.h>
#include <sys/socket.h>
#include <sys/un.h>
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

namespace {

using Clock = std::chrono::steady_clock;
const char kSerial[] = "000000000000007777";
const char kAddress[] = "USB-000000000000007777";
const int kQueries = 200;
const int kBlock = 256 * 1024;
const int kBlocks = 1;
// Rounds of each side in turn; the best of each side counts, so that a
// busy machine slows both alike rather than one of them.
const int kRounds = 10;
// Each query is three USB transfers: the command, the request for the
// reply, the reply.
const int kTransfersPerQuery = 3;

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "vxbench_usbd: %s\n", what);
  std::exit(1);
}

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Where the plain clients' USB transfers go: straight to libusb, or to
// vxusbd as bare bus frames.
struct Wire {
  virtual ~Wire() = default;
  virtual void out(const std::vector<std::uint8_t>& m) = 0;
  virtual int in(std::uint8_t* buf, int room) = 0;
};

// libusb's synchronous bulk calls.
struct LibusbWire : Wire {
  libusb_context* ctx = nullptr;
  libusb_device_handle* h = nullptr;
  LibusbWire() {
    if (libusb_init(&ctx) != 0) die("libusb_init");
    h = libusb_open_device_with_vid_pid(ctx, 0x03EB, 0xAFFF);
    if (!h || libusb_claim_interface(h, usbmock::kUsbtmcInterface) != 0) die("plain client: cannot open the device");
  }
  ~LibusbWire() override {
    libusb_release_interface(h, usbmock::kUsbtmcInterface);
    libusb_close(h);
    libusb_exit(ctx);
  }
  void out(const std::vector<std::uint8_t>& m) override {
    int done = 0;
    if (libusb_bulk_transfer(h, 0x01, const_cast<std::uint8_t*>(m.data()), static_cast<int>(m.size()), &done, 2000) !=
        0)
      die("plain client: bulk out");
  }
  int in(std::uint8_t* buf, int room) override {
    int got = 0;
    if (libusb_bulk_transfer(h, 0x82, buf, room, &got, 2000) != 0) die("plain client: bulk in");
    return got;
  }
};

void put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t get32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// One bus connection to vxusbd, one transfer at a time.
struct BusWire : Wire {
  int fd = -1;
  std::uint32_t id = 0;
  explicit BusWire(const std::string& path) {
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strcpy(sa.sun_path, vxusbd::kDefaultSocket);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) die("bus client: no bus");
    std::vector<std::uint8_t> open(4);
    put32(open.data(), 2);
    open.insert(open.end(), path.begin(), path.end());
    frame_out(open);
    if (frame_in() != std::vector<std::uint8_t>{0, 0, 0, 0}) die("bus client: open refused");
  }
  ~BusWire() override { ::close(fd); }
  void frame_out(const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> f(4);
    put32(f.data(), static_cast<std::uint32_t>(body.size()));
    f.insert(f.end(), body.begin(), body.end());
    if (::send(fd, f.data(), f.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(f.size())) die("bus client: send");
  }
  void all_in(std::uint8_t* p, std::size_t n) {
    while (n > 0) {
      ssize_t k = ::recv(fd, p, n, 0);
      if (k <= 0) die("bus client: recv");
      p += k;
      n -= static_cast<std::size_t>(k);
    }
  }
  std::vector<std::uint8_t> frame_in() {
    std::uint8_t len[4];
    all_in(len, 4);
    std::vector<std::uint8_t> body(get32(len));
    all_in(body.data(), body.size());
    return body;
  }
  std::vector<std::uint8_t> transfer(std::uint32_t kind, const std::vector<std::uint8_t>& data, std::uint32_t room) {
    std::vector<std::uint8_t> req(16);
    put32(req.data(), kind);
    put32(req.data() + 4, ++id);
    put32(req.data() + 12, room);
    req.insert(req.end(), data.begin(), data.end());
    frame_out(req);
    std::vector<std::uint8_t> c = frame_in();
    if (c.size() < 12 || get32(c.data()) != id || get32(c.data() + 4) != 0) die("bus client: transfer failed");
    return std::vector<std::uint8_t>(c.begin() + 12, c.end());
  }
  void out(const std::vector<std::uint8_t>& m) override { transfer(16, m, 0); }
  int in(std::uint8_t* buf, int room) override {
    std::vector<std::uint8_t> got = transfer(17, {}, static_cast<std::uint32_t>(room));
    std::memcpy(buf, got.data(), got.size());
    return static_cast<int>(got.size());
  }
};

// The USBTMC messages the library sends, over either wire.
struct Plain {
  Wire& wire;
  std::uint8_t tag = 1;
  explicit Plain(Wire& w) : wire(w) {}
  void header(std::vector<std::uint8_t>& m, std::uint8_t id, std::uint32_t size, std::uint8_t attr) {
    std::uint8_t t = tag++;
    if (tag == 0) tag = 1;
    m = {id,
         t,
         static_cast<std::uint8_t>(~t),
         0,
         std::uint8_t(size),
         std::uint8_t(size >> 8),
         std::uint8_t(size >> 16),
         std::uint8_t(size >> 24),
         attr,
         0,
         0,
         0};
  }
  void command(const std::string& text) {
    std::vector<std::uint8_t> m;
    header(m, 1, static_cast<std::uint32_t>(text.size()), 1);
    m.insert(m.end(), text.begin(), text.end());
    while (m.size() % 4) m.push_back(0);
    wire.out(m);
  }
  // One reply message's payload appended to reply; true at its end (EOM).
  bool reply_message(std::string& reply) {
    std::vector<std::uint8_t> m;
    header(m, 2, 1012, 0);
    wire.out(m);
    std::uint8_t in[1024];
    int got = wire.in(in, sizeof in);
    if (got < 12) die("plain client: short reply");
    std::uint32_t n = get32(in + 4);
    if (n > static_cast<std::uint32_t>(got - 12)) die("plain client: short reply");
    reply.append(reinterpret_cast<const char*>(in + 12), n);
    return in[8] & 1;
  }
};

struct Rates {
  double query_s = 0, block_s = 0;
};

Rates run_plain(Wire& wire) {
  Plain p(wire);
  Rates r;
  auto t0 = Clock::now();
  for (int i = 0; i < kQueries; ++i) {
    std::string reply;
    p.command("*IDN?\n");
    p.reply_message(reply);
    if (reply.empty()) die("plain client: no identification");
  }
  r.query_s = seconds_since(t0);
  t0 = Clock::now();
  for (int i = 0; i < kBlocks; ++i) {
    std::string reply;
    p.command("DATA? " + std::to_string(kBlock) + "\n");
    for (int k = 0; k < 100000 && !p.reply_message(reply); ++k) {
    }
    if (reply.size() < static_cast<std::size_t>(kBlock)) die("plain client: short block");
  }
  r.block_s = seconds_since(t0);
  return r;
}

Rates run_library() {
  ViInt32 id = -1;
  for (int i = 0; i < 300 && id < 0; ++i) {
    if (vx_comm_open(kAddress, 2000, &id) != VI_SUCCESS) id = -1;
    if (id < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (id < 0) die("the library cannot open the device over vxusbd");
  Rates r;
  char buf[256];
  ViInt32 n = 0;
  auto t0 = Clock::now();
  for (int i = 0; i < kQueries; ++i) {
    if (vx_comm_puts(id, "*IDN?\n", 6, &n) != VI_SUCCESS || vx_comm_gets(id, buf, sizeof buf, &n) < 0 || n == 0)
      die("library: query failed");
  }
  r.query_s = seconds_since(t0);
  std::vector<char> block(kBlock + 64);
  t0 = Clock::now();
  for (int i = 0; i < kBlocks; ++i) {
    std::string cmd = "DATA? " + std::to_string(kBlock) + "\n";
    if (vx_comm_readBlock(id, cmd.c_str(), block.data(), static_cast<ViInt32>(block.size()), &n) != VI_SUCCESS ||
        n != kBlock)
      die("library: block read failed");
    // The line feed after the block.
    vx_comm_gets(id, buf, sizeof buf, &n);
  }
  r.block_s = seconds_since(t0);
  vx_comm_close(id);
  return r;
}

}  // namespace

int main() {
  if (!std::getenv("VX_NETNS_ISOLATED") || !std::getenv("VX_PRIVATE_RUN"))
    die("run me through tests/netns_run.sh (a private network namespace and /run)");
  usbmock::Testbed bed;
  usbmock::DeviceSetup setup;
  setup.serial = kSerial;
  setup.packet = 512;
  bed.add(setup);
  std::atomic<bool> stop{false};
  std::thread daemon([&] {
    vxusbd::Options o;
    vxusbd::run(o, &stop);
  });
  // In turn, never two on the device at once (vxusbd holds it only while
  // a connection to it is open).
  Rates plain{1e9, 1e9}, bus{1e9, 1e9}, lib{1e9, 1e9};
  auto best = [](Rates& b, const Rates& r) {
    b.query_s = std::min(b.query_s, r.query_s);
    b.block_s = std::min(b.block_s, r.block_s);
  };
  const std::string path =
      std::string("\\\\?\\usb#vid_03eb&pid_afff#") + kSerial + "#{a9fdbb24-128a-11d5-9961-00108335e361}";
  for (int round = 0; round < kRounds; ++round) {
    {
      LibusbWire w;
      best(plain, run_plain(w));
    }
    {
      BusWire w(path);
      best(bus, run_plain(w));
    }
    best(lib, run_library());
  }
  stop.store(true);
  daemon.join();
  auto qps = [](const Rates& r) { return kQueries / r.query_s; };
  auto mbs = [](const Rates& r) { return kBlocks * (double)kBlock / r.block_s / 1e6; };
  std::printf("USB, emulated device, best of %d rounds | plain libusb | bus client over vxusbd | library over vxusbd\n",
              kRounds);
  std::printf("*IDN? round trips per s                | %12.0f | %12.0f (%.2f)   | %12.0f (%.2f)\n", qps(plain),
              qps(bus), qps(bus) / qps(plain), qps(lib), qps(lib) / qps(plain));
  std::printf("block read MB/s (%d x %d KiB)          | %12.2f | %12.2f (%.2f)   | %12.2f (%.2f)\n", kBlocks,
              kBlock / 1024, mbs(plain), mbs(bus), mbs(bus) / mbs(plain), mbs(lib), mbs(lib) / mbs(plain));
  std::printf("vxusbd's added latency per transfer (bus client - plain libusb): %.1f us\n",
              (bus.query_s - plain.query_s) / kQueries / kTransfersPerQuery * 1e6);
  return 0;
}
