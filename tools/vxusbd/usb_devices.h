// The libusb side of vxusbd: enumeration into bus paths, the devices opened
// by clients (one handle per device, shared by its connections), and the
// transfers on them.
#ifndef VXUSBD_USB_DEVICES_H
#define VXUSBD_USB_DEVICES_H

#include <poll.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct libusb_context;
struct libusb_device;

namespace vxusbd {

void put32(std::uint8_t* p, std::uint32_t v);
std::uint32_t get32(const std::uint8_t* p);
// One line on stderr, "vxusbd: " and the text.
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

struct Transfer;
struct Device;
struct Job;
struct SerialRead;

// A client connection of the bus socket.
struct Client {
  int fd = -1;
  std::uint64_t number = 0;
  std::vector<std::uint8_t> rx, tx;
  bool first_done = false;
  bool closing = false;  // close once tx is sent
  bool dead = false;     // closed; removed at the next sweep
  std::int64_t first_deadline = 0;  // steady ms by which the first frame is due
  // A LIST or OPEN waiting for serial numbers being read (the frame stays
  // in rx, nothing more is read meanwhile), until wait_until at most.
  bool parked = false;
  std::int64_t wait_until = 0;
  std::uint64_t parked_at_reads = 0;  // Devices::reads_finished() when parked
  Device* device = nullptr;
  std::map<std::uint32_t, Transfer*> transfers;  // outstanding, by id
  // Notifications of the device's interrupt-IN endpoint not yet handed
  // over: not service requests (0), service requests (1), kMaxNotes each.
  std::deque<std::vector<std::uint8_t>> notes[2];
  std::uint64_t notes_dropped = 0;
};
inline constexpr std::size_t kMaxNotes = 16;

// A transfer request of an open connection.
struct Request {
  std::uint32_t kind, id, code, out_length;
  const std::uint8_t* data;
  std::uint32_t data_length;
};

// How completions reach the clients.
class ClientSink {
 public:
  virtual ~ClientSink() = default;
  virtual void send_frame(Client* c, const std::uint8_t* body, std::size_t n, const std::uint8_t* tail,
                          std::size_t tail_n) = 0;
  virtual void drop(Client* c, const char* why) = 0;
};

class Devices {
 public:
  Devices() = default;
  Devices(const Devices&) = delete;
  Devices& operator=(const Devices&) = delete;
  ~Devices();

  // Starts libusb; without usbfs the service goes on with no devices and
  // says why.
  void start();
  // Cancels what is in flight, gives every device back, ends libusb.
  void stop();
  void set_sink(ClientSink* sink) { sink_ = sink; }

  // The bus paths; false (may_wait) while a listed device's serial number
  // is still being read. Without may_wait those devices are left out.
  bool list(std::vector<std::string>& paths, bool may_wait);
  // The DESCRIBE reply (a whole frame body: count and records), as list.
  bool describe(std::vector<std::uint8_t>& reply, bool may_wait);
  // Opens the device with this path for the client (sharing the handle);
  // wait: not found while serial numbers are still being read (may_wait).
  enum class Opened { yes, no, wait };
  Opened open(Client* c, const std::string& path, bool may_wait);
  // Counts serial-number reads ended: parked first frames are tried again
  // when it moves.
  std::uint64_t reads_finished() const { return reads_finished_; }
  // A request of an open connection; an error text closes the connection.
  const char* request(Client* c, const Request& r);
  // The client is gone: its transfers are cancelled, its handle freed.
  void detach(Client* c);

  void add_pollfds(std::vector<pollfd>& fds);
  int next_timeout_ms(int bound);
  void handle_events(const pollfd* fds, std::size_t n);
  // Drops (marks) the connections of unplugged devices.
  void end_gone();
  // Closes devices nobody uses; after the service freed its dead clients.
  void sweep();

  // libusb's callbacks.
  void on_transfer_done(Transfer* t);
  void on_device_left(libusb_device* dev);
  void on_device_arrived(libusb_device* dev);
  void on_serial_done(SerialRead* s);
  void on_interrupt_done(Device* d);

  // A device's manufacturer, product and serial strings (ASCII, what is
  // not ASCII as '?'; empty when absent or unreadable).
  struct Strings {
    std::string text[3];
  };

 private:
  // One USBTMC interface of a present device.
  struct Found {
    libusb_device* dev;
    int interface_number;
    std::string path;
    bool first;  // the device's first USBTMC interface (LIST shows only these)
    std::uint32_t fields[12];  // as DESCRIBE sends them
    const Strings* strings;
  };
  // Devices whose strings are still being read are left out (and
  // *pending set).
  std::vector<Found> enumerate(bool* pending);
  // The strings, or null while they are read (the read is started).
  const Strings* strings_of(libusb_device* dev, const std::uint8_t index[3]);
  void read_serial(libusb_device* dev, const std::uint8_t index[3]);
  bool ask_next_string(SerialRead* s);
  void arm_interrupt(Device* d);
  void serve_interrupt(Device* d);
  bool ask_string(SerialRead* s, std::uint8_t index, std::uint16_t language);
  void end_serial_read(SerialRead* s);
  void complete(Transfer* t, std::uint32_t result, std::uint32_t count, const std::uint8_t* data);
  void start_bulk_in(Device* d);
  std::size_t bulk_in_size(Device* d, Transfer* t) const;
  bool hand_over(Device* d, Transfer* t);
  void take_device_bytes(Device* d, const std::uint8_t* data, std::size_t n);
  void ioctl(Device* d, Transfer* t, const Request& r);
  void abort_bulk(Device* d);
  void finish_pre_clears(Device* d);
  void unplugged(Device* d);
  void close_device(Device* d);
  // Clears the halt of these endpoints on a thread of its own (the kernel
  // waits for the device's answer); t completes when it is done.
  void start_clear_halts(Device* d, Transfer* t, std::uint8_t ep_a, std::uint8_t ep_b);
  void finish_jobs();

  libusb_context* ctx_ = nullptr;
  ClientSink* sink_ = nullptr;
  std::vector<Device*> devices_;
  // Serial numbers already read, per present device, and the reads under
  // way (asynchronous control transfers on a handle of their own: a slow
  // device holds up nobody). A device is referenced while in either table.
  std::map<libusb_device*, Strings> serials_;
  std::map<libusb_device*, SerialRead*> reading_;
  std::vector<libusb_device*> arrived_;  // referenced; their reads start in handle_events
  std::vector<SerialRead*> ended_reads_;  // answered; closed in handle_events
  std::uint64_t reads_finished_ = 0;
  bool stopping_ = false;  // no interrupt transfer is submitted again
  int hotplug_ = 0;
  bool have_hotplug_ = false;
  // Blocking requests running on their threads, those finished (handed
  // over under the mutex), and the pipe that wakes the poll for them.
  std::vector<Job*> jobs_;
  std::mutex finished_mutex_;
  std::vector<Job*> finished_;
  int wake_[2] = {-1, -1};
};

}  // namespace vxusbd

#endif
