// POSIX side of the tool's own system calls (system.h).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
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

namespace {

// Temporary names are the target's own plus this, so they sort beside it.
const char kPartSuffix[] = ".partXXXXXX";

char g_signalPath[4096];
volatile sig_atomic_t g_signalArmed = 0;

void on_signal(int sig) {
  if (g_signalArmed) unlink(g_signalPath);
  signal(sig, SIG_DFL);
  raise(sig);
}

// A FILE* for fd, or -1's reason; fd is closed on failure.
FILE* file_of(int fd, std::string* error) {
  FILE* f = fd < 0 ? nullptr : fdopen(fd, "wb");
  if (!f) {
    *error = strerror(errno);
    if (fd >= 0) close(fd);
  }
  return f;
}

}  // namespace

bool vxcomm_output_open(const std::string& target, VxcommOutput* out, std::string* error) {
  out->temp.clear();
  out->dest = target;
  struct stat st;
  mode_t mode = 0;
  if (stat(target.c_str(), &st) == 0) {  // through any links
    if (S_ISDIR(st.st_mode)) {
      *error = strerror(EISDIR);
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      // O_NONBLOCK is not asked: a FIFO without a reader waits for one, as
      // a shell's redirection does.
      out->f = file_of(open(target.c_str(), O_WRONLY | O_CLOEXEC), error);
      return out->f != nullptr;
    }
    mode = st.st_mode & 07777;
    char* real = realpath(target.c_str(), nullptr);
    if (real) out->dest = real;
    free(real);
  } else if (errno == ENOENT && lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // A link to a name not yet taken: what it names is created through it.
    out->f = file_of(open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666), error);
    return out->f != nullptr;
  }
  std::vector<char> name(out->dest.begin(), out->dest.end());
  name.insert(name.end(), kPartSuffix, kPartSuffix + sizeof kPartSuffix);
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = strerror(errno);
    return false;
  }
  // mkstemp makes it private; the result keeps the mode of the file it
  // replaces, or gets the usual one.
  if (mode == 0) {
    mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  fchmod(fd, mode);
  out->f = file_of(fd, error);
  if (!out->f) {
    unlink(name.data());
    return false;
  }
  out->temp = name.data();
  vxcomm_remove_on_signal(out->temp.c_str());
  return true;
}

bool vxcomm_output_finish(VxcommOutput* out, std::string* error) {
  FILE* f = out->f;
  out->f = nullptr;
  if (fclose(f) != 0) {
    *error = strerror(errno);
    return false;
  }
  if (out->temp.empty()) return true;
  if (rename(out->temp.c_str(), out->dest.c_str()) != 0) {
    *error = strerror(errno);
    return false;
  }
  // Disarmed only now: a signal after the rename unlinks a name that is gone.
  vxcomm_remove_on_signal(nullptr);
  out->temp.clear();
  return true;
}

void vxcomm_output_discard(VxcommOutput* out) {
  if (out->f) fclose(out->f);
  out->f = nullptr;
  if (!out->temp.empty()) unlink(out->temp.c_str());
  vxcomm_remove_on_signal(nullptr);
  out->temp.clear();
}

void vxcomm_remove_on_signal(const char* path) {
  static bool installed = false;
  g_signalArmed = 0;
  if (!path || strlen(path) >= sizeof g_signalPath) return;
  memcpy(g_signalPath, path, strlen(path) + 1);
  g_signalArmed = 1;
  if (installed) return;
  installed = true;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old;
    // A signal the tool was started to ignore (SIGINT of a background job)
    // stays ignored.
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
  }
}

FILE* vxcomm_binary_stdout() { return stdout; }
