// vxbench_usbd: the library over vxusbd against a plain libusb client, on
// the same emulated USBTMC device (tests/usbd/usb_harness.h) in one run:
// "*IDN?" round trips and a block read. Both do the same USB transfers;
// the difference is vxusbd's socket hop and the library's own work. A
// program of its own because it carries the umockdev preload library.
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
const int kQueries = 300;
const int kBlock = 256 * 1024;
const int kBlocks = 1;
// Rounds of each side in turn; the best of each side counts, so that a
// busy machine slows both alike rather than one of them.
const int kRounds = 5;
// Each query is three USB transfers: the command, the request for the
// reply, the reply.
const int kTransfersPerQuery = 3;

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "vxbench_usbd: %s\n", what);
  std::exit(1);
}

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The plain client: libusb's synchronous bulk calls with the USBTMC
// messages the library sends.
struct Plain {
  libusb_context* ctx = nullptr;
  libusb_device_handle* h = nullptr;
  std::uint8_t tag = 1;
  Plain() {
    if (libusb_init(&ctx) != 0) die("libusb_init");
    h = libusb_open_device_with_vid_pid(ctx, 0x03EB, 0xAFFF);
    if (!h || libusb_claim_interface(h, usbmock::kUsbtmcInterface) != 0) die("plain client: cannot open the device");
  }
  ~Plain() {
    libusb_release_interface(h, usbmock::kUsbtmcInterface);
    libusb_close(h);
    libusb_exit(ctx);
  }
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
  void out(const std::vector<std::uint8_t>& m) {
    int done = 0;
    if (libusb_bulk_transfer(h, 0x01, const_cast<std::uint8_t*>(m.data()), static_cast<int>(m.size()), &done, 2000) !=
        0)
      die("plain client: bulk out");
  }
  void command(const std::string& text) {
    std::vector<std::uint8_t> m;
    header(m, 1, static_cast<std::uint32_t>(text.size()), 1);
    m.insert(m.end(), text.begin(), text.end());
    while (m.size() % 4) m.push_back(0);
    out(m);
  }
  // One reply message's payload appended to reply; true at its end (EOM).
  bool reply_message(std::string& reply) {
    std::vector<std::uint8_t> m;
    header(m, 2, 1012, 0);
    out(m);
    std::uint8_t in[1024];
    int got = 0;
    if (libusb_bulk_transfer(h, 0x82, in, sizeof in, &got, 2000) != 0 || got < 12) die("plain client: bulk in");
    std::uint32_t n = in[4] | in[5] << 8 | in[6] << 16 | static_cast<std::uint32_t>(in[7]) << 24;
    if (n > static_cast<std::uint32_t>(got - 12)) die("plain client: short reply");
    reply.append(reinterpret_cast<const char*>(in + 12), n);
    return in[8] & 1;
  }
};

struct Rates {
  double query_s = 0, block_s = 0;
};

Rates run_plain() {
  Plain p;
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
  usbmock::DeviceSpec spec;
  spec.serial = kSerial;
  spec.packet = 512;
  bed.add(spec);
  std::atomic<bool> stop{false};
  std::thread daemon([&] {
    vxusbd::Options o;
    vxusbd::run(o, &stop);
  });
  // In turn, never both on the device at once (vxusbd holds it only while
  // the library's link is open).
  Rates plain{1e9, 1e9}, lib{1e9, 1e9};
  for (int round = 0; round < kRounds; ++round) {
    Rates p = run_plain(), l = run_library();
    plain.query_s = std::min(plain.query_s, p.query_s);
    plain.block_s = std::min(plain.block_s, p.block_s);
    lib.query_s = std::min(lib.query_s, l.query_s);
    lib.block_s = std::min(lib.block_s, l.block_s);
  }
  stop.store(true);
  daemon.join();
  double plain_q = kQueries / plain.query_s, lib_q = kQueries / lib.query_s;
  double plain_b = kBlocks * (double)kBlock / plain.block_s / 1e6, lib_b = kBlocks * (double)kBlock / lib.block_s / 1e6;
  double added_us = (lib.query_s - plain.query_s) / kQueries / kTransfersPerQuery * 1e6;
  std::printf("USB over vxusbd (emulated device, best of %d rounds) | plain libusb | library over vxusbd | ratio\n",
              kRounds);
  std::printf("*IDN? round trips per s                              | %12.0f | %19.0f | %.2f\n", plain_q, lib_q,
              lib_q / plain_q);
  std::printf("block read, MB/s (%d x %d KiB)                        | %12.2f | %19.2f | %.2f\n", kBlocks,
              kBlock / 1024, plain_b, lib_b, lib_b / plain_b);
  std::printf("added latency per transfer: %.1f us (%d transfers per query)\n", added_us, kTransfersPerQuery);
  return 0;
}
