// Win32 side of the platform layer: listening and accepting.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <cstring>

#include "platform/listen.h"
#include "platform/socket_address.h"

vxp_socket vxp_tcp_listen_any(uint16_t* port) {
  // Not inheritable, as the sockets of net.cpp; an accepted socket takes
  // the listener's attributes.
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s != INVALID_SOCKET) SetHandleInformation((HANDLE)s, HANDLE_FLAG_INHERIT, 0);
  }
  if (s == INVALID_SOCKET) return VXP_BAD_SOCKET;
  // Another process must not take the port over while we listen on it.
  BOOL exclusive = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), (int)sizeof exclusive);
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  vxp_address local;
  u_long nonBlocking = 1;
  if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0 || bind(s, (struct sockaddr*)&sa, (int)sizeof sa) != 0 ||
      listen(s, 16) != 0 ||
      !vxp_socket_local_address((vxp_socket)s, &local, port)) {
    closesocket(s);
    return VXP_BAD_SOCKET;
  }
  return (vxp_socket)s;
}

vxp_socket vxp_tcp_accept(vxp_socket listener) {
  SOCKET s = accept((SOCKET)listener, nullptr, nullptr);
  if (s == INVALID_SOCKET) return VXP_BAD_SOCKET;
  SetHandleInformation((HANDLE)s, HANDLE_FLAG_INHERIT, 0);
  // An accepted socket takes the listener's non-blocking mode.
  u_long blocking = 0;
  if (ioctlsocket(s, FIONBIO, &blocking) != 0) {
    closesocket(s);
    return VXP_BAD_SOCKET;
  }
  return (vxp_socket)s;
}

bool vxp_socket_local_address(vxp_socket s, vxp_address* out, uint16_t* port) {
  struct sockaddr_storage ss;
  int len = (int)sizeof ss;
  memset(&ss, 0, sizeof ss);
  return getsockname((SOCKET)s, (struct sockaddr*)&ss, &len) == 0 && vxp_address_from(ss, out, port);
}
