// The service loop: clients on the bus socket, their frames, and the devices
// they opened (usb_devices.cpp does the libusb side).
#include "service.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "usb_devices.h"

namespace vxusbd {

namespace {

constexpr std::uint32_t kMaxBody = 65536;
// A client that stops reading its completions is dropped beyond this much
// unsent output rather than stalling the service.
constexpr std::size_t kMaxPendingOutput = 1024 * 1024;
constexpr int kMaxClients = 1024;
// While accept fails for want of descriptors the listener stays readable:
// it is left out of the poll for this long instead of spinning on it.
constexpr int kAcceptBackoffMs = 200;
// A LIST or OPEN waits this long at most for serial numbers being read;
// a device still unread is then left out of that answer.
constexpr int kSerialWaitMs = 1000;

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool set_nonblocking(int fd) {
  int fl = ::fcntl(fd, F_GETFL);
  return fl >= 0 && ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

int bind_socket(const std::string& path) {
  sockaddr_un sa{};
  if (path.empty() || path.size() >= sizeof sa.sun_path) {
    log_line("error: socket path '%s' is empty or too long", path.c_str());
    return -1;
  }
  std::string dir = path.substr(0, path.rfind('/'));
  if (!dir.empty()) ::mkdir(dir.c_str(), 0755);  // may exist already
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    log_line("error: cannot create a socket: %s", std::strerror(errno));
    return -1;
  }
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  ::unlink(path.c_str());  // left by an earlier run
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    log_line("error: cannot listen on %s: %s", path.c_str(), std::strerror(errno));
    ::close(fd);
    return -1;
  }
  // Owner and the group that may use instruments, as the socket unit sets
  // it (where this user may give the socket to that group).
  if (const group* g = ::getgrnam("plugdev")) ::chown(path.c_str(), static_cast<uid_t>(-1), g->gr_gid);
  ::chmod(path.c_str(), 0660);
  return fd;
}

}  // namespace

Service::~Service() {
  for (Client* c : clients_) drop(c, nullptr);
  sweep();
}

void Service::accept_all(int listener) {
  for (int i = 0; i < 64; ++i) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The connection stays in the backlog; until a descriptor is free
        // the listener is not polled.
        accept_paused_until_ = now_ms() + kAcceptBackoffMs;
        if (!short_logged_)
          log_line("error: cannot accept connections: %s; trying again every %d ms", std::strerror(errno),
                   kAcceptBackoffMs);
        short_logged_ = true;
      }
      return;
    }
    short_logged_ = false;
    if (static_cast<int>(clients_.size()) >= kMaxClients) {
      log_line("error: more than %d clients; refusing one", kMaxClients);
      ::close(fd);
      continue;
    }
    add_client(fd);
  }
}

Client* Service::add_client(int fd) {
  Client* c = new Client;
  c->fd = fd;
  c->number = next_number_++;
  c->first_deadline = now_ms() + first_frame_ms_;
  clients_.push_back(c);
  return c;
}

bool Service::listener_wanted() const { return now_ms() >= accept_paused_until_; }

int Service::next_timeout_ms(int bound) const {
  std::int64_t now = now_ms(), next = now + bound;
  if (accept_paused_until_ > now && accept_paused_until_ < next) next = accept_paused_until_;
  for (const Client* c : clients_) {
    if (c->dead || c->first_done) continue;
    std::int64_t due = c->parked ? c->wait_until : c->first_deadline;
    if (due < next) next = due;
  }
  return next <= now ? 0 : static_cast<int>(next - now);
}

void Service::expire() {
  std::int64_t now = now_ms();
  for (Client* c : clients_)
    if (!c->dead && !c->first_done && !c->parked && now >= c->first_deadline) drop(c, "no first frame in time");
}

void Service::resume() {
  std::int64_t now = now_ms();
  for (std::size_t i = 0; i < clients_.size(); ++i) {
    Client* c = clients_[i];
    if (c->dead || !c->parked) continue;
    if (now < c->wait_until && devices_.reads_finished() == c->parked_at_reads) continue;
    c->parked = false;
    take(c, nullptr, 0);  // the parked frame is still in rx
  }
}

void Service::add_pollfds(std::vector<pollfd>& fds) {
  for (Client* c : clients_) {
    short ev = 0;
    if (!c->dead && !c->closing && !c->parked) ev |= POLLIN;
    if (!c->dead && !c->tx.empty()) ev |= POLLOUT;
    fds.push_back(pollfd{c->fd, ev, 0});
  }
}

void Service::on_events(const pollfd* fds, std::size_t n) {
  // The clients' pollfds are in the order of clients_ as add_pollfds made them.
  for (std::size_t i = 0; i < n && i < clients_.size(); ++i) {
    Client* c = clients_[i];
    if (c->dead || fds[i].fd != c->fd) continue;
    if (c->parked) {
      // Not read while parked; a peer that hung up ends it.
      if (fds[i].revents & (POLLHUP | POLLERR)) drop(c, nullptr);
      continue;
    }
    if (fds[i].revents & POLLOUT) write_to(c);
    if (!c->dead && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) read_from(c);
  }
}

void Service::send_frame(Client* c, const std::uint8_t* body, std::size_t n, const std::uint8_t* tail,
                         std::size_t tail_n) {
  if (c->dead) return;
  std::uint8_t len[4];
  put32(len, static_cast<std::uint32_t>(n + tail_n));
  c->tx.insert(c->tx.end(), len, len + 4);
  c->tx.insert(c->tx.end(), body, body + n);
  if (tail_n > 0) c->tx.insert(c->tx.end(), tail, tail + tail_n);
  if (c->tx.size() > kMaxPendingOutput) {
    drop(c, "it does not read its completions");
    return;
  }
  write_to(c);
}

void Service::write_to(Client* c) {
  if (c->fd < 0) return;  // a client without a socket (the fuzzer's) keeps its output
  while (!c->dead && !c->tx.empty()) {
    ssize_t k = ::send(c->fd, c->tx.data(), c->tx.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (k <= 0) {
      drop(c, nullptr);  // the client went away
      return;
    }
    c->tx.erase(c->tx.begin(), c->tx.begin() + k);
  }
  if (!c->dead && c->closing && c->tx.empty()) drop(c, nullptr);
}

void Service::read_from(Client* c) {
  std::uint8_t buf[16384];
  for (int rounds = 0; rounds < 16 && !c->dead && !c->closing && !c->parked; ++rounds) {
    ssize_t k = ::recv(c->fd, buf, sizeof buf, MSG_DONTWAIT);
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (k <= 0) {
      drop(c, nullptr);
      return;
    }
    take(c, buf, static_cast<std::size_t>(k));
  }
}

void Service::take(Client* c, const std::uint8_t* data, std::size_t n) {
  if (c->dead || c->closing || c->parked) return;
  if (n > 0) c->rx.insert(c->rx.end(), data, data + n);
  std::size_t at = 0;
  while (!c->dead && !c->closing && c->rx.size() - at >= 4) {
    std::uint32_t len = get32(&c->rx[at]);
    if (len > kMaxBody) {
      drop(c, "frame longer than 65536 bytes");
      return;
    }
    if (c->rx.size() - at < 4 + static_cast<std::size_t>(len)) break;
    bool ok = on_frame(c, &c->rx[at + 4], len);
    if (c->parked) break;  // the frame is taken up again by resume()
    at += 4 + len;
    if (!ok) return;
  }
  // What is left is less than one frame: at most 65539 bytes per client.
  if (!c->dead) c->rx.erase(c->rx.begin(), c->rx.begin() + static_cast<std::ptrdiff_t>(at));
}

bool Service::on_frame(Client* c, const std::uint8_t* body, std::uint32_t n) {
  if (!c->first_done) {
    std::uint32_t what = n >= 4 ? get32(body) : 0;
    std::int64_t now = now_ms();
    if (c->wait_until == 0) c->wait_until = now + kSerialWaitMs;
    bool may_wait = now < c->wait_until;
    // Parked until the serial numbers being read are known (bounded).
    auto park = [&] {
      c->parked = true;
      c->parked_at_reads = devices_.reads_finished();
      return false;
    };
    if (what == 1 && n == 4) {
      std::vector<std::string> paths;
      if (!devices_.list(paths, may_wait)) return park();
      c->first_done = true;
      std::vector<std::uint8_t> reply(4);
      std::uint32_t count = 0;
      for (const std::string& p : paths) {
        if (reply.size() + p.size() + 1 > kMaxBody) break;  // the rest does not fit in a frame
        reply.insert(reply.end(), p.begin(), p.end());
        reply.push_back(0);
        ++count;
      }
      put32(reply.data(), count);
      send_frame(c, reply.data(), reply.size(), nullptr, 0);
      c->closing = true;
      write_to(c);
      return false;
    }
    if (what == 3 && n == 4) {
      std::vector<std::uint8_t> reply;
      if (!devices_.describe(reply, may_wait)) return park();
      c->first_done = true;
      send_frame(c, reply.data(), reply.size(), nullptr, 0);
      c->closing = true;
      write_to(c);
      return false;
    }
    if (what == 2) {
      std::string path(reinterpret_cast<const char*>(body) + 4, n - 4);
      Devices::Opened how = devices_.open(c, path, may_wait);
      if (how == Devices::Opened::wait) return park();
      c->first_done = true;
      std::uint8_t reply[4];
      bool opened = how == Devices::Opened::yes;
      put32(reply, opened ? 0 : 1);
      send_frame(c, reply, 4, nullptr, 0);
      if (!opened) {
        c->closing = true;
        write_to(c);
        return false;
      }
      return true;
    }
    c->first_done = true;
    drop(c, "first frame is neither LIST nor OPEN");
    return false;
  }
  if (n < 16) {
    drop(c, "transfer request shorter than 16 bytes");
    return false;
  }
  Request r;
  r.kind = get32(body);
  r.id = get32(body + 4);
  r.code = get32(body + 8);
  r.out_length = get32(body + 12);
  r.data = body + 16;
  r.data_length = n - 16;
  const char* why = devices_.request(c, r);
  if (why) {
    drop(c, why);
    return false;
  }
  return true;
}

// Only marks the client: a drop can come from inside a completion, while
// the device layer walks its lists; the client's transfers and the client
// itself are freed in sweep(), outside every such walk.
void Service::drop(Client* c, const char* why) {
  if (c->dead) return;
  if (why) log_line("error: connection %llu: %s; closing it", static_cast<unsigned long long>(c->number), why);
  c->dead = true;
}

void Service::sweep() {
  // Ends the clients of unplugged devices (marks them).
  devices_.end_gone();
  for (std::size_t i = 0; i < clients_.size();) {
    Client* c = clients_[i];
    if (c->dead) {
      devices_.detach(c);
      if (c->fd >= 0) ::close(c->fd);
      delete c;
      clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  devices_.sweep();
}

void put32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::uint32_t get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void log_line(const char* format, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  std::fprintf(stderr, "vxusbd: %s\n", line);
}

int socket_from_systemd() {
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  int fd = -1;
  if (pid && fds && std::strtol(pid, nullptr, 10) == static_cast<long>(::getpid()) &&
      std::strtol(fds, nullptr, 10) >= 1) {
    fd = 3;  // SD_LISTEN_FDS_START
    if (!set_nonblocking(fd)) fd = -1;
  }
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  return fd;
}

int run(const Options& options, const std::atomic<bool>* stop) {
  int listener = options.listen_fd;
  bool own_socket = listener < 0;
  if (own_socket) listener = bind_socket(options.socket_path);
  if (listener < 0) return 1;
  log_line("serving %s", own_socket ? options.socket_path.c_str() : "the socket systemd passed");

  Devices devices;
  devices.start();
  {
    Service service(devices, options.first_frame_ms);
    devices.set_sink(&service);
    std::vector<pollfd> fds;
    while (!stop->load()) {
      if (options.rounds) options.rounds->fetch_add(1, std::memory_order_relaxed);
      fds.clear();
      fds.push_back(pollfd{listener, static_cast<short>(service.listener_wanted() ? POLLIN : 0), 0});
      std::size_t usb_at = fds.size();
      devices.add_pollfds(fds);
      std::size_t clients_at = fds.size();
      service.add_pollfds(fds);
      int timeout = devices.next_timeout_ms(service.next_timeout_ms(100));
      int r = ::poll(fds.data(), fds.size(), timeout);
      if (r < 0 && errno != EINTR) {
        log_line("error: poll: %s", std::strerror(errno));
        break;
      }
      if (r > 0 && (fds[0].revents & POLLIN)) service.accept_all(listener);
      devices.handle_events(&fds[usb_at], clients_at - usb_at);
      if (r > 0) service.on_events(&fds[clients_at], fds.size() - clients_at);
      service.resume();
      service.expire();
      service.sweep();
    }
    devices.set_sink(nullptr);
  }
  devices.stop();
  if (own_socket) {
    ::close(listener);
    ::unlink(options.socket_path.c_str());
  }
  log_line("stopped");
  return 0;
}

}  // namespace vxusbd
