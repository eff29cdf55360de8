// vxusbd: serves the USB bus protocol of vx_comm_lib for the USBTMC
// instruments plugged into this machine.
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
    "Without systemd, run 'sudo -u vxusbd vxusbd --foreground' (or as a member of\n"
    "plugdev) after installing the udev rule 70-vxusbd.rules.\n";

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
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return vxusbd::run(options, &g_stop);
}
