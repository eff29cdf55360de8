// Linux: the USB bus is served on a Unix socket by vxusbd.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "usb_service.h"

const char* vxcomm_usb_service_missing() {
  static const char kPath[] = "/run/vx_comm_lib/usb.sock";
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, kPath, sizeof kPath);
  bool served = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  int why = errno;
  ::close(fd);
  if (served) return nullptr;
  if (why == EACCES)
    return "the USB service's socket /run/vx_comm_lib/usb.sock does not admit this user; join the group plugdev "
           "(sudo usermod -aG plugdev $USER) and log in again";
  return "nothing serves USB instruments on /run/vx_comm_lib/usb.sock; start the USB service vxusbd "
         "(sudo systemctl enable --now vxusbd.socket, or run vxusbd --foreground)";
}
