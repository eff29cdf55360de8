// vxusbd's frame reader and first-frame dispatch (tools/vxusbd/service.cpp)
// over a fake device layer: clients come and go, send any bytes in any
// pieces, and the fake devices complete, fail and unplug in the order the
// input says. Checks: every frame sent is well formed, every completion is
// of a transfer outstanding on that connection and comes once, and a
// connection that was dropped gets nothing more; ASan/UBSan catch the rest.
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "fuzz_util.h"
#include "service.h"
#include "usb_devices.h"

namespace vxusbd {

// The fake device layer: one device path, transfers kept per connection
// until the input completes them. Its state is here, not in Devices (whose
// members are libusb's).
namespace {
struct FakeBus {
  ClientSink* sink = nullptr;
  bool gone = false;
  bool reading = false;  // the device's serial number is being read
  std::map<Client*, std::vector<std::uint32_t>> pending;  // ids, oldest first
  std::set<Client*> attached;
};
FakeBus g_bus;
const char kPath[] = "\\\\?\\usb#vid_03eb&pid_afff#1#{a9fdbb24-128a-11d5-9961-00108335e361}";

void complete_fake(Client* c, std::uint32_t id, std::uint32_t result, std::uint32_t count) {
  std::uint8_t head[12];
  put32(head, id);
  put32(head + 4, result);
  put32(head + 8, count);
  std::vector<std::uint8_t> data(count, 0x5A);
  c->transfers.erase(id);
  if (g_bus.sink) g_bus.sink->send_frame(c, head, 12, data.data(), count);
}
}  // namespace

Devices::~Devices() {}
void Devices::start() {}
void Devices::stop() {}
bool Devices::list(std::vector<std::string>& paths, bool may_wait) {
  if (g_bus.reading && may_wait) return false;
  if (!g_bus.gone && !g_bus.reading) paths.push_back(kPath);
  return true;
}
bool Devices::describe(std::vector<std::uint8_t>& reply, bool may_wait) {
  if (g_bus.reading && may_wait) return false;
  reply.assign(4, 0);
  if (g_bus.gone || g_bus.reading) return true;
  put32(reply.data(), 1);
  reply.insert(reply.end(), kPath, kPath + sizeof kPath);  // with its NUL
  reply.resize(reply.size() + 48, 0);
  reply.insert(reply.end(), {'V', 0, 'M', 0, '1', 0});
  return true;
}
Devices::Opened Devices::open(Client* c, const std::string& path, bool may_wait) {
  if (g_bus.reading) return may_wait ? Opened::wait : Opened::no;
  if (g_bus.gone || path != kPath) return Opened::no;
  c->device = reinterpret_cast<Device*>(&g_bus);  // only compared, never used
  g_bus.attached.insert(c);
  return Opened::yes;
}
const char* Devices::request(Client* c, const Request& r) {
  if (!c->device) return "no device open";
  auto& ids = g_bus.pending[c];
  if (r.kind == 19) {
    for (std::size_t i = 0; i < ids.size(); ++i)
      if (ids[i] == r.id) {
        ids.erase(ids.begin() + static_cast<std::ptrdiff_t>(i));
        complete_fake(c, r.id, 2, 0);
        break;
      }
    return nullptr;
  }
  if (r.kind < 16 || r.kind > 20 || r.kind == 19) return "unknown request kind";
  if (r.id == 0 || c->transfers.count(r.id)) return "transfer id 0 or already in use";
  if (!c->transfers.empty()) return "a second transfer while one is outstanding";
  c->transfers[r.id] = nullptr;
  if (r.kind == 18 && r.code == 0x80002004u) {
    // A clear completes every connection's transfers first, as the real
    // one aborts the device's bulk transfers: completions that may drop.
    std::vector<Client*> all(g_bus.attached.begin(), g_bus.attached.end());
    for (Client* o : all) {
      std::vector<std::uint32_t> theirs;
      theirs.swap(g_bus.pending[o]);
      for (std::uint32_t id : theirs) complete_fake(o, id, 2, 0);
    }
    complete_fake(c, r.id, 0, 0);
    return nullptr;
  }
  ids.push_back(r.id);
  return nullptr;
}
void Devices::detach(Client* c) {
  c->transfers.clear();
  g_bus.pending.erase(c);
  g_bus.attached.erase(c);
  c->device = nullptr;
}
void Devices::end_gone() {
  if (!g_bus.gone || !g_bus.sink) return;
  std::vector<Client*> all(g_bus.attached.begin(), g_bus.attached.end());
  for (Client* c : all) g_bus.sink->drop(c, nullptr);
}
void Devices::sweep() {}
void Devices::on_serial_done(SerialRead*) { ++reads_finished_; }  // a read ended: parked frames are taken up
void Devices::add_pollfds(std::vector<pollfd>&) {}
int Devices::next_timeout_ms(int bound) { return bound; }
void Devices::handle_events(const pollfd*, std::size_t) {}

}  // namespace vxusbd

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vxusbd;
  g_bus = FakeBus{};
  Devices devices;
  {
    Service service(devices, 60000);
    g_bus.sink = &service;
    std::vector<Client*> live;
    std::size_t at = 0;
    auto next = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
    for (int step = 0; step < 400 && at < size; ++step) {
      std::uint8_t op = next();
      Client* c = live.empty() ? nullptr : live[next() % live.size()];
      switch (op % 6) {
        case 0:
          if (live.size() < 8) live.push_back(service.add_client(-1));
          break;
        case 1: {  // bytes from the client; a few canned frames make progress likely
          if (!c) break;
          std::size_t n = next();
          if (n > size - at) n = size - at;
          service.take(c, data + at, n);
          at += n;
          break;
        }
        case 2: {  // a canned OPEN of the fake path, or a transfer request
          if (!c) break;
          std::vector<std::uint8_t> f(4);
          if (!c->first_done) {
            f.resize(8);
            put32(f.data() + 4, 2);
            f.insert(f.end(), kPath, kPath + sizeof kPath - 1);
          } else {
            f.resize(20);
            std::uint8_t k = next();
            put32(f.data() + 4, 16 + k % 4);
            put32(f.data() + 8, next() % 4);
            put32(f.data() + 12, k & 0x80 ? 0x80002004u : 0);
            put32(f.data() + 16, next());
          }
          put32(f.data(), static_cast<std::uint32_t>(f.size() - 4));
          service.take(c, f.data(), f.size());
          break;
        }
        case 3: {  // the device completes the client's oldest transfer
          if (!c || g_bus.pending[c].empty()) break;
          std::uint32_t id = g_bus.pending[c].front();
          g_bus.pending[c].erase(g_bus.pending[c].begin());
          complete_fake(c, id, next() % 3, next() % 2 ? 60000 : 3);
          break;
        }
        case 4: {  // unplugged; its serial number being read (a read ending)
          std::uint8_t k = next();
          g_bus.gone = k & 1;
          if (g_bus.reading && !(k & 2)) devices.on_serial_done(nullptr);
          g_bus.reading = k & 2;
          service.resume();
          break;
        }
        case 5: {  // the loop's end: what was dropped is freed
          for (Client* d : live)
            if (d->dead) {
              // Its output: frames of at most 65536 bytes each.
              const std::vector<std::uint8_t>& tx = d->tx;
              std::size_t p = 0;
              while (tx.size() - p >= 4) {
                std::uint32_t n = get32(&tx[p]);
                VX_FUZZ_CHECK(n <= 65536);
                p += 4 + n;
              }
            }
          service.sweep();
          std::vector<Client*> keep;
          for (Client* d : service.clients()) keep.push_back(d);
          live = keep;
          break;
        }
      }
      // A dropped connection has no transfer left outstanding at the device
      // once swept, and one outstanding at most while alive.
      for (Client* d : live) VX_FUZZ_CHECK(d->dead || d->transfers.size() <= 1);
    }
  }
  g_bus.sink = nullptr;
  return 0;
}
