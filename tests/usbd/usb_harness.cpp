// The umockdev side: sysfs entries with whole descriptor sets, one ioctl
// handler per usbfs node (run on umockdev's own thread), URB queues, and the
// USBTMC device model behind them.
#include "usb_harness.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace usbmock {

namespace {

constexpr std::uint8_t kEpOut = 0x01, kEpIn = 0x82, kEpInterrupt = 0x83;

void put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Device, configuration, vendor-specific interfaces up to the USBTMC one,
// and (for an instrument) the USBTMC interface with its bulk out and bulk
// in endpoints (and interrupt in), then a second one if asked for.
std::vector<std::uint8_t> descriptors(const DeviceSetup& s) {
  std::vector<std::uint8_t> d = {18,
                                 1,
                                 0x00,
                                 0x02,
                                 0,
                                 0,
                                 0,
                                 64,
                                 static_cast<std::uint8_t>(s.vendor),
                                 static_cast<std::uint8_t>(s.vendor >> 8),
                                 static_cast<std::uint8_t>(s.product),
                                 static_cast<std::uint8_t>(s.product >> 8),
                                 0x00,
                                 0x01,
                                 static_cast<std::uint8_t>(s.manufacturer.empty() ? 0 : 1),
                                 static_cast<std::uint8_t>(s.productName.empty() ? 0 : 2),
                                 static_cast<std::uint8_t>(s.serial.empty() ? 0 : 3),
                                 1};
  std::vector<std::uint8_t> c = {9, 2, 0, 0, 0, 1, 0, 0x80, 50};
  int vendor_interfaces = s.usbtmc ? s.usbtmc_interface : 1;
  for (int i = 0; i < vendor_interfaces; ++i) c.insert(c.end(), {9, 4, static_cast<std::uint8_t>(i), 0, 0, 0xFF, 0, 0, 0});
  if (s.usbtmc) {
    std::uint8_t lo = static_cast<std::uint8_t>(s.packet), hi = static_cast<std::uint8_t>(s.packet >> 8);
    std::uint8_t number = static_cast<std::uint8_t>(s.usbtmc_interface);
    c.insert(c.end(), {9, 4, number, 0, static_cast<std::uint8_t>(s.interrupt_in ? 3 : 2), 0xFE, 0x03, s.protocol, 0});
    c.insert(c.end(), {7, 5, kEpOut, 2, lo, hi, 0});
    c.insert(c.end(), {7, 5, kEpIn, 2, lo, hi, 0});
    if (s.interrupt_in) c.insert(c.end(), {7, 5, kEpInterrupt, 3, 8, 0, 4});
    if (s.second_usbtmc) {
      c.insert(c.end(), {9, 4, static_cast<std::uint8_t>(number + 1), 0, 2, 0xFE, 0x03, 0x00, 0});
      c.insert(c.end(), {7, 5, 0x04, 2, lo, hi, 0});
      c.insert(c.end(), {7, 5, 0x85, 2, lo, hi, 0});
    }
  }
  c[4] = static_cast<std::uint8_t>(vendor_interfaces + (s.usbtmc ? 1 + (s.second_usbtmc ? 1 : 0) : 0));
  c[2] = static_cast<std::uint8_t>(c.size());
  c[3] = static_cast<std::uint8_t>(c.size() >> 8);
  d.insert(d.end(), c.begin(), c.end());
  return d;
}

std::vector<std::uint8_t> string_descriptor(const std::string& text) {
  std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
  for (char ch : text) d.insert(d.end(), {static_cast<std::uint8_t>(ch), 0});
  return d;
}

struct Done {
  UMockdevIoctlData* urb;
  int status;
  std::vector<std::uint8_t> bytes;
};

std::string hex_of(const std::vector<std::uint8_t>& bytes) {
  std::string hex;
  char b[3];
  for (std::uint8_t x : bytes) {
    std::snprintf(b, sizeof b, "%02x", x);
    hex += b;
  }
  return hex;
}

}  // namespace

struct Device {
  struct Testbed::Impl* impl = nullptr;
  int bus = 0;
  DeviceSetup setup;
  std::string devnode, sysfs, record;  // record: the testbed's description of it
  UMockdevIoctlBase* handler = nullptr;
  int fifo = -1;  // our end of the node's FIFO
  bool fifo_full = false;
  std::deque<UMockdevIoctlData*> in_waiting;
  std::deque<UMockdevIoctlData*> interrupt_waiting;
  std::deque<std::vector<std::uint8_t>> notes;  // to go out on the interrupt endpoint
  std::deque<Done> done;
  std::deque<Done> late;  // answered later by a timer thread (serial_ms)
  // Who submitted each URB: as the kernel, a handle reaps only its own (a
  // serial read's handle and an unplugged device's may share the node).
  std::map<UMockdevIoctlData*, UMockdevIoctlClient*> owner;
  bool silent = false, gone = false;
  bool held_back = false;  // completed URBs are not handed to the host yet
  Counters counters;
  // The USBTMC model.
  std::vector<std::uint8_t> out_asm;
  std::string command, output;
  bool dev_req = false, vendor_req = false;
  std::uint8_t dev_tag = 0, vendor_tag = 0, echo[4] = {0, 0, 0, 0};
  std::uint32_t dev_size = 0;
  std::vector<std::uint8_t> msg;
  std::size_t msg_at = 0;
  int pending_left = 0;
  bool zlp_due = false;
  std::uint64_t clears = 0;  // a SLOW? reply computed before a clear never comes

  void run_command(const std::string& text);
  void take_out(const std::uint8_t* p, std::size_t n);
  bool next_message();
  void serve_bulk_in();
  void serve_interrupt();
  std::vector<std::uint8_t> control(const std::uint8_t* setup, int& status);
  void reset_for_clear();
  void update_fifo();
};

struct Testbed::Impl {
  UMockdevTestbed* testbed = nullptr;
  std::string root;
  std::mutex mutex;
  std::vector<Device*> devices;
  std::vector<std::thread> timers;  // joined before the devices go
  bool stopping = false;            // the slow replies' timers give up
};

// libusb polls the node for POLLOUT, the sign of a reapable URB. A regular
// file is always ready and would keep libusb's loop spinning; the node is a
// FIFO instead, kept full (not writable) while nothing can be reaped.
void Device::update_fifo() {
  if (fifo < 0) return;
  bool want_ready = (!done.empty() && !held_back) || gone;
  char chunk[4096];
  if (want_ready && fifo_full) {
    while (::read(fifo, chunk, sizeof chunk) < 0 && errno == EINTR) {
    }
    fifo_full = false;
  } else if (!want_ready && !fifo_full) {
    std::memset(chunk, 0, sizeof chunk);
    for (int i = 0; i < 64; ++i)
      if (::write(fifo, chunk, sizeof chunk) < 0 && errno == EAGAIN) break;
    fifo_full = true;
  }
}

void Device::reset_for_clear() {
  out_asm.clear();
  command.clear();
  output.clear();
  msg.clear();
  msg_at = 0;
  dev_req = vendor_req = false;
  pending_left = setup.pending_polls;
  ++clears;
}

// The pattern "DATA? N" sends, as the length of a block taken.
static long block_of(const std::string& cmd) {
  std::size_t at = 4;
  if (cmd.size() < at + 2 || cmd[at] != '#' || cmd[at + 1] < '1' || cmd[at + 1] > '9') return -1;
  std::size_t digits = static_cast<std::size_t>(cmd[at + 1] - '0'), start = at + 2 + digits;
  if (cmd.size() < start) return -1;
  std::size_t n = std::strtoul(cmd.substr(at + 2, digits).c_str(), nullptr, 10);
  if (cmd.size() != start + n) return -1;
  for (std::size_t i = 0; i < n; ++i)
    if (cmd[start + i] != static_cast<char>('A' + i % 26)) return -1;
  return static_cast<long>(n);
}

void Device::run_command(const std::string& text) {
  std::size_t end = text.find_last_not_of(" \r\n");
  std::string cmd = end == std::string::npos ? std::string() : text.substr(0, end + 1);
  if (cmd == "*IDN?") {
    output += setup.idn + "\n";
  } else if (cmd.compare(0, 6, "DATA? ") == 0) {
    std::size_t n = std::strtoul(cmd.c_str() + 6, nullptr, 10);
    std::string digits = std::to_string(n);
    output += "#" + std::to_string(digits.size()) + digits;
    for (std::size_t i = 0; i < n; ++i) output.push_back(static_cast<char>('A' + i % 26));
    output += "\n";
  } else if (cmd.compare(0, 6, "SLOW? ") == 0) {
    int ms = std::atoi(cmd.c_str() + 6);
    impl->timers.emplace_back([this, ms, clears_then = clears] {
      auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
      for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::lock_guard<std::mutex> lock(impl->mutex);
        if (clears != clears_then || gone || impl->stopping) return;
        if (std::chrono::steady_clock::now() >= until) break;
      }
      std::lock_guard<std::mutex> lock(impl->mutex);
      if (clears != clears_then || gone) return;
      output += "SLOW\n";
      serve_bulk_in();
      update_fifo();
    });
  } else if (cmd.compare(0, 4, "BLK ") == 0) {
    counters.block = block_of(text);
  }
}

void Device::take_out(const std::uint8_t* p, std::size_t n) {
  out_asm.insert(out_asm.end(), p, p + n);
  for (int rounds = 0; rounds < 1000 && out_asm.size() >= 12; ++rounds) {
    std::uint8_t id = out_asm[0];
    std::uint32_t size = get32(&out_asm[4]);
    std::size_t need = id == 1 ? 12 + static_cast<std::size_t>(size) : id == 126 ? 16 : 12;
    if (!setup.nopad) need = (need + 3) / 4 * 4;
    if (id != 1 && id != 2 && id != 126 && id != 127 && id != 128) {
      ++counters.bad_out;
      out_asm.clear();
      return;
    }
    if (out_asm.size() < need) return;
    if (id == 1) {
      command.append(reinterpret_cast<const char*>(&out_asm[12]), size);
      if (out_asm[8] & 1) {  // EOM
        ++counters.messages;
        counters.last_message = static_cast<long>(command.size());
        run_command(command);
        command.clear();
      }
    } else if (id == 2) {
      dev_req = true;
      dev_tag = out_asm[1];
      dev_size = size;
    } else if (id == 128) {
      ++counters.triggers;
    } else if (id == 126) {
      std::memcpy(echo, &out_asm[12], 4);
    } else {
      vendor_req = true;
      vendor_tag = out_asm[1];
    }
    out_asm.erase(out_asm.begin(), out_asm.begin() + static_cast<std::ptrdiff_t>(need));
  }
}

bool Device::next_message() {
  const std::uint8_t* payload = nullptr;
  std::uint32_t n = 0;
  std::uint8_t id = 0, tag = 0, attributes = 0;
  if (vendor_req) {
    id = 127;
    tag = vendor_tag;
    payload = echo;
    n = 4;
    vendor_req = false;
  } else if (dev_req && !output.empty()) {
    id = 2;
    tag = dev_tag;
    n = static_cast<std::uint32_t>(output.size() < dev_size || setup.whole_reply ? output.size() : dev_size);
    payload = reinterpret_cast<const std::uint8_t*>(output.data());
    attributes = n == output.size() && !setup.whole_reply ? 1 : 0;
    dev_req = false;
  } else {
    return false;
  }
  msg.assign(12, 0);
  msg[0] = id;
  msg[1] = tag;
  msg[2] = static_cast<std::uint8_t>(~tag);
  put32(&msg[4], n);
  msg[8] = attributes;
  msg.insert(msg.end(), payload, payload + n);
  while (msg.size() % 4) msg.push_back(0);
  if (id == 2) output.erase(0, n);
  msg_at = 0;
  return true;
}

// Whole packets of the message into the waiting bulk ins; a short packet
// ends a transfer, and a packet larger than the room left is an overflow.
void Device::serve_bulk_in() {
  while (!silent && !gone && !in_waiting.empty()) {
    if (zlp_due) {
      zlp_due = false;
      done.push_back(Done{in_waiting.front(), 0, {}});
      in_waiting.pop_front();
      continue;
    }
    if (msg_at >= msg.size() && !next_message()) break;
    UMockdevIoctlData* urb_data = in_waiting.front();
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urb_data->data);
    std::size_t room = static_cast<std::size_t>(urb->buffer_length), packet = setup.packet;
    std::size_t rem = msg.size() - msg_at, full = room / packet * packet;
    if (rem > full && room % packet != 0) {
      std::size_t next = rem - full < packet ? rem - full : packet;
      if (next > room - full) {
        in_waiting.pop_front();
        ++counters.overflows;
        msg_at = msg.size();  // the babble loses the message
        done.push_back(Done{urb_data, -EOVERFLOW, {}});
        continue;
      }
    }
    std::size_t n = rem < room ? rem : room;
    if (setup.no_short_end && n == rem && n < room && n % packet == 0) {
      // The message ends with a full packet and nothing after it: the
      // transfer waits for more (and the bytes are lost with it).
      msg_at = msg.size();
      break;
    }
    in_waiting.pop_front();
    if (setup.zlp && n == rem && msg.size() % packet == 0) zlp_due = true;
    done.push_back(Done{urb_data, 0, std::vector<std::uint8_t>(msg.begin() + msg_at, msg.begin() + msg_at + n)});
    msg_at += n;
  }
}

void Device::serve_interrupt() {
  while (!gone && !notes.empty() && !interrupt_waiting.empty()) {
    done.push_back(Done{interrupt_waiting.front(), 0, notes.front()});
    interrupt_waiting.pop_front();
    notes.pop_front();
  }
}

std::vector<std::uint8_t> Device::control(const std::uint8_t* s, int& status) {
  std::uint8_t type = s[0], request = s[1];
  std::uint16_t value = static_cast<std::uint16_t>(s[2] | s[3] << 8),
                index = static_cast<std::uint16_t>(s[4] | s[5] << 8);
  status = 0;
  if (type == 0x80 && request == 6 && value >> 8 == 3) {  // GET_DESCRIPTOR(string)
    std::uint8_t which = static_cast<std::uint8_t>(value);
    if (which == 0) return {4, 3, 0x09, 0x04};
    if (which == 1 && !setup.manufacturer.empty()) return string_descriptor(setup.manufacturer);
    if (which == 2 && !setup.productName.empty()) return string_descriptor(setup.productName);
    if (which == 3 && !setup.serial.empty()) return string_descriptor(setup.serial);
  } else if (type == 0xA2 && request >= 1 && request <= 4) {
    // The abort requests name their endpoint in wIndex.
    counters.endpoint_index = index;
    std::uint8_t tag = static_cast<std::uint8_t>(value);
    if (request == 2 || request == 4) return {1, 0, 0, 0, 0, 0, 0, 0};  // CHECK_ABORT_*_STATUS: done
    if (request == 3 && index == kEpIn && ((dev_req && dev_tag == tag) || (msg_at < msg.size() && msg[1] == tag))) {
      // The reply in progress ends; what was queued for it goes.
      ++counters.aborted_in;
      dev_req = false;
      msg.clear();
      msg_at = 0;
      output.clear();
      return {1, tag};
    }
    return {0x80, tag};  // STATUS_FAILED: nothing in progress
  } else if (type == 0xA1 && request == 7) {  // GET_CAPABILITIES
    std::vector<std::uint8_t> caps(24, 0);
    caps[0] = 1;
    caps[3] = 1;  // bcdUSBTMC 1.00
    if (setup.protocol == 1) {
      caps[13] = 1;     // bcdUSB488 1.00
      caps[14] = 0x07;  // USB488.2, REN_CONTROL and friends, TRIGGER
      caps[15] = 0x0F;  // SCPI, SR1, RL1, DT1
    }
    return caps;
  } else if (type == 0xA1 && request >= 160 && request <= 162 && setup.protocol == 1) {
    if (index != setup.usbtmc_interface) ++counters.bad_index;
    if (request == 160) counters.ren = value;
    if (request == 161) ++counters.go_to_locals;
    if (request == 162) ++counters.local_lockouts;
    return {1};
  } else if (type == 0xA1 && request == 128 && setup.protocol == 1) {  // READ_STATUS_BYTE
    std::uint8_t tag = static_cast<std::uint8_t>(value);
    if (index != setup.usbtmc_interface) ++counters.bad_index;
    if (!setup.interrupt_in) return {1, tag, setup.stb};
    notes.push_back({static_cast<std::uint8_t>(0x80 | tag), setup.stb});
    serve_interrupt();
    return {1, tag, 0};
  } else if (type == 0xA1 && (request == 5 || request == 6)) {
    if (index != setup.usbtmc_interface) {
      ++counters.bad_index;
    } else if (request == 5) {  // INITIATE_CLEAR
      reset_for_clear();
      return {1};
    } else {  // CHECK_CLEAR_STATUS
      if (pending_left > 0) {
        --pending_left;
        return {2, 0};
      }
      return {1, 0};
    }
  }
  status = -EPIPE;  // stall
  return {};
}

namespace {

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
  Device* d = static_cast<Device*>(user);
  std::lock_guard<std::mutex> lock(d->impl->mutex);
  unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  bool reap = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
  if (d->gone && !(reap && !d->done.empty())) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return TRUE;
  }
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
      *reinterpret_cast<guint32*>(caps->data) = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                                USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
      umockdev_ioctl_data_unref(caps);
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    }
    case USBDEVFS_GETDRIVER: {  // ENODATA: no kernel driver bound
      if (!d->counters.driver_bound) {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return TRUE;
      }
      UMockdevIoctlData* g = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
      std::strcpy(reinterpret_cast<usbdevfs_getdriver*>(g->data)->driver, "usbtmc");
      umockdev_ioctl_data_unref(g);
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    }
    case USBDEVFS_IOCTL: {  // disconnect or connect the kernel's driver
      UMockdevIoctlData* c = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
      int code = reinterpret_cast<usbdevfs_ioctl*>(c->data)->ioctl_code;
      umockdev_ioctl_data_unref(c);
      if (code == static_cast<int>(USBDEVFS_DISCONNECT) && d->counters.driver_bound) {
        d->counters.driver_bound = false;
        umockdev_ioctl_client_complete(client, 0, 0);
      } else if (code == static_cast<int>(USBDEVFS_CONNECT) && !d->counters.driver_bound && d->setup.kernel_driver) {
        d->counters.driver_bound = true;
        umockdev_ioctl_client_complete(client, 1, 0);  // as the kernel: positive when a driver took it
      } else {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
      }
      return TRUE;
    }
    case USBDEVFS_CLEAR_HALT:
      ++d->counters.clear_halts;
      if (d->setup.clear_halt_ms > 0) {
        // A slow device: the request is answered later, from a thread of
        // its own, while this handler serves the others.
        g_object_ref(client);
        std::thread([client, ms = d->setup.clear_halt_ms] {
          std::this_thread::sleep_for(std::chrono::milliseconds(ms));
          umockdev_ioctl_client_complete(client, 0, 0);
          g_object_unref(client);
        }).detach();
        return TRUE;
      }
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    case USBDEVFS_CLAIMINTERFACE: {
      UMockdevIoctlData* n = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
      d->counters.claimed_interface = static_cast<int>(*reinterpret_cast<unsigned int*>(n->data));
      umockdev_ioctl_data_unref(n);
      if (d->counters.driver_bound) ++d->counters.claimed_while_bound;
      umockdev_ioctl_client_complete(client, d->counters.driver_bound ? -1 : 0, d->counters.driver_bound ? EBUSY : 0);
      return TRUE;
    }
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
      if (!d->setup.host_setup) {
        std::fprintf(stderr, "usb harness: ioctl 0x%lx not emulated\n", request);
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
      }
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    case USBDEVFS_SUBMITURB: {
      UMockdevIoctlData* urb_data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
      auto* urb = reinterpret_cast<usbdevfs_urb*>(urb_data->data);
      UMockdevIoctlData* buffer = nullptr;
      if (urb->buffer_length > 0)
        buffer = umockdev_ioctl_data_resolve(urb_data, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                             static_cast<gsize>(urb->buffer_length), nullptr);
      const std::uint8_t* bytes = buffer ? buffer->data : nullptr;
      if (urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->buffer_length >= 8) {
        int status = 0;
        std::vector<std::uint8_t> reply = d->control(bytes, status);
        std::size_t length = static_cast<std::size_t>(bytes[6] | bytes[7] << 8);
        if (reply.size() > length) reply.resize(length);
        bool serial = bytes[0] == 0x80 && bytes[1] == 6 && bytes[3] == 3 && bytes[2] == 3;
        if (serial && d->setup.serial_ms > 0) {
          // A slow device: the string comes later (unless the host gives up first).
          d->late.push_back(Done{urb_data, status, reply});
          d->impl->timers.emplace_back([d, urb_data, ms = d->setup.serial_ms] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            std::lock_guard<std::mutex> lock(d->impl->mutex);
            for (auto it = d->late.begin(); it != d->late.end(); ++it)
              if (it->urb == urb_data) {
                d->done.push_back(std::move(*it));
                d->late.erase(it);
                d->update_fifo();
                break;
              }
          });
        } else {
          d->done.push_back(Done{urb_data, status, reply});
        }
      } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == kEpOut) {
        d->take_out(bytes, static_cast<std::size_t>(urb->buffer_length));
        d->done.push_back(Done{urb_data, 0, std::vector<std::uint8_t>(static_cast<std::size_t>(urb->buffer_length))});
        d->serve_bulk_in();
      } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == kEpIn) {
        ++d->counters.bulk_in_submitted;
        d->in_waiting.push_back(urb_data);
        d->serve_bulk_in();
      } else if (urb->type == USBDEVFS_URB_TYPE_INTERRUPT && urb->endpoint == kEpInterrupt && d->setup.interrupt_in) {
        d->interrupt_waiting.push_back(urb_data);
        d->serve_interrupt();
      } else {
        if (buffer) umockdev_ioctl_data_unref(buffer);
        umockdev_ioctl_data_unref(urb_data);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
      }
      if (buffer) umockdev_ioctl_data_unref(buffer);
      d->owner[urb_data] = client;
      ++d->counters.in_flight;
      d->update_fifo();
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      auto mine = d->done.begin();
      while (mine != d->done.end() && d->owner[mine->urb] != client) ++mine;
      if (mine == d->done.end() || (d->held_back && !d->gone)) {
        umockdev_ioctl_client_complete(client, -1, d->gone ? ENODEV : EAGAIN);
        return TRUE;
      }
      Done done = std::move(*mine);
      d->done.erase(mine);
      d->owner.erase(done.urb);
      auto* urb = reinterpret_cast<usbdevfs_urb*>(done.urb->data);
      bool control = urb->type == USBDEVFS_URB_TYPE_CONTROL;
      std::size_t at = control ? 8 : 0;
      if (!done.bytes.empty() && (control || urb->endpoint & 0x80))
        std::memcpy(static_cast<std::uint8_t*>(urb->buffer) + at, done.bytes.data(), done.bytes.size());
      urb->actual_length = static_cast<int>(done.bytes.size());
      urb->status = done.status;
      UMockdevIoctlData* ptr = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
      umockdev_ioctl_data_set_ptr(ptr, 0, done.urb);
      umockdev_ioctl_data_unref(ptr);
      umockdev_ioctl_data_unref(done.urb);
      --d->counters.in_flight;
      d->update_fifo();
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    }
    case USBDEVFS_DISCARDURB: {
      gulong addr = reinterpret_cast<gulong>(*reinterpret_cast<void**>(arg->data));
      for (auto it = d->late.begin(); it != d->late.end(); ++it) {
        if (it->urb->client_addr != addr) continue;
        d->done.push_back(Done{it->urb, -ENOENT, {}});
        d->late.erase(it);
        d->update_fifo();
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      }
      for (auto it = d->in_waiting.begin(); it != d->in_waiting.end(); ++it) {
        if ((*it)->client_addr != addr) continue;
        d->done.push_back(Done{*it, -ENOENT, {}});
        d->in_waiting.erase(it);
        ++d->counters.discarded;
        d->update_fifo();
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      }
      for (auto it = d->interrupt_waiting.begin(); it != d->interrupt_waiting.end(); ++it) {
        if ((*it)->client_addr != addr) continue;
        d->done.push_back(Done{*it, -ENOENT, {}});
        d->interrupt_waiting.erase(it);
        d->update_fifo();
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      }
      ++d->counters.discard_late;
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return TRUE;
    }
    default:
      std::fprintf(stderr, "usb harness: ioctl 0x%lx not emulated\n", request);
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
      return TRUE;
  }
}

}  // namespace

Testbed::Testbed() : impl_(new Impl) {
  impl_->testbed = umockdev_testbed_new();
  if (!impl_->testbed) throw std::runtime_error("no umockdev testbed");
  gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
  impl_->root = root;
  g_free(root);
}

Testbed::~Testbed() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = true;
  }
  for (std::thread& t : impl_->timers) t.join();
  for (Device* d : impl_->devices) {
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      for (UMockdevIoctlData* u : d->in_waiting) umockdev_ioctl_data_unref(u);
      for (UMockdevIoctlData* u : d->interrupt_waiting) umockdev_ioctl_data_unref(u);
      for (Done& x : d->done) umockdev_ioctl_data_unref(x.urb);
      for (Done& x : d->late) umockdev_ioctl_data_unref(x.urb);
    }
    if (d->fifo >= 0) ::close(d->fifo);
  }
  g_clear_object(&impl_->testbed);
  for (Device* d : impl_->devices) {
    g_clear_object(&d->handler);
    delete d;
  }
}

int Testbed::add(const DeviceSetup& setup) {
  Device* d = new Device;
  d->impl = impl_.get();
  d->setup = setup;
  d->pending_left = setup.pending_polls;
  d->counters.driver_bound = setup.kernel_driver;
  d->bus = static_cast<int>(impl_->devices.size()) + 1;
  char node[64], sys[64];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/001", d->bus);
  std::snprintf(sys, sizeof sys, "/sys/devices/usb%d", d->bus);
  d->devnode = node;
  d->sysfs = sys;
  d->handler = umockdev_ioctl_base_new();
  g_signal_connect(d->handler, "handle-ioctl", G_CALLBACK(on_ioctl), d);
  // The handler first: libusb may open the node as soon as it appears.
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(impl_->testbed, node, d->handler, &error)) {
    std::string why = error ? error->message : "?";
    g_clear_error(&error);
    throw std::runtime_error("cannot attach the ioctl handler: " + why);
  }
  std::string hex = hex_of(descriptors(setup));
  char text[1024];
  std::snprintf(text, sizeof text,
                "P: /devices/usb%d\nN: bus/usb/%03d/001\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                "E: BUSNUM=%03d\nE: DEVNUM=001\nE: DEVNAME=%s\nA: busnum=%d\\n\nA: devnum=1\\n\n"
                "A: bConfigurationValue=1\\n\nA: speed=%s\\n\nH: descriptors=%s\n",
                d->bus, d->bus, d->bus, node, d->bus, setup.packet > 64 ? "480" : "12", hex.c_str());
  d->record = text;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->devices.push_back(d);
  }
  plug(d);
  return static_cast<int>(impl_->devices.size()) - 1;
}

// The sysfs entry (udev reports it) and the node as a FIFO.
void Testbed::plug(Device* d) {
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(impl_->testbed, d->record.c_str(), &error)) {
    std::string why = error ? error->message : "?";
    g_clear_error(&error);
    throw std::runtime_error("cannot add the device: " + why);
  }
  std::string fifo = impl_->root + d->devnode;
  ::unlink(fifo.c_str());
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (d->fifo >= 0) ::close(d->fifo);
  d->fifo = -1;
  d->fifo_full = false;
  if (::mkfifo(fifo.c_str(), 0666) == 0) d->fifo = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  d->update_fifo();
}

void Testbed::replug(int index) {
  Device* d = impl_->devices.at(static_cast<std::size_t>(index));
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    // Left only if the host never reaped them (callers wait until it has).
    for (UMockdevIoctlData* u : d->in_waiting) umockdev_ioctl_data_unref(u);
    for (UMockdevIoctlData* u : d->interrupt_waiting) umockdev_ioctl_data_unref(u);
    for (Done& x : d->done) umockdev_ioctl_data_unref(x.urb);
    for (Done& x : d->late) umockdev_ioctl_data_unref(x.urb);
    d->interrupt_waiting.clear();
    d->notes.clear();
    d->in_waiting.clear();
    d->done.clear();
    d->late.clear();
    d->owner.clear();
    d->counters.in_flight = 0;
    d->reset_for_clear();
    d->zlp_due = false;
    d->silent = d->held_back = d->gone = false;
  }
  plug(d);
}

void Testbed::set_silent(int index, bool silent) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Device* d = impl_->devices.at(static_cast<std::size_t>(index));
  d->silent = silent;
  d->serve_bulk_in();
  d->update_fifo();
}

void Testbed::hold_back(int index, bool hold) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Device* d = impl_->devices.at(static_cast<std::size_t>(index));
  d->held_back = hold;
  d->update_fifo();
}

void Testbed::unplug(int index, bool announce) {
  Device* d = impl_->devices.at(static_cast<std::size_t>(index));
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    d->gone = true;
    for (UMockdevIoctlData* u : d->in_waiting) d->done.push_back(Done{u, -ENODEV, {}});
    for (UMockdevIoctlData* u : d->interrupt_waiting) d->done.push_back(Done{u, -ENODEV, {}});
    d->in_waiting.clear();
    d->interrupt_waiting.clear();
    d->update_fifo();
  }
  if (announce) announce_removal(index);
}

void Testbed::announce_removal(int index) {
  Device* d = impl_->devices.at(static_cast<std::size_t>(index));
  umockdev_testbed_uevent(impl_->testbed, d->sysfs.c_str(), "remove");
  umockdev_testbed_remove_device(impl_->testbed, d->sysfs.c_str());
}

Counters Testbed::counters(int index) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Device* d = impl_->devices.at(static_cast<std::size_t>(index));
  Counters c = d->counters;
  c.reads_waiting = static_cast<int>(d->in_waiting.size());
  c.interrupt_waiting = static_cast<int>(d->interrupt_waiting.size());
  c.notes_queued = static_cast<int>(d->notes.size());
  return c;
}

void Testbed::notify(int index, const std::vector<std::uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Device* d = impl_->devices.at(static_cast<std::size_t>(index));
  d->notes.push_back(bytes);
  d->serve_interrupt();
  d->update_fifo();
}

void Testbed::set_stb(int index, std::uint8_t stb) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->devices.at(static_cast<std::size_t>(index))->setup.stb = stb;
}

DeviceSetup rigol_usb488() {
    DeviceSetup s;
    s.vendor = 0x1AB1;
    s.product = 0x04CE;
    s.serial = "DS1ZA000000001";
    s.manufacturer = "RIGOL TECHNOLOGIES";
    s.productName = "DS1104Z";
    s.idn = "RIGOL TECHNOLOGIES,DS1104Z,DS1ZA000000001,00.04.04";
    s.usbtmc_interface = 0;
    s.protocol = 1;
    s.interrupt_in = true;
    s.packet = 512;
    return s;
}

}  // namespace usbmock
