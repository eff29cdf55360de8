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

namespace {

char g_signalPath[MAX_PATH * 4];
volatile LONG g_signalArmed = 0;

// Runs on a thread of its own while the main thread may be inside a
// transfer. The temporary file was opened with FILE_SHARE_DELETE, so it can
// be deleted while open; it goes when the process ends its handle.
BOOL WINAPI on_console_event(DWORD) {
  if (InterlockedCompareExchange(&g_signalArmed, 0, 0)) DeleteFileA(g_signalPath);
  return FALSE;  // the default handler ends the process
}

FILE* file_of(HANDLE h, std::string* error) {
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
  if (fd < 0) {
    *error = strerror(errno);
    CloseHandle(h);
    return nullptr;
  }
  FILE* f = _fdopen(fd, "wb");
  if (!f) {
    *error = strerror(errno);
    _close(fd);
  }
  return f;
}

}  // namespace

bool vxcomm_output_open(const std::string& target, VxcommOutput* out, std::string* error) {
  out->temp.clear();
  out->dest = target;
  // What the name is now: a device (NUL, CON), a pipe, a link or a folder is
  // not replaced but written straight, through the link.
  HANDLE probe = CreateFileA(target.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    DWORD type = GetFileType(probe);
    BY_HANDLE_FILE_INFORMATION info{};
    bool disk = type == FILE_TYPE_DISK && GetFileInformationByHandle(probe, &info);
    CloseHandle(probe);
    if (disk && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      *error = "is a folder";
      return false;
    }
    if (!disk || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      HANDLE h = CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h == INVALID_HANDLE_VALUE) {
        *error = system_text(GetLastError());
        return false;
      }
      if (disk) {
        SetEndOfFile(h);  // a file behind a link is rewritten whole
      }
      out->f = file_of(h, error);
      return out->f != nullptr;
    }
  }
  for (unsigned k = 0; k < 100; ++k) {
    std::string name = target + ".part" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(k);
    HANDLE h = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD err = GetLastError();
      if (err == ERROR_FILE_EXISTS) continue;
      *error = system_text(err);
      return false;
    }
    out->f = file_of(h, error);
    if (!out->f) {
      DeleteFileA(name.c_str());
      return false;
    }
    out->temp = name;
    vxcomm_remove_on_signal(out->temp.c_str());
    return true;
  }
  *error = "no free temporary name";
  return false;
}

bool vxcomm_output_finish(VxcommOutput* out, std::string* error) {
  FILE* f = out->f;
  out->f = nullptr;
  if (fclose(f) != 0) {
    *error = strerror(errno);
    return false;
  }
  if (out->temp.empty()) return true;
  if (!MoveFileExA(out->temp.c_str(), out->dest.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    *error = system_text(GetLastError());
    return false;
  }
  vxcomm_remove_on_signal(nullptr);
  out->temp.clear();
  return true;
}

void vxcomm_output_discard(VxcommOutput* out) {
  if (out->f) fclose(out->f);
  out->f = nullptr;
  if (!out->temp.empty()) DeleteFileA(out->temp.c_str());
  vxcomm_remove_on_signal(nullptr);
  out->temp.clear();
}

void vxcomm_remove_on_signal(const char* path) {
  static bool installed = false;
  InterlockedExchange(&g_signalArmed, 0);
  if (!path || strlen(path) >= sizeof g_signalPath) return;
  memcpy(g_signalPath, path, strlen(path) + 1);
  InterlockedExchange(&g_signalArmed, 1);
  if (!installed) installed = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
}

FILE* vxcomm_binary_stdout() {
  fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
  return stdout;
}
