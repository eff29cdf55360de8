// POSIX side of the platform layer: listening and accepting.
#include "platform/listen.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstring>

#include "platform/socket_address.h"

vxp_socket vxp_tcp_listen_any(uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (fd < 0) return VXP_BAD_SOCKET;
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  vxp_address local;
  if (bind(fd, (struct sockaddr*)&sa, sizeof sa) != 0 || listen(fd, 16) != 0 ||
      !vxp_socket_local_address((vxp_socket)fd, &local, port)) {
    close(fd);
    return VXP_BAD_SOCKET;
  }
  return (vxp_socket)fd;
}

vxp_socket vxp_tcp_accept(vxp_socket listener) {
  int fd;
  do {
    // Without SOCK_NONBLOCK the new socket blocks, whatever the listener.
    fd = accept4((int)listener, nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? VXP_BAD_SOCKET : (vxp_socket)fd;
}

bool vxp_socket_local_address(vxp_socket s, vxp_address* out, uint16_t* port) {
  struct sockaddr_storage ss;
  socklen_t len = sizeof ss;
  memset(&ss, 0, sizeof ss);
  return getsockname((int)s, (struct sockaddr*)&ss, &len) == 0 && vxp_address_from(ss, out, port);
}
