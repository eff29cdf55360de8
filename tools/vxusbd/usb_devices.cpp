// USBTMC devices through libusb. Every transfer is asynchronous and completes
// in libusb's callback on the service thread; bulk ins of one device run one
// at a time, so the bytes a device sent beyond what a client asked for can
// be kept for that device's next bulk in without ever being handed twice.
#include "usb_devices.h"

#include <fcntl.h>
#include <libusb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <set>
#include <thread>

namespace vxusbd {

namespace {

constexpr std::uint32_t kBulkOut = 16, kBulkIn = 17, kIoctl = 18, kCancel = 19, kInterruptIn = 20;
constexpr std::uint32_t kDone = 0, kFailed = 1, kCancelled = 2;
constexpr std::uint32_t kControlRequest = 0x80002080u, kPreClear = 0x80002004u, kPostClear = 0x8000201Cu;
constexpr std::uint8_t kUsbtmcClass = 0xFE, kUsbtmcSubclass = 0x03;
constexpr std::uint8_t kDevDepMsgIn = 2, kVendorSpecificIn = 127;
constexpr unsigned kControlTimeoutMs = 5000;
// Per string descriptor request of a serial-number read (as libusb's own
// synchronous string read); a read that fails leaves the serial empty.
constexpr unsigned kSerialTimeoutMs = 1000;
constexpr std::uint32_t kMaxTrackedMessage = 16u * 1024 * 1024;
// The most data one completion frame can carry (65536 bytes of body).
constexpr std::uint32_t kMaxCompletionData = 65536 - 12;
constexpr const char* kInterfaceGuid = "{a9fdbb24-128a-11d5-9961-00108335e361}";

}  // namespace

struct Transfer {
  Devices* owner = nullptr;
  Client* client = nullptr;  // null once the client has gone away
  Device* device = nullptr;
  std::uint32_t kind = 0, id = 0, out_length = 0;
  libusb_transfer* xfer = nullptr;  // while libusb has it
  std::vector<std::uint8_t> buf;
  bool cancelling = false;
  bool discard = false;  // aborted by a clear: what it brings is stale
  bool more = false;     // bulk in: holds the first part of a message, the rest is asked for
  std::uint32_t code = 0;  // kind 20: which notifications
  Job* job = nullptr;    // the clear-halt job working for it
};

// libusb_clear_halt waits for the device (up to 5 s a request in the
// kernel) and resets the host's data toggle, which an asynchronous
// CLEAR_FEATURE would not: it runs on a thread of its own. The thread only
// touches rc and its own copies; the rest belongs to the service thread.
struct Job {
  Device* device = nullptr;
  Transfer* transfer = nullptr;  // null once cancelled or its client left
  libusb_device_handle* handle = nullptr;
  std::uint8_t eps[2] = {0, 0};
  int rc = 0;
  std::thread thread;
};

// The strings read on arrival: the language list, then the manufacturer,
// product and serial strings that the device has, as asynchronous control
// transfers on a handle of its own.
struct SerialRead {
  Devices* owner = nullptr;
  libusb_device* dev = nullptr;  // referenced
  libusb_device_handle* handle = nullptr;
  libusb_transfer* xfer = nullptr;  // while libusb has it
  std::uint8_t index[3] = {0, 0, 0};  // iManufacturer, iProduct, iSerialNumber
  int at = -1;                        // the string asked for; -1: the language list
  std::uint16_t language = 0;
  bool left = false;  // unplugged meanwhile, or not opened: nothing is kept
  Devices::Strings strings;
  unsigned char buf[LIBUSB_CONTROL_SETUP_SIZE + 255] = {};
};

struct Device {
  Devices* owner = nullptr;
  libusb_device* dev = nullptr;
  libusb_device_handle* handle = nullptr;
  std::string path;
  int interface_number = 0;
  std::uint8_t ep_out = 0, ep_in = 0, ep_interrupt = 0;
  std::uint32_t packet_in = 64, packet_interrupt = 0;
  // The interrupt-IN endpoint is read while a client has the device open:
  // one transfer, submitted again as each notification arrives.
  libusb_transfer* interrupt = nullptr;
  std::vector<std::uint8_t> interrupt_buf;
  bool interrupt_cancelling = false;
  bool interrupt_failed = false;  // the endpoint failed: kind 20 fails from then on
  std::vector<Transfer*> interrupt_waiting;  // kind 20 transfers waiting for a notification
  int jobs = 0;  // clear-halt jobs still running on the handle
  bool driver_detached = false;
  bool gone = false;
  std::vector<Client*> clients;
  std::set<Transfer*> flying;
  std::deque<Transfer*> bulk_in;  // waiting bulk ins; the front may be flying
  std::vector<Transfer*> pre_clears;
  // Device bytes not yet handed over (what is left of one device transfer),
  // and where the USBTMC message being handed over ends.
  std::vector<std::uint8_t> held;
  std::size_t held_at = 0;
  std::uint32_t msg_left = 0, pad_left = 0;
  // The next device byte starts a message (false after one whose header
  // was not understood: its end is then unknown).
  bool at_start = true;
};

namespace {

void LIBUSB_CALL transfer_callback(libusb_transfer* x) {
  Transfer* t = static_cast<Transfer*>(x->user_data);
  t->owner->on_transfer_done(t);
}

void LIBUSB_CALL interrupt_callback(libusb_transfer* x) {
  Device* d = static_cast<Device*>(x->user_data);
  d->owner->on_interrupt_done(d);
}

void LIBUSB_CALL serial_callback(libusb_transfer* x) {
  SerialRead* s = static_cast<SerialRead*>(x->user_data);
  s->owner->on_serial_done(s);
}

int LIBUSB_CALL hotplug_callback(libusb_context*, libusb_device* dev, libusb_hotplug_event event, void* user) {
  if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT) static_cast<Devices*>(user)->on_device_left(dev);
  if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) static_cast<Devices*>(user)->on_device_arrived(dev);
  return 0;
}

// A serial number as a path segment: printable, and no '#' (the separator).
std::string path_safe(const unsigned char* s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out.push_back(s[i] > 0x20 && s[i] < 0x7F && s[i] != '#' ? static_cast<char>(s[i]) : '_');
  return out;
}

// A DESCRIBE text: printable ASCII, the rest '_'.
std::string text_safe(const std::string& s) {
  std::string out;
  for (char c : s) out.push_back(c >= 0x20 && c < 0x7F ? c : '_');
  return out;
}

// The USBTMC interfaces, in descriptor order.
std::vector<const libusb_interface_descriptor*> usbtmc_interfaces(const libusb_config_descriptor* config) {
  std::vector<const libusb_interface_descriptor*> found;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& itf = config->interface[i];
    if (itf.num_altsetting < 1) continue;
    const libusb_interface_descriptor* alt = &itf.altsetting[0];
    if (alt->bInterfaceClass == kUsbtmcClass && alt->bInterfaceSubClass == kUsbtmcSubclass) found.push_back(alt);
  }
  return found;
}

const libusb_interface_descriptor* usbtmc_interface(const libusb_config_descriptor* config) {
  std::vector<const libusb_interface_descriptor*> all = usbtmc_interfaces(config);
  return all.empty() ? nullptr : all[0];
}

// An interface's endpoints: the first bulk out, bulk in and interrupt in.
struct Endpoints {
  std::uint8_t out = 0, in = 0, interrupt = 0;
  std::uint32_t out_packet = 0, in_packet = 0, interrupt_packet = 0;
};

Endpoints endpoints_of(const libusb_interface_descriptor* alt) {
  Endpoints e;
  for (int i = 0; i < alt->bNumEndpoints; ++i) {
    const libusb_endpoint_descriptor& ep = alt->endpoint[i];
    std::uint32_t packet = ep.wMaxPacketSize & 0x7FF;
    bool in = (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0;
    int type = ep.bmAttributes & 3;
    if (type == LIBUSB_TRANSFER_TYPE_BULK && in && !e.in) {
      e.in = ep.bEndpointAddress;
      e.in_packet = packet;
    } else if (type == LIBUSB_TRANSFER_TYPE_BULK && !in && !e.out) {
      e.out = ep.bEndpointAddress;
      e.out_packet = packet;
    } else if (type == LIBUSB_TRANSFER_TYPE_INTERRUPT && in && !e.interrupt) {
      e.interrupt = ep.bEndpointAddress;
      e.interrupt_packet = packet;
    }
  }
  return e;
}

libusb_config_descriptor* config_of(libusb_device* dev) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(dev, &config) != 0 && libusb_get_config_descriptor(dev, 0, &config) != 0)
    return nullptr;
  return config;
}

// The first USBTMC interface's number, or -1.
int usbtmc_number(libusb_device* dev) {
  libusb_config_descriptor* config = config_of(dev);
  if (!config) return -1;
  const libusb_interface_descriptor* alt = usbtmc_interface(config);
  int number = alt ? alt->bInterfaceNumber : -1;
  libusb_free_config_descriptor(config);
  return number;
}

}  // namespace

Devices::~Devices() { stop(); }

void Devices::start() {
  stopping_ = false;
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    log_line("error: cannot make a pipe: %s", std::strerror(errno));
    wake_[0] = wake_[1] = -1;
  }
  int rc = libusb_init(&ctx_);
  if (rc != 0) {
    struct stat st;
    bool usbfs = ::stat("/dev/bus/usb", &st) == 0;
    log_line("no USB: libusb cannot start (%s)%s; serving no devices", libusb_error_name(rc),
             usbfs ? "" : ": no usbfs at /dev/bus/usb, as in a container");
    ctx_ = nullptr;
    return;
  }
  // libusb starts without usbfs where udev is in use (devices may come
  // later); say why the list is empty all the same.
  struct stat st;
  if (::stat("/dev/bus/usb", &st) != 0)
    log_line("no USB: no usbfs at /dev/bus/usb (as in a container); no devices until one appears");
  if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
    // Arrivals (those present now too) start their serial-number reads.
    have_hotplug_ =
        libusb_hotplug_register_callback(ctx_,
                                         static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT |
                                                                           LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED),
                                         LIBUSB_HOTPLUG_ENUMERATE,
                                         LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                         hotplug_callback, this, &hotplug_) == LIBUSB_SUCCESS;
  }
}

void Devices::stop() {
  stopping_ = true;
  // The jobs end within the kernel's timeouts; their devices are closed below.
  for (Job* j : jobs_) j->thread.join();
  {
    std::lock_guard<std::mutex> lock(finished_mutex_);
    finished_.clear();
  }
  for (Job* j : jobs_) {
    if (j->transfer) j->transfer->job = nullptr;
    --j->device->jobs;
    delete j;
  }
  jobs_.clear();
  for (int& fd : wake_)
    if (fd >= 0) {
      ::close(fd);
      fd = -1;
    }
  if (!ctx_) return;
  for (Device* d : devices_)
    for (Transfer* t : d->flying)
      if (!t->cancelling) {
        t->cancelling = true;
        libusb_cancel_transfer(t->xfer);
      }
  for (Device* d : devices_)
    if (d->interrupt && !d->interrupt_cancelling) {
      d->interrupt_cancelling = true;
      libusb_cancel_transfer(d->interrupt);
    }
  for (auto& kv : reading_)
    if (kv.second->xfer) libusb_cancel_transfer(kv.second->xfer);
  // Cancelled transfers come back within a few event rounds; bounded.
  for (int round = 0; round < 100; ++round) {
    bool any = false;
    for (auto& kv : reading_) any = any || kv.second->xfer;
    for (Device* d : devices_) any = any || !d->flying.empty() || d->interrupt;
    if (!any) break;
    timeval tv{0, 10000};
    libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
  }
  for (Device* d : devices_) {
    for (Client* c : d->clients) c->device = nullptr;
    for (Transfer* t : d->flying) t->client = nullptr;
    for (Transfer* t : d->bulk_in)
      if (!t->xfer) delete t;
    for (Transfer* t : d->pre_clears) delete t;
    for (Transfer* t : d->interrupt_waiting) delete t;
    d->interrupt_waiting.clear();
    if (d->flying.empty() && !d->interrupt) close_device(d);  // else libusb still owns transfers: leak rather than free under it
  }
  devices_.clear();
  if (have_hotplug_) libusb_hotplug_deregister_callback(ctx_, hotplug_);
  have_hotplug_ = false;
  std::vector<SerialRead*> ended;
  ended.swap(ended_reads_);
  for (SerialRead* r : ended) end_serial_read(r);
  for (auto& kv : serials_) libusb_unref_device(kv.first);
  serials_.clear();
  reading_.clear();  // what is left libusb still owns: leaked rather than freed under it
  for (libusb_device* dev : arrived_) libusb_unref_device(dev);
  arrived_.clear();
  libusb_exit(ctx_);
  ctx_ = nullptr;
}

const Devices::Strings* Devices::strings_of(libusb_device* dev, const std::uint8_t index[3]) {
  auto it = serials_.find(dev);
  if (it != serials_.end()) return &it->second;
  if (!index[0] && !index[1] && !index[2]) return &(serials_[libusb_ref_device(dev)] = Strings());
  read_serial(dev, index);
  it = serials_.find(dev);  // a read that could not start ends at once
  return it != serials_.end() ? &it->second : nullptr;
}

void Devices::read_serial(libusb_device* dev, const std::uint8_t index[3]) {
  if (serials_.count(dev) || reading_.count(dev)) return;
  SerialRead* s = new SerialRead;
  s->owner = this;
  s->dev = libusb_ref_device(dev);
  std::memcpy(s->index, index, sizeof s->index);
  reading_[s->dev] = s;
  // Opening the node does not wait for the device; its answers come in
  // on_serial_done.
  if (libusb_open(dev, &s->handle) != 0) {
    // Out of descriptors, say: asked again at the next LIST or OPEN.
    s->left = true;
    end_serial_read(s);
  } else if (!ask_string(s, 0, 0)) {
    end_serial_read(s);
  }
}

// The next string the device has; false when none is left (or it cannot
// be asked for).
bool Devices::ask_next_string(SerialRead* s) {
  while (++s->at < 3)
    if (s->index[s->at] != 0) return ask_string(s, s->index[s->at], s->language);
  return false;
}

bool Devices::ask_string(SerialRead* s, std::uint8_t index, std::uint16_t language) {
  libusb_fill_control_setup(s->buf, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                            static_cast<std::uint16_t>(LIBUSB_DT_STRING << 8 | index), language, 255);
  libusb_transfer* x = libusb_alloc_transfer(0);
  if (!x) return false;
  libusb_fill_control_transfer(x, s->handle, s->buf, serial_callback, s, kSerialTimeoutMs);
  if (libusb_submit_transfer(x) != 0) {
    libusb_free_transfer(x);
    return false;
  }
  s->xfer = x;
  return true;
}

void Devices::on_serial_done(SerialRead* s) {
  libusb_transfer* x = s->xfer;
  s->xfer = nullptr;
  bool ok = x->status == LIBUSB_TRANSFER_COMPLETED && x->actual_length >= 2;
  const unsigned char* d = libusb_control_transfer_get_data(x);
  // A string descriptor: its length (at most what came), type 3, UTF-16LE.
  int n = ok ? std::min<int>(d[0], x->actual_length) : 0;
  ok = ok && d[1] == LIBUSB_DT_STRING && n >= 2;
  if (s->at < 0) {
    // The language list: without one, no string can be asked for.
    bool more = false;
    if (ok && n >= 4) {
      s->language = static_cast<std::uint16_t>(d[2] | d[3] << 8);
      more = ask_next_string(s);
    }
    libusb_free_transfer(x);
    if (!more) ended_reads_.push_back(s);
    return;
  }
  if (ok) {
    // As libusb's ASCII read: what is not ASCII becomes '?'.
    std::string& text = s->strings.text[s->at];
    for (int i = 2; i + 1 < n && text.size() < 127; i += 2)
      text.push_back(static_cast<char>(d[i + 1] == 0 && d[i] < 0x80 ? d[i] : '?'));
  }
  libusb_free_transfer(x);
  // A string that cannot be read stays empty; the others are still asked for.
  if (ask_next_string(s)) return;
  // Its handle cannot be closed inside libusb's callback: the read ends
  // after the event round.
  ended_reads_.push_back(s);
}

void Devices::end_serial_read(SerialRead* s) {
  reading_.erase(s->dev);
  if (s->handle) libusb_close(s->handle);
  // Kept while the device is present: a device that cannot be read is not
  // asked again at every list.
  if (!s->left)
    serials_[s->dev] = s->strings;
  else
    libusb_unref_device(s->dev);
  ++reads_finished_;
  delete s;
}

void Devices::on_device_arrived(libusb_device* dev) { arrived_.push_back(libusb_ref_device(dev)); }

std::vector<Devices::Found> Devices::enumerate(bool* pending) {
  *pending = false;
  std::vector<Found> found;
  if (!ctx_) return found;
  libusb_device** list = nullptr;
  ssize_t n = libusb_get_device_list(ctx_, &list);
  if (n < 0) {
    log_line("error: cannot list USB devices: %s", libusb_error_name(static_cast<int>(n)));
    return found;
  }
  // Serials of devices no longer present are forgotten.
  for (auto it = serials_.begin(); it != serials_.end();) {
    bool present = false;
    for (ssize_t i = 0; i < n; ++i) present = present || list[i] == it->first;
    if (present) {
      ++it;
    } else {
      libusb_unref_device(it->first);
      it = serials_.erase(it);
    }
  }
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(list[i], &desc) != 0) continue;
    libusb_config_descriptor* config = config_of(list[i]);
    if (!config) continue;
    std::vector<const libusb_interface_descriptor*> alts = usbtmc_interfaces(config);
    const std::uint8_t index[3] = {desc.iManufacturer, desc.iProduct, desc.iSerialNumber};
    const Strings* strings = alts.empty() ? nullptr : strings_of(list[i], index);
    if (!alts.empty() && !strings) *pending = true;
    int speed = libusb_get_device_speed(list[i]);
    for (std::size_t k = 0; strings && k < alts.size(); ++k) {
      const libusb_interface_descriptor* alt = alts[k];
      // A composite device's interface other than 0 is named in the path.
      char head[48];
      if (alt->bInterfaceNumber != 0)
        std::snprintf(head, sizeof head, "\\\\?\\usb#vid_%04x&pid_%04x&mi_%02x#", desc.idVendor, desc.idProduct,
                      alt->bInterfaceNumber);
      else
        std::snprintf(head, sizeof head, "\\\\?\\usb#vid_%04x&pid_%04x#", desc.idVendor, desc.idProduct);
      const std::string& serial = strings->text[2];
      std::string path =
          head + path_safe(reinterpret_cast<const unsigned char*>(serial.data()), static_cast<int>(serial.size())) +
          "#" + kInterfaceGuid;
      Endpoints e = endpoints_of(alt);
      Found f{libusb_ref_device(list[i]), alt->bInterfaceNumber, path, k == 0, {}, strings};
      const std::uint32_t fields[12] = {desc.idVendor,     desc.idProduct,     desc.bcdDevice,
                                        alt->bInterfaceNumber, alt->bInterfaceProtocol, e.out,
                                        e.in,              e.interrupt,        e.out_packet,
                                        e.in_packet,       e.interrupt_packet,
                                        static_cast<std::uint32_t>(speed > 4 ? 4 : speed < 0 ? 0 : speed)};
      std::memcpy(f.fields, fields, sizeof fields);
      found.push_back(f);
    }
    libusb_free_config_descriptor(config);
  }
  libusb_free_device_list(list, 1);
  // A stable order, whatever order libusb learnt of the devices in.
  std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    int ba = libusb_get_bus_number(a.dev), bb = libusb_get_bus_number(b.dev);
    if (ba != bb) return ba < bb;
    return libusb_get_device_address(a.dev) < libusb_get_device_address(b.dev);
  });
  return found;
}

bool Devices::list(std::vector<std::string>& paths, bool may_wait) {
  bool pending = false;
  std::vector<Found> found = enumerate(&pending);
  for (Found& f : found) {
    if (f.first) paths.push_back(f.path);
    libusb_unref_device(f.dev);
  }
  return !(pending && may_wait);
}

bool Devices::describe(std::vector<std::uint8_t>& reply, bool may_wait) {
  bool pending = false;
  std::vector<Found> found = enumerate(&pending);
  reply.assign(4, 0);
  std::uint32_t count = 0;
  bool full = false;
  for (Found& f : found) {
    std::vector<std::uint8_t> rec(f.path.begin(), f.path.end());
    rec.push_back(0);
    for (std::uint32_t v : f.fields) {
      std::uint8_t b[4];
      put32(b, v);
      rec.insert(rec.end(), b, b + 4);
    }
    for (const std::string& t : f.strings->text) {
      std::string safe = text_safe(t);
      rec.insert(rec.end(), safe.begin(), safe.end());
      rec.push_back(0);
    }
    libusb_unref_device(f.dev);
    if (full || reply.size() + rec.size() > 65536) {
      full = true;  // the rest does not fit in a frame
      continue;
    }
    reply.insert(reply.end(), rec.begin(), rec.end());
    ++count;
  }
  put32(reply.data(), count);
  return !(pending && may_wait);
}

Devices::Opened Devices::open(Client* c, const std::string& path, bool may_wait) {
  Device* d = nullptr;
  for (Device* e : devices_)
    if (!e->gone && e->path == path) d = e;
  if (!d) {
    if (!ctx_) {
      log_line("error: cannot open %s: no USB on this machine", path.c_str());
      return Opened::no;
    }
    bool pending = false;
    std::vector<Found> found = enumerate(&pending);
    const Found* f = nullptr;
    for (const Found& e : found)
      if (!f && e.path == path) f = &e;
    if (!f && pending && may_wait) {
      for (Found& e : found) libusb_unref_device(e.dev);
      return Opened::wait;  // it may be the device being read
    }
    libusb_device_handle* h = nullptr;
    int rc = f ? libusb_open(f->dev, &h) : LIBUSB_ERROR_NOT_FOUND;
    if (rc == 0) {
      d = new Device;
      d->owner = this;
      d->dev = libusb_ref_device(f->dev);
      d->handle = h;
      d->path = path;
      d->interface_number = f->interface_number;
      if (libusb_config_descriptor* config = config_of(f->dev)) {
        // The interface the path names.
        for (const libusb_interface_descriptor* alt : usbtmc_interfaces(config)) {
          if (alt->bInterfaceNumber != f->interface_number) continue;
          Endpoints e = endpoints_of(alt);
          d->ep_in = e.in;
          d->ep_out = e.out;
          if (e.in_packet) d->packet_in = e.in_packet;
          d->ep_interrupt = e.interrupt;
          d->packet_interrupt = e.interrupt_packet ? e.interrupt_packet : 64;
        }
        libusb_free_config_descriptor(config);
      }
      if (!d->ep_in || !d->ep_out) {
        rc = LIBUSB_ERROR_NOT_SUPPORTED;
      } else {
        if (libusb_kernel_driver_active(h, d->interface_number) == 1) {
          rc = libusb_detach_kernel_driver(h, d->interface_number);
          d->driver_detached = rc == 0;
          if (rc == 0) log_line("took %s from the kernel's driver", path.c_str());
        }
        if (rc == 0) rc = libusb_claim_interface(h, d->interface_number);
      }
      if (rc != 0) {
        if (d->driver_detached) libusb_attach_kernel_driver(h, d->interface_number);
        libusb_close(h);
        libusb_unref_device(d->dev);
        delete d;
        d = nullptr;
      } else {
        devices_.push_back(d);
      }
    }
    for (Found& e : found) libusb_unref_device(e.dev);
    if (!d) {
      log_line("error: cannot open %s: %s", path.c_str(),
               rc == LIBUSB_ERROR_NOT_SUPPORTED ? "no bulk in and out endpoints" : libusb_error_name(rc));
      return Opened::no;
    }
  }
  d->clients.push_back(c);
  c->device = d;
  log_line("open %s (connection %llu)", path.c_str(), static_cast<unsigned long long>(c->number));
  arm_interrupt(d);
  return Opened::yes;
}

void Devices::arm_interrupt(Device* d) {
  if (!d->ep_interrupt || d->interrupt || d->interrupt_failed || d->gone || d->clients.empty()) return;
  d->interrupt_buf.assign(d->packet_interrupt, 0);
  libusb_transfer* x = libusb_alloc_transfer(0);
  int rc = LIBUSB_ERROR_NO_MEM;
  if (x) {
    libusb_fill_interrupt_transfer(x, d->handle, d->ep_interrupt, d->interrupt_buf.data(),
                                   static_cast<int>(d->interrupt_buf.size()), interrupt_callback, d, 0);
    rc = libusb_submit_transfer(x);
  }
  if (rc != 0) {
    if (x) libusb_free_transfer(x);
    if (rc == LIBUSB_ERROR_NO_DEVICE) {
      unplugged(d);
    } else {
      log_line("error: %s: interrupt in not started: %s", d->path.c_str(), libusb_error_name(rc));
      d->interrupt_failed = true;
    }
    serve_interrupt(d);
    return;
  }
  d->interrupt = x;
  d->interrupt_cancelling = false;
}

void Devices::on_interrupt_done(Device* d) {
  libusb_transfer* x = d->interrupt;
  d->interrupt = nullptr;
  libusb_transfer_status status = x->status;
  if (status == LIBUSB_TRANSFER_COMPLETED && x->actual_length > 0) {
    // A copy for every connection, into the queue of its kind.
    std::vector<std::uint8_t> note(x->buffer, x->buffer + x->actual_length);
    int kind = note[0] == 0x81 ? 1 : 0;
    for (Client* c : d->clients) {
      auto& q = c->notes[kind];
      if (q.size() >= kMaxNotes) {
        q.pop_front();
        if (c->notes_dropped++ == 0)
          log_line("%s: connection %llu does not read its notifications; the oldest are dropped", d->path.c_str(),
                   static_cast<unsigned long long>(c->number));
      }
      q.push_back(note);
    }
  }
  libusb_free_transfer(x);
  if (status == LIBUSB_TRANSFER_NO_DEVICE) {
    unplugged(d);
  } else if (status != LIBUSB_TRANSFER_COMPLETED && status != LIBUSB_TRANSFER_CANCELLED) {
    // Not asked again: a stalled endpoint would answer at once, for ever.
    log_line("error: %s: interrupt in failed: %s", d->path.c_str(), libusb_error_name(status));
    d->interrupt_failed = true;
  }
  serve_interrupt(d);
  // Cancelled when its last client left: asked again if one came meanwhile.
  if (!stopping_ && (status == LIBUSB_TRANSFER_COMPLETED || status == LIBUSB_TRANSFER_CANCELLED)) arm_interrupt(d);
}

// Completes the kind 20 transfers whose queue has a notification, and fails
// them all once the endpoint has failed or the device is gone.
void Devices::serve_interrupt(Device* d) {
  std::vector<Transfer*> waiting;
  waiting.swap(d->interrupt_waiting);
  for (Transfer* t : waiting) {
    auto& q = t->client->notes[t->code];
    if (!q.empty()) {
      std::vector<std::uint8_t> note = std::move(q.front());
      q.pop_front();
      std::uint32_t n = std::min<std::uint32_t>(static_cast<std::uint32_t>(note.size()), t->out_length);
      complete(t, kDone, n, note.data());
    } else if (d->interrupt_failed || d->gone) {
      complete(t, kFailed, 0, nullptr);
    } else {
      d->interrupt_waiting.push_back(t);
    }
  }
}

void Devices::complete(Transfer* t, std::uint32_t result, std::uint32_t count, const std::uint8_t* data) {
  if (t->client) {
    std::uint8_t head[12];
    put32(head, t->id);
    put32(head + 4, result);
    put32(head + 8, count);
    t->client->transfers.erase(t->id);
    if (sink_) sink_->send_frame(t->client, head, sizeof head, data, data ? count : 0);
  }
  delete t;
}

// A message header at the start of the held bytes: from it, where the
// payload ends and how many zeros align it to 4 bytes.
void track_header(Device* d) {
  std::size_t avail = d->held.size() - d->held_at;
  const std::uint8_t* p = d->held.data() + d->held_at;
  if (d->msg_left == 0 && d->pad_left == 0 && avail >= 12 && (p[0] == kDevDepMsgIn || p[0] == kVendorSpecificIn)) {
    std::uint32_t size = get32(p + 4);
    if (size <= kMaxTrackedMessage) {
      d->msg_left = 12 + size;
      d->pad_left = (4 - d->msg_left % 4) % 4;
    }
  }
}

bool Devices::hand_over(Device* d, Transfer* t) {
  track_header(d);
  std::size_t avail = d->held.size() - d->held_at;
  const std::uint8_t* p = d->held.data() + d->held_at;
  std::size_t n = std::min<std::size_t>(avail, t->out_length);
  std::vector<std::uint8_t> out(p, p + n);
  std::size_t in_msg = std::min<std::size_t>(n, d->msg_left);
  if (d->msg_left > 0 && in_msg == d->msg_left)
    d->at_start = true;
  else if (d->msg_left == 0 && n > 0)
    d->at_start = false;
  d->msg_left -= static_cast<std::uint32_t>(in_msg);
  std::size_t beyond = n - in_msg;
  d->pad_left -= static_cast<std::uint32_t>(std::min<std::size_t>(beyond, d->pad_left));
  d->held_at += n;
  // The payload is all handed over: its alignment zeros are not handed again.
  if (d->msg_left == 0)
    while (d->pad_left > 0 && d->held_at < d->held.size() && d->held[d->held_at] == 0) {
      ++d->held_at;
      --d->pad_left;
    }
  if (d->held_at >= d->held.size()) {
    d->held.clear();
    d->held_at = 0;
  }
  complete(t, kDone, static_cast<std::uint32_t>(n), out.data());
  return true;
}

void Devices::take_device_bytes(Device* d, const std::uint8_t* data, std::size_t n) {
  std::size_t i = 0;
  // Zeros of the last message that came in a transfer of their own.
  if (d->msg_left == 0)
    while (d->pad_left > 0 && i < n && data[i] == 0) {
      ++i;
      --d->pad_left;
    }
  if (i < n && d->msg_left == 0 && d->held.size() == d->held_at) d->pad_left = 0;
  // Appended: a bulk in may take a message in two device transfers.
  if (d->held_at > 0) {
    d->held.erase(d->held.begin(), d->held.begin() + static_cast<std::ptrdiff_t>(d->held_at));
    d->held_at = 0;
  }
  d->held.insert(d->held.end(), data + i, data + n);
  track_header(d);
}

// The device bytes a bulk in for t asks for. At the start of a message one
// packet, for its header; then the rest of the message as far as t wants
// it, so that a message ending on a packet boundary without a short packet
// still ends the transfer.
std::size_t Devices::bulk_in_size(Device* d, Transfer* t) const {
  std::size_t packet = d->packet_in, have = d->held.size() - d->held_at;
  std::size_t want = t->out_length > have ? t->out_length - have : 0;
  std::size_t size = (want + packet - 1) / packet * packet;
  if (d->at_start && d->msg_left == 0 && d->pad_left == 0 && have == 0) return std::min(size, packet);
  if (d->msg_left > 0) {
    std::size_t rest = static_cast<std::size_t>(d->msg_left) + d->pad_left;
    rest = rest > have ? rest - have : 0;
    size = std::min(size, (rest + packet - 1) / packet * packet);
  }
  return size;
}

void Devices::start_bulk_in(Device* d) {
  while (!d->bulk_in.empty()) {
    Transfer* t = d->bulk_in.front();
    if (t->xfer) return;  // the device is busy with it
    d->bulk_in.pop_front();
    if (!t->client) {
      delete t;
      continue;
    }
    if (!d->held.empty() && (!t->more || bulk_in_size(d, t) == 0)) {
      hand_over(d, t);
      continue;
    }
    if (d->gone) {
      complete(t, kFailed, 0, nullptr);
      continue;
    }
    if (t->out_length == 0) {
      complete(t, kDone, 0, nullptr);
      continue;
    }
    // Whole packets: a device may always send a full one, and less room
    // than that is an overflow on a real bus.
    std::size_t size = bulk_in_size(d, t);
    t->buf.assign(size, 0);
    libusb_transfer* x = libusb_alloc_transfer(0);
    int rc = LIBUSB_ERROR_NO_MEM;
    if (x) {
      libusb_fill_bulk_transfer(x, d->handle, d->ep_in, t->buf.data(), static_cast<int>(size), transfer_callback, t, 0);
      rc = libusb_submit_transfer(x);
    }
    if (rc != 0) {
      if (x) libusb_free_transfer(x);
      if (rc == LIBUSB_ERROR_NO_DEVICE)
        unplugged(d);
      else
        log_line("error: %s: bulk in not started: %s", d->path.c_str(), libusb_error_name(rc));
      complete(t, kFailed, 0, nullptr);
      continue;
    }
    t->xfer = x;
    d->flying.insert(t);
    d->bulk_in.push_front(t);
    return;
  }
}

void Devices::on_transfer_done(Transfer* t) {
  libusb_transfer* x = t->xfer;
  t->xfer = nullptr;
  Device* d = t->device;
  d->flying.erase(t);
  libusb_transfer_status status = x->status;
  int actual = x->actual_length;
  if (status == LIBUSB_TRANSFER_NO_DEVICE) unplugged(d);
  std::uint32_t result = status == LIBUSB_TRANSFER_COMPLETED                    ? kDone
                         : status == LIBUSB_TRANSFER_CANCELLED || t->cancelling ? kCancelled
                                                                                : kFailed;
  if (status != LIBUSB_TRANSFER_COMPLETED && status != LIBUSB_TRANSFER_CANCELLED && status != LIBUSB_TRANSFER_NO_DEVICE)
    log_line("error: %s: transfer failed: %s", d->path.c_str(), libusb_error_name(status));
  if (t->kind == kBulkIn) {
    if (!d->bulk_in.empty() && d->bulk_in.front() == t) d->bulk_in.pop_front();
    bool data = actual > 0 && (status == LIBUSB_TRANSFER_COMPLETED || status == LIBUSB_TRANSFER_CANCELLED);
    // Bytes that arrived for a transfer the client cancelled (or left) stay
    // for the device's next bulk in; a clear's abort drops them.
    if (data && !t->discard) take_device_bytes(d, t->buf.data(), static_cast<std::size_t>(actual));
    libusb_free_transfer(x);
    if (result == kDone && !t->cancelling && t->client) {
      // A full transfer that ended inside a message the client wants more
      // of: the rest follows in a transfer sized to the message's end.
      t->more = data && static_cast<std::size_t>(actual) == t->buf.size() && d->held.size() > d->held_at &&
                bulk_in_size(d, t) > 0 && d->msg_left > d->held.size() - d->held_at;
      if (d->held.empty() || t->more) {
        // Only alignment zeros, a zero-length packet (a message's end or a
        // stray one), or the first part of a message came: ask again. The
        // library never sees a transfer of no bytes.
        d->bulk_in.push_front(t);
      } else {
        hand_over(d, t);
      }
    } else {
      complete(t, result == kDone ? kCancelled : result, 0, nullptr);
    }
    start_bulk_in(d);
  } else if (t->kind == kBulkOut) {
    libusb_free_transfer(x);
    complete(t, result, static_cast<std::uint32_t>(actual), nullptr);
  } else {
    std::uint32_t count =
        result == kDone ? std::min<std::uint32_t>(static_cast<std::uint32_t>(actual), t->out_length) : 0;
    std::vector<std::uint8_t> out(libusb_control_transfer_get_data(x), libusb_control_transfer_get_data(x) + count);
    libusb_free_transfer(x);
    complete(t, result, count, out.data());
  }
  finish_pre_clears(d);
}

void Devices::abort_bulk(Device* d) {
  for (Transfer* t : d->flying)
    if (t->kind != kIoctl && !t->cancelling) {
      t->cancelling = true;
      t->discard = true;
      libusb_cancel_transfer(t->xfer);
    }
  std::deque<Transfer*> waiting;
  waiting.swap(d->bulk_in);
  for (Transfer* t : waiting) {
    if (t->xfer)
      d->bulk_in.push_back(t);
    else
      complete(t, kCancelled, 0, nullptr);
  }
  d->held.clear();
  d->held_at = 0;
  d->msg_left = d->pad_left = 0;
  d->at_start = true;
}

void Devices::finish_pre_clears(Device* d) {
  for (Transfer* t : d->flying)
    if (t->kind != kIoctl) return;
  std::vector<Transfer*> done;
  done.swap(d->pre_clears);
  for (Transfer* t : done) complete(t, kDone, 0, nullptr);
}

void Devices::ioctl(Device* d, Transfer* t, const Request& r) {
  if (r.code == kPreClear || r.code == kPostClear) {
    if (r.data_length < 4 || get32(r.data) != 4) {
      complete(t, kFailed, 0, nullptr);
      return;
    }
    if (r.code == kPreClear) {
      // Before the clear handshake: nothing of the old conversation may
      // still be on its way, so every bulk transfer is ended first.
      abort_bulk(d);
      d->pre_clears.push_back(t);
      finish_pre_clears(d);
      return;
    }
    // After it: the device has reset its bulk endpoints; so do we.
    d->held.clear();
    d->held_at = 0;
    d->msg_left = d->pad_left = 0;
    d->at_start = true;
    start_clear_halts(d, t, d->ep_out, d->ep_in);
    return;
  }
  if (r.code != kControlRequest || r.data_length < 24) {
    complete(t, kFailed, 0, nullptr);
    return;
  }
  const std::uint8_t* rec = r.data;
  std::uint8_t type = rec[0], request = rec[1];
  std::uint16_t value = static_cast<std::uint16_t>(rec[2] | rec[3] << 8);
  std::uint16_t index = static_cast<std::uint16_t>(rec[4] | rec[5] << 8);
  std::uint16_t length = static_cast<std::uint16_t>(rec[6] | rec[7] << 8);
  if (type == LIBUSB_RECIPIENT_ENDPOINT && request == LIBUSB_REQUEST_CLEAR_FEATURE && value == 0) {
    // ENDPOINT_HALT of the bulk endpoints: the one named, else both.
    std::uint8_t ep = static_cast<std::uint8_t>(index);
    start_clear_halts(d, t, ep != d->ep_in ? d->ep_out : 0, ep != d->ep_out ? d->ep_in : 0);
    return;
  }
  if ((type & 0x7F) == (LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE))
    index = static_cast<std::uint16_t>(d->interface_number);
  bool in = (type & LIBUSB_ENDPOINT_IN) != 0;
  if (!in && r.data_length - 24 < length) {
    complete(t, kFailed, 0, nullptr);
    return;
  }
  t->buf.assign(LIBUSB_CONTROL_SETUP_SIZE + length, 0);
  libusb_fill_control_setup(t->buf.data(), type, request, value, index, length);
  if (!in && length > 0) std::memcpy(t->buf.data() + LIBUSB_CONTROL_SETUP_SIZE, rec + 24, length);
  libusb_transfer* x = libusb_alloc_transfer(0);
  int rc = LIBUSB_ERROR_NO_MEM;
  if (x) {
    libusb_fill_control_transfer(x, d->handle, t->buf.data(), transfer_callback, t, kControlTimeoutMs);
    rc = libusb_submit_transfer(x);
  }
  if (rc != 0) {
    if (x) libusb_free_transfer(x);
    if (rc == LIBUSB_ERROR_NO_DEVICE) unplugged(d);
    complete(t, kFailed, 0, nullptr);
    return;
  }
  t->xfer = x;
  d->flying.insert(t);
}

void Devices::start_clear_halts(Device* d, Transfer* t, std::uint8_t ep_a, std::uint8_t ep_b) {
  if (wake_[1] < 0) {
    complete(t, kFailed, 0, nullptr);
    return;
  }
  Job* j = new Job;
  j->device = d;
  j->transfer = t;
  j->handle = d->handle;
  j->eps[0] = ep_a;
  j->eps[1] = ep_b;
  t->job = j;
  ++d->jobs;
  jobs_.push_back(j);
  j->thread = std::thread([this, j] {
    int rc = 0;
    for (std::uint8_t ep : j->eps)
      if (ep && rc == 0) rc = libusb_clear_halt(j->handle, ep);
    std::lock_guard<std::mutex> lock(finished_mutex_);
    j->rc = rc;
    finished_.push_back(j);
    char byte = 1;
    (void)!::write(wake_[1], &byte, 1);
  });
}

void Devices::finish_jobs() {
  if (wake_[0] < 0) return;
  char buf[64];
  while (::read(wake_[0], buf, sizeof buf) > 0) {
  }
  std::vector<Job*> done;
  {
    std::lock_guard<std::mutex> lock(finished_mutex_);
    done.swap(finished_);
  }
  for (Job* j : done) {
    j->thread.join();
    jobs_.erase(std::remove(jobs_.begin(), jobs_.end(), j), jobs_.end());
    Device* d = j->device;
    --d->jobs;
    if (j->rc == LIBUSB_ERROR_NO_DEVICE) unplugged(d);
    if (Transfer* t = j->transfer) {
      t->job = nullptr;
      complete(t, j->rc == 0 ? kDone : kFailed, 0, nullptr);
    }
    delete j;
  }
}

const char* Devices::request(Client* c, const Request& r) {
  Device* d = c->device;
  if (!d) return "no device open";
  if (r.kind == kCancel) {
    auto it = c->transfers.find(r.id);
    if (it == c->transfers.end()) return nullptr;  // completed or unknown: ignored
    Transfer* t = it->second;
    if (t->xfer) {
      if (!t->cancelling) {
        t->cancelling = true;
        libusb_cancel_transfer(t->xfer);
      }
      return nullptr;
    }
    auto q = std::find(d->bulk_in.begin(), d->bulk_in.end(), t);
    if (q != d->bulk_in.end()) d->bulk_in.erase(q);
    auto p = std::find(d->pre_clears.begin(), d->pre_clears.end(), t);
    if (p != d->pre_clears.end()) d->pre_clears.erase(p);
    auto w = std::find(d->interrupt_waiting.begin(), d->interrupt_waiting.end(), t);
    if (w != d->interrupt_waiting.end()) d->interrupt_waiting.erase(w);
    if (t->job) t->job->transfer = nullptr;  // the job runs on; its result is dropped
    complete(t, kCancelled, 0, nullptr);
    return nullptr;
  }
  if (r.kind != kBulkOut && r.kind != kBulkIn && r.kind != kIoctl && r.kind != kInterruptIn)
    return "unknown request kind";
  if (r.id == 0 || c->transfers.count(r.id)) return "transfer id 0 or already in use";
  // The library keeps one outstanding; more would let one connection queue
  // without bound.
  if (!c->transfers.empty()) return "a second transfer while one is outstanding";
  Transfer* t = new Transfer;
  t->owner = this;
  t->client = c;
  t->device = d;
  t->kind = r.kind;
  t->id = r.id;
  // More than a completion can carry is never asked of a device.
  t->out_length = std::min(r.out_length, kMaxCompletionData);
  c->transfers[r.id] = t;
  if (d->gone) {
    complete(t, kFailed, 0, nullptr);
    return nullptr;
  }
  if (r.kind == kBulkIn) {
    d->bulk_in.push_back(t);
    start_bulk_in(d);
    return nullptr;
  }
  if (r.kind == kIoctl) {
    ioctl(d, t, r);
    return nullptr;
  }
  if (r.kind == kInterruptIn) {
    if (!d->ep_interrupt || r.code > 1 || d->interrupt_failed) {
      complete(t, kFailed, 0, nullptr);
      return nullptr;
    }
    t->code = r.code;
    d->interrupt_waiting.push_back(t);
    serve_interrupt(d);
    return nullptr;
  }
  t->buf.assign(r.data, r.data + r.data_length);
  libusb_transfer* x = libusb_alloc_transfer(0);
  int rc = LIBUSB_ERROR_NO_MEM;
  if (x) {
    libusb_fill_bulk_transfer(x, d->handle, d->ep_out, t->buf.data(), static_cast<int>(t->buf.size()),
                              transfer_callback, t, 0);
    rc = libusb_submit_transfer(x);
  }
  if (rc != 0) {
    if (x) libusb_free_transfer(x);
    if (rc == LIBUSB_ERROR_NO_DEVICE) unplugged(d);
    complete(t, kFailed, 0, nullptr);
    return nullptr;
  }
  t->xfer = x;
  d->flying.insert(t);
  return nullptr;
}

void Devices::detach(Client* c) {
  Device* d = c->device;
  if (!d) return;
  for (auto& kv : c->transfers) {
    Transfer* t = kv.second;
    t->client = nullptr;
    if (t->xfer) {
      if (!t->cancelling) {
        t->cancelling = true;
        libusb_cancel_transfer(t->xfer);
      }
      continue;
    }
    auto q = std::find(d->bulk_in.begin(), d->bulk_in.end(), t);
    if (q != d->bulk_in.end()) d->bulk_in.erase(q);
    auto p = std::find(d->pre_clears.begin(), d->pre_clears.end(), t);
    if (p != d->pre_clears.end()) d->pre_clears.erase(p);
    auto w = std::find(d->interrupt_waiting.begin(), d->interrupt_waiting.end(), t);
    if (w != d->interrupt_waiting.end()) d->interrupt_waiting.erase(w);
    if (t->job) t->job->transfer = nullptr;
    delete t;
  }
  c->transfers.clear();
  d->clients.erase(std::remove(d->clients.begin(), d->clients.end(), c), d->clients.end());
  c->device = nullptr;
  // Nobody left to read the interrupt endpoint for.
  if (d->clients.empty() && d->interrupt && !d->interrupt_cancelling) {
    d->interrupt_cancelling = true;
    libusb_cancel_transfer(d->interrupt);
  }
  log_line("close %s (connection %llu)", d->path.c_str(), static_cast<unsigned long long>(c->number));
}

void Devices::unplugged(Device* d) {
  if (d->gone) return;
  d->gone = true;
  log_line("unplug %s", d->path.c_str());
}

void Devices::on_device_left(libusb_device* dev) {
  for (Device* d : devices_)
    if (d->dev == dev) unplugged(d);
  auto r = reading_.find(dev);
  if (r != reading_.end()) r->second->left = true;
  auto s = serials_.find(dev);
  if (s != serials_.end()) {
    libusb_unref_device(s->first);
    serials_.erase(s);
  }
}

void Devices::close_device(Device* d) {
  if (d->handle) {
    libusb_release_interface(d->handle, d->interface_number);
    if (d->driver_detached && !d->gone && libusb_attach_kernel_driver(d->handle, d->interface_number) == 0)
      log_line("gave %s back to the kernel's driver", d->path.c_str());
    libusb_close(d->handle);
  }
  if (d->dev) libusb_unref_device(d->dev);
  delete d;
}

void Devices::end_gone() {
  for (Device* d : devices_) {
    if (!d->gone || d->clients.empty()) continue;
    std::vector<Client*> ended = d->clients;
    for (Client* c : ended)
      if (sink_)
        sink_->drop(c, nullptr);
      else
        detach(c);
  }
}

void Devices::sweep() {
  for (std::size_t i = 0; i < devices_.size();) {
    Device* d = devices_[i];
    if (d->clients.empty() && d->flying.empty() && d->jobs == 0 && !d->interrupt) {
      for (Transfer* t : d->bulk_in) delete t;  // orphans only: a client's would have a client
      for (Transfer* t : d->pre_clears) delete t;
      close_device(d);
      devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

void Devices::add_pollfds(std::vector<pollfd>& fds) {
  if (wake_[0] >= 0) fds.push_back(pollfd{wake_[0], POLLIN, 0});
  if (!ctx_) return;
  const libusb_pollfd** all = libusb_get_pollfds(ctx_);
  if (!all) return;
  for (const libusb_pollfd** p = all; *p; ++p) fds.push_back(pollfd{(*p)->fd, (*p)->events, 0});
  libusb_free_pollfds(all);
}

int Devices::next_timeout_ms(int bound) {
  timeval tv;
  if (!ctx_ || libusb_get_next_timeout(ctx_, &tv) != 1) return bound;
  long ms = tv.tv_sec * 1000 + (tv.tv_usec + 999) / 1000;
  return ms < bound ? static_cast<int>(ms) : bound;
}

void Devices::handle_events(const pollfd*, std::size_t) {
  finish_jobs();
  if (!ctx_) return;
  timeval zero{0, 0};
  libusb_handle_events_timeout_completed(ctx_, &zero, nullptr);
  // Outside libusb's callbacks: reads' handles are closed and opened here.
  std::vector<SerialRead*> ended;
  ended.swap(ended_reads_);
  for (SerialRead* r : ended) end_serial_read(r);
  std::vector<libusb_device*> arrived;
  arrived.swap(arrived_);
  for (libusb_device* dev : arrived) {
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(dev, &desc) == 0 && usbtmc_number(dev) >= 0) {
      const std::uint8_t index[3] = {desc.iManufacturer, desc.iProduct, desc.iSerialNumber};
      if (index[0] || index[1] || index[2]) read_serial(dev, index);
    }
    libusb_unref_device(dev);
  }
}

}  // namespace vxusbd
