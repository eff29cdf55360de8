// vxusbd: the USB bus service for real USBTMC instruments (docs/guide/usb_bus.md
// has the protocol, docs/design.md "vxusbd" the design). The whole service
// runs on one thread: the listening socket, the clients and libusb's event
// sources share one poll loop, so libusb's completion callbacks run on the
// same thread as everything else and nothing needs a lock.
#ifndef VXUSBD_SERVICE_H
#define VXUSBD_SERVICE_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "usb_devices.h"
#include "vx_comm.h"  // VX_COMM_VERSION: one release number for the library and its tools

namespace vxusbd {

inline constexpr const char* kDefaultSocket = "/run/vx_comm_lib/usb.sock";
inline constexpr const char* kVersion = VX_COMM_VERSION;

struct Options {
  std::string socket_path = kDefaultSocket;
  int listen_fd = -1;  // a socket handed over by systemd; else socket_path is bound
  // A connection that has not sent its first frame by then is closed.
  int first_frame_ms = 5000;
  // Counts the poll loop's rounds (for the tests: a loop that spins shows).
  std::atomic<std::uint64_t>* rounds = nullptr;
};

// The clients and their frames, over the device layer. run() drives it
// from the poll loop; the fuzzer feeds it bytes directly (take()).
class Service : public ClientSink {
 public:
  Service(Devices& devices, int first_frame_ms) : devices_(devices), first_frame_ms_(first_frame_ms) {}
  ~Service() override;
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  void accept_all(int listener);
  // A connection on fd (-1: none, its output stays in tx).
  Client* add_client(int fd);
  void add_pollfds(std::vector<pollfd>& fds);
  void on_events(const pollfd* fds, std::size_t n);
  // Bytes a client sent: its frames are read and dispatched.
  void take(Client* c, const std::uint8_t* data, std::size_t n);
  // Whether the listener is polled (not while descriptors are short).
  bool listener_wanted() const;
  int next_timeout_ms(int bound) const;
  // Closes connections whose first frame is overdue.
  void expire();
  // Takes up the LISTs and OPENs parked for serial numbers, once read or
  // waited for long enough.
  void resume();
  // Frees what was dropped: the only place clients are freed.
  void sweep();
  const std::vector<Client*>& clients() const { return clients_; }

  // ClientSink
  void send_frame(Client* c, const std::uint8_t* body, std::size_t n, const std::uint8_t* tail,
                  std::size_t tail_n) override;
  void drop(Client* c, const char* why) override;

 private:
  void read_from(Client* c);
  void write_to(Client* c);
  bool on_frame(Client* c, const std::uint8_t* body, std::uint32_t n);

  Devices& devices_;
  int first_frame_ms_;
  std::vector<Client*> clients_;
  std::uint64_t next_number_ = 1;
  std::int64_t accept_paused_until_ = 0;
  bool short_logged_ = false;
};

// Serves until *stop becomes true (looked at least every 100 ms). Returns
// the process exit status: 0 after a stop, 1 when the socket cannot be had.
int run(const Options& options, const std::atomic<bool>* stop);

// The socket systemd passed (LISTEN_PID/LISTEN_FDS, the first one is fd 3),
// or -1; the variables are removed so that children do not see them.
int socket_from_systemd();

}  // namespace vxusbd

#endif
