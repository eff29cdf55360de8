// POSIX side of the tool's own system calls (system.h).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "system.h"

bool vxcomm_resolve_ipv4(const std::string& host, std::string* dotted, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0 || !list) {
    *error = rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc);
    return false;
  }
  char text[INET_ADDRSTRLEN] = "";
  sockaddr_in sa;
  memcpy(&sa, list->ai_addr, sizeof sa);
  inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
  freeaddrinfo(list);
  *dotted = text;
  return true;
}

VxcommConnect vxcomm_connect_within(const std::string& dotted, unsigned port, int ms, std::string* error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = strerror(errno);
    return kConnectFailed;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons((uint16_t)port);
  inet_pton(AF_INET, dotted.c_str(), &sa.sin_addr);
  VxcommConnect result = kConnectMade;
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno != EINPROGRESS) {
      *error = strerror(errno);
      result = kConnectFailed;
    } else {
      const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
      pollfd p{fd, POLLOUT, 0};
      int ready = 0;
      for (int tries = 0; tries < 1000; ++tries) {  // EINTR only
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        ready = poll(&p, 1, left.count() > 0 ? (int)left.count() : 0);
        if (ready >= 0 || errno != EINTR) break;
      }
      int err = 0;
      socklen_t len = sizeof err;
      if (ready == 0) {
        result = kConnectNoAnswer;
      } else if (ready < 0) {
        *error = strerror(errno);
        result = kConnectFailed;
      } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        *error = strerror(err ? err : errno);
        result = kConnectFailed;
      }
    }
  }
  close(fd);
  return result;
}

FILE* vxcomm_create_beside(const std::string& target, std::string* temp, std::string* error) {
  std::vector<char> name(target.begin(), target.end());
  const char suffix[] = ".partXXXXXX";
  name.insert(name.end(), suffix, suffix + sizeof suffix);
  int fd = mkstemp(name.data());
  if (fd < 0) {
    *error = strerror(errno);
    return nullptr;
  }
  // mkstemp makes it private; the finished file gets the usual mode.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  FILE* f = fdopen(fd, "wb");
  if (!f) {
    *error = strerror(errno);
    close(fd);
    unlink(name.data());
    return nullptr;
  }
  *temp = name.data();
  return f;
}

bool vxcomm_replace_file(const std::string& from, const std::string& to, std::string* error) {
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  *error = strerror(errno);
  return false;
}
