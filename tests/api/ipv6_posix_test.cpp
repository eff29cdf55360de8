// Hosts beyond dotted IPv4 on the LAN routes: IPv6 literals and a fully
// qualified name with its final dot open on SOCKET, VXI-11 and HiSLIP. The simulator listens on IPv4 only, so a relay of the test's
// own carries [::1] (and 127.0.0.1's SOCKET port) to the instrument on
// 127.0.0.2, port for port: portmapper, VXI-11 core and abort channels
// (the simulator's 1024 and 1025), HiSLIP, SOCKET.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "api_util.h"

namespace {

struct Relay {
  std::atomic<bool> stop{false};
  std::mutex m;
  std::vector<std::thread> threads;
  std::vector<int> fds;

  ~Relay() {
    stop = true;
    for (;;) {
      std::thread t;
      {
        std::lock_guard<std::mutex> hold(m);
        if (threads.empty()) break;
        t = std::move(threads.back());
        threads.pop_back();
      }
      t.join();
    }
    for (int fd : fds) close(fd);
  }

  void start(std::function<void()> f) {
    std::lock_guard<std::mutex> hold(m);
    threads.emplace_back(std::move(f));
  }

  int keep(int fd) {
    std::lock_guard<std::mutex> hold(m);
    fds.push_back(fd);
    return fd;
  }

  bool listen_on(const char* ip, uint16_t port) {
    sockaddr_storage ss{};
    socklen_t len;
    if (strchr(ip, ':')) {
      auto* sa = reinterpret_cast<sockaddr_in6*>(&ss);
      sa->sin6_family = AF_INET6;
      sa->sin6_port = htons(port);
      inet_pton(AF_INET6, ip, &sa->sin6_addr);
      len = sizeof *sa;
    } else {
      auto* sa = reinterpret_cast<sockaddr_in*>(&ss);
      sa->sin_family = AF_INET;
      sa->sin_port = htons(port);
      inet_pton(AF_INET, ip, &sa->sin_addr);
      len = sizeof *sa;
    }
    int fd = keep(socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 16) != 0) return false;
    start([this, fd, port] { serve(fd, port); });
    return true;
  }

  void serve(int listener, uint16_t port) {
    while (!stop) {
      pollfd p{listener, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int client = accept(listener, nullptr, nullptr);
      if (client < 0) continue;
      keep(client);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_port = htons(port);
      inet_pton(AF_INET, sim_addr().c_str(), &sa.sin_addr);
      int server = keep(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (connect(server, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        shutdown(client, SHUT_RDWR);
        continue;
      }
      start([this, client, server] { pump(client, server); });
    }
  }

  // Bytes both ways until either side ends or the relay stops.
  void pump(int a, int b) {
    char buf[65536];
    while (!stop) {
      pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
      if (poll(p, 2, 50) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!p[i].revents) continue;
        const int from = i == 0 ? a : b, to = i == 0 ? b : a;
        ssize_t n = recv(from, buf, sizeof buf, 0);
        for (ssize_t at = 0; n > 0 && at < n;) {
          ssize_t sent = send(to, buf + at, (size_t)(n - at), MSG_NOSIGNAL);
          if (sent <= 0) {
            n = -1;
            break;
          }
          at += sent;
        }
        if (n <= 0) {
          shutdown(a, SHUT_RDWR);
          shutdown(b, SHUT_RDWR);
          return;
        }
      }
    }
  }
};

TEST(Ipv6Host, LiteralsAndFinalDotsOpenOnEveryLanRoute) {
  Relay relay;
  for (uint16_t port : {111, 1024, 1025, 4880, 5025}) ASSERT_TRUE(relay.listen_on("::1", port)) << port;
  ASSERT_TRUE(relay.listen_on("127.0.0.1", 5025));
  vx_comm_freeVisa();  // native names open only without a VISA library
  const char* names[] = {
      "TCPIP0::[::1]::5025::SOCKET",
      "TCPIP0::[::1]::inst0::INSTR",
      "TCPIP0::[::1]::hislip0::INSTR",
      "TCPIP0::localhost.::5025::SOCKET",
  };
  for (const char* name : names) {
    SCOPED_TRACE(name);
    ViInt32 id = open_link(name);
    ASSERT_GT(id, 0);
    EXPECT_EQ(0u, query(id, "*IDN?").rfind("VXSIM,", 0));
    if (strstr(name, "::inst0::") != nullptr) {
      // create_intr_chan names the host by an IPv4 address only.
      EXPECT_EQ(VI_ERROR_NSUP_OPER, vx_comm_enableSrq(id, 1));
    }
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  }
}

}  // namespace
