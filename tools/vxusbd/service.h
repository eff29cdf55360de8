// vxusbd: the USB bus service for real USBTMC instruments (docs/guide/usb_bus.md
// has the protocol, docs/design.md "vxusbd" the design). The whole service
// runs on one thread: the listening socket, the clients and libusb's event
// sources share one poll loop, so libusb's completion callbacks run on the
// same thread as everything else and nothing needs a lock.
#ifndef VXUSBD_SERVICE_H
#define VXUSBD_SERVICE_H

#include <atomic>
#include <string>

#include "vx_comm.h"  // VX_COMM_VERSION: one release number for the library and its tools

namespace vxusbd {

inline constexpr const char* kDefaultSocket = "/run/vx_comm_lib/usb.sock";
inline constexpr const char* kVersion = VX_COMM_VERSION;

struct Options {
  std::string socket_path = kDefaultSocket;
  int listen_fd = -1;  // a socket handed over by systemd; else socket_path is bound
};

// Serves until *stop becomes true (looked at least every 100 ms). Returns
// the process exit status: 0 after a stop, 1 when the socket cannot be had.
int run(const Options& options, const std::atomic<bool>* stop);

// The socket systemd passed (LISTEN_PID/LISTEN_FDS, the first one is fd 3),
// or -1; the variables are removed so that children do not see them.
int socket_from_systemd();

}  // namespace vxusbd

#endif
