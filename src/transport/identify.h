// "*IDN?" over a LAN resource name through the route's own operation table,
// within a time of the caller's, for a search that lists instruments which
// did not name themselves.
#ifndef VX_TRANSPORT_IDENTIFY_H
#define VX_TRANSPORT_IDENTIFY_H

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "transport/transport.h"

// Shared by the identifying thread and the search that may cut it short.
struct IdentifyCall {
  std::mutex lock;
  const TransportOps* ops = nullptr;
  void* context = nullptr;  // the open link, while one is
  bool cut = false;
};

// Opens `name` (a TCPIP SOCKET, hislipN or VXI-11 INSTR name) natively, asks
// "*IDN?" and reads one line, everything within waitMs, then closes. True
// with the line (without its line end, NUL-terminated, at most size - 1
// bytes) when one came whole.
bool vx_transport_identify(IdentifyCall* call, const char* name, uint32_t waitMs, char* reply, size_t size);

// Ends the call at once from another thread: a call in flight fails, and so
// does every later step; the link is still closed by its own thread.
void vx_transport_identify_cut(IdentifyCall* call);

#endif
