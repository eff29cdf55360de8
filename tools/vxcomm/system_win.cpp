// Windows side of the tool's own system calls (system.h).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "system.h"

namespace {

std::string system_text(DWORD code) {
  char buf[256] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                           sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ' || buf[n - 1] == '.')) buf[--n] = 0;
  return n ? std::string(buf) : "error " + std::to_string((unsigned long)code);
}

// Winsock for as long as one call needs it.
struct Winsock {
  bool ok;
  Winsock() {
    WSADATA data;
    ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Winsock() {
    if (ok) WSACleanup();
  }
};

}  // namespace

bool vxcomm_resolve_ipv4(const std::string& host, std::string* dotted, std::string* error) {
  Winsock ws;
  if (!ws.ok) {
    *error = "the socket library did not start";
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0 || !list) {
    *error = system_text((DWORD)rc);
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
  Winsock ws;
  if (!ws.ok) {
    *error = "the socket library did not start";
    return kConnectFailed;
  }
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    *error = system_text((DWORD)WSAGetLastError());
    return kConnectFailed;
  }
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons((u_short)port);
  inet_pton(AF_INET, dotted.c_str(), &sa.sin_addr);
  VxcommConnect result = kConnectMade;
  if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    int err = WSAGetLastError();
    if (err != WSAEWOULDBLOCK) {
      *error = system_text((DWORD)err);
      result = kConnectFailed;
    } else {
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      timeval tv{ms / 1000, (ms % 1000) * 1000};
      int ready = select(0, nullptr, &writable, &failed, &tv);
      if (ready == 0) {
        result = kConnectNoAnswer;
      } else if (ready < 0 || FD_ISSET(s, &failed)) {
        int soErr = 0;
        int len = sizeof soErr;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soErr), &len);
        *error = system_text((DWORD)(soErr ? soErr : WSAGetLastError()));
        result = kConnectFailed;
      }
    }
  }
  closesocket(s);
  return result;
}

FILE* vxcomm_create_beside(const std::string& target, std::string* temp, std::string* error) {
  for (unsigned k = 0; k < 100; ++k) {
    std::string name = target + ".part" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(k);
    int fd = _open(name.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      *error = strerror(errno);
      return nullptr;
    }
    FILE* f = _fdopen(fd, "wb");
    if (!f) {
      *error = strerror(errno);
      _close(fd);
      _unlink(name.c_str());
      return nullptr;
    }
    *temp = name;
    return f;
  }
  *error = "no free temporary name";
  return nullptr;
}

bool vxcomm_replace_file(const std::string& from, const std::string& to, std::string* error) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  *error = system_text(GetLastError());
  return false;
}
