// vxusbd: serves the USB bus protocol of vx_comm_lib for the USBTMC
// instruments plugged into this machine.
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "service.h"

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop.store(true); }

const char kHelp[] =
    "Usage: vxusbd [--foreground] [--socket PATH]\n"
    "Serves the USBTMC instruments plugged into this machine to vx_comm_lib\n"
    "programs, on the bus socket /run/vx_comm_lib/usb.sock.\n"
    "\n"
    "  --foreground   run in this terminal (vxusbd never forks; logs go to stderr)\n"
    "  --socket PATH  listen on PATH instead (the library itself only uses the default)\n"
    "  --help         show this text\n"
    "  --version      show the version\n"
    "\n"
    "To get an instrument found:\n"
    "  1. sudo systemctl enable --now vxusbd.socket\n"
    "  2. sudo usermod -aG plugdev $USER   (then log in again)\n"
    "  3. plug the instrument in and run: vxcomm find --iface usb\n"
    "Without systemd, start it as root ('sudo vxusbd --foreground'): it makes\n"
    "/run/vx_comm_lib and its lock folder, then runs as user vxusbd.\n";

const char kUser[] = "vxusbd";
const char kUsersGroup[] = "plugdev";  // those who may use instruments
const char kSocketDir[] = "/run/vx_comm_lib";
const char kLockDir[] = "/run/vx_comm_lib/lock";

// Makes the folder, or accepts the one there. As root it gives the folder
// owner root, `group` and `mode` when it made it, or when `ours` (a fixed
// folder of this service, never one a --socket path names). False, after
// saying why, when there is no such folder afterwards.
bool make_folder(const std::string& dir, mode_t mode, gid_t group, bool root, bool ours) {
  bool made = ::mkdir(dir.c_str(), mode & 0777) == 0;
  if (!made && errno != EEXIST) {
    std::fprintf(stderr, "vxusbd: error: cannot make the folder %s: %s\n", dir.c_str(), std::strerror(errno));
    return false;
  }
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "vxusbd: error: %s is not a folder\n", dir.c_str());
    return false;
  }
  if (root && (made || ours) && (::chown(dir.c_str(), 0, group) != 0 || ::chmod(dir.c_str(), mode) != 0)) {
    std::fprintf(stderr, "vxusbd: error: cannot set the owner and mode of %s: %s\n", dir.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

// Started by root without systemd: makes the folders the tmpfiles entry
// makes, then continues as user vxusbd. The socket's folder is group
// vxusbd's and sticky, so that the service places its socket there but
// cannot move the lock folder; it keeps group plugdev to give the socket
// to, as the socket unit does. Never serves as root.
bool set_up_as_root(const std::string& socketDir) {
  const passwd* pw = ::getpwnam(kUser);
  const group* gr = ::getgrnam(kUsersGroup);
  if (!pw || !gr) {
    std::fprintf(stderr, "vxusbd: error: started as root, but there is no %s %s to run as (systemd-sysusers vxusbd.conf makes it)\n",
                 pw ? "group" : "user", pw ? kUsersGroup : kUser);
    return false;
  }
  const uid_t uid = pw->pw_uid;
  const gid_t gid = pw->pw_gid;
  const gid_t users = gr->gr_gid;
  const bool fixed = socketDir == kSocketDir;
  if (!socketDir.empty() && !make_folder(socketDir, 01775, gid, true, fixed)) return false;
  if (fixed && !make_folder(kLockDir, 03770, users, true, true)) return false;
  if (::setgroups(1, &users) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0 || ::setuid(0) == 0) {
    std::fprintf(stderr, "vxusbd: error: cannot continue as user %s: %s\n", kUser, std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  vxusbd::Options options;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("vxusbd %s\n", vxusbd::kVersion);
      return 0;
    }
    if (a == "--foreground" || a == "-f") continue;
    if (a == "--socket" && i + 1 < argc) {
      options.socket_path = argv[++i];
      continue;
    }
    std::fprintf(stderr, "vxusbd: unknown option '%s' (see --help)\n", a.c_str());
    return 2;
  }
  options.listen_fd = vxusbd::socket_from_systemd();
  if (options.listen_fd < 0) {
    const std::string& path = options.socket_path;
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash);
    if (::geteuid() == 0) {
      if (!set_up_as_root(dir)) return 1;
    } else if (!dir.empty() && !make_folder(dir, 0755, 0, false, false)) {
      std::fputs("vxusbd: start it as root or through systemd (see --help)\n", stderr);
      return 1;
    }
  }
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return vxusbd::run(options, &g_stop);
}
