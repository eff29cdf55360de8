// Platform layer, the server side of TCP: a listening socket, the
// connections it accepts, and the local address a connection uses.
// posix/listen.cpp and win/listen.cpp define the same functions and the
// build picks one; nothing above platform/ knows which.
#ifndef VX_PLATFORM_LISTEN_H
#define VX_PLATFORM_LISTEN_H

#include <cstdint>

#include "platform/net.h"

// An IPv4 TCP socket listening on every address at a port the system
// picks; that port (host order) in *port. VXP_BAD_SOCKET on failure. It
// does not block (see vxp_tcp_accept).
vxp_socket vxp_tcp_listen_any(uint16_t* port);
// The next connection waiting on `listener`, never waiting for one (a
// connection that was readable may be gone by the accept): VXP_BAD_SOCKET
// when none is there. A blocking socket, not inherited by child processes.
vxp_socket vxp_tcp_accept(vxp_socket listener);
// The local address and port (host order) of a bound or connected socket.
bool vxp_socket_local_address(vxp_socket s, vxp_address* out, uint16_t* port);

#endif
