// The VXI-11 search: the portmapper's GETPORT for the core channel goes out
// as a UDP broadcast on the LAN search's schedule, to 255.255.255.255 and to
// every card's broadcast address; each new responder is probed at once in a
// worker of its own, and the search ends when the listening time is over
// and the last worker has ended.
#include <cstdio>
#include <cstring>

#include "find/find.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "transport/vxi11/portmap.h"
#include "transport/vxi11/vxi11_core.h"
#include "transport/vxi11/vxi11_transport.h"

namespace {

const int kMaxProbes = 64;
const size_t kReplySize = 128;
const size_t kWorkerStack = 2048;
const size_t kAddressSize = 48;  // "TCPIP0::" a dotted address "::inst0::INSTR"
const size_t kDatagramArea = 512;

void vxi11_probe_worker(void* arg) {
  const ProbeJob* job = static_cast<const ProbeJob*>(arg);
  char reply[kReplySize + 1];
  char maker[VX_FIND_FIELD_SIZE] = {}, model[VX_FIND_FIELD_SIZE] = {}, serial[VX_FIND_FIELD_SIZE] = {};
  // One that does not identify is still an instrument that can be opened.
  if (vx_vxi11_identify(job->addr, job->port, (uint32_t)job->tmoMs, reply, sizeof reply))
    vx_find_take_field(vx_find_take_field(vx_find_take_field(reply, maker), model), serial);
  vx_find_report(job->results, model, serial, job->target);
}

bool already_probed(const ProbeJob* jobs, int count, uint32_t addr) {
  for (int i = 0; i < count; ++i)
    if (jobs[i].addr == addr) return true;
  return false;
}

}  // namespace

ViStatus vx_vxi11_scan(char* text, int tmoMs, int capacity, int* length) {
  int ownLength = 0;
  int* len = length ? length : &ownLength;
  *len = 0;
  if (!text || capacity < 1) return VI_ERROR_SYSTEM_ERROR;
  text[0] = '\0';
  const uint32_t limit = (uint32_t)tmoMs;  // a negative tmoMs is a very long search, not none
  if (limit == 0) return VI_SUCCESS;
  if (!vxp_net_startup()) return VI_ERROR_SYSTEM_ERROR;
  vxp_socket sock = vxp_udp_socket();
  if (sock == VXP_BAD_SOCKET) {
    vxp_net_cleanup();
    return VI_ERROR_SYSTEM_ERROR;
  }

  ProbeResults results;
  results.text = text;
  results.capacity = capacity;
  results.length = 0;
  results.cutShort = false;
  char names[kMaxProbes][kAddressSize];
  ProbeJob jobs[kMaxProbes];
  vxp_thread* threads[kMaxProbes] = {};
  int probes = 0;

  uint8_t request[VX_PORTMAP_REQUEST_SIZE];
  const uint32_t xid = vxp_tick_ms() ^ 0x56583131u;
  vx_portmap_request(request, xid, VX_VXI11_CORE_PROG, VX_VXI11_VERSION);
  BroadcastPlan plan;
  vx_find_broadcast_begin(&plan, sock, VX_PORTMAP_PORT, request, sizeof request);
  ViStatus status = VI_SUCCESS;
  const uint32_t start = vxp_tick_ms();
  uint64_t elapsed = 0;  // summed from 32-bit differences, as the LAN search does
  uint32_t last = start;
  for (;;) {
    vx_find_broadcast_due(&plan, elapsed);
    int ready = vxp_wait_readable(sock, VX_FIND_WAIT_MS);
    if (ready < 0) {
      if (!vxp_socket_error_is_invalid_argument(vxp_last_socket_error())) {
        status = VI_ERROR_SYSTEM_ERROR;
        break;
      }
      vxp_sleep_ms(VX_FIND_WAIT_MS);
    } else if (ready > 0) {
      uint8_t datagram[kDatagramArea];
      uint32_t from = 0;
      uint16_t fromPort = 0, port = 0;
      int64_t n = vxp_recvfrom_port(sock, datagram, sizeof datagram, &from, &fromPort);
      if (n > 0 && vx_portmap_reply_port(datagram, (size_t)n, xid, &port) && !already_probed(jobs, probes, from)) {
        char dotted[16];
        if (probes >= kMaxProbes) {
          results.cutShort = true;  // more responders than workers
        } else if (vxp_inet_text(from, dotted, sizeof dotted)) {
          snprintf(names[probes], kAddressSize, "TCPIP0::%s::inst0::INSTR", dotted);
          jobs[probes] = ProbeJob{names[probes], tmoMs, &results, nullptr, from, port};
          threads[probes] = vxp_thread_start(vxi11_probe_worker, &jobs[probes], kWorkerStack);
          if (!threads[probes]) results.cutShort = true;  // not probed, not listed
          ++probes;
        }
      }
    }
    const uint32_t now = vxp_tick_ms();
    elapsed += (uint32_t)(now - last);
    last = now;
    if (elapsed >= limit) break;
  }
  for (int i = 0; i < probes; ++i)
    if (threads[i]) vxp_thread_join(threads[i]);
  vxp_socket_close(sock);
  vxp_net_cleanup();
  *len = results.length;
  if (status == VI_SUCCESS && results.cutShort) status = VI_SUCCESS_MAX_CNT;
  return status;
}
