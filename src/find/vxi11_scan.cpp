// The VXI-11 search: the portmapper's GETPORT for the core channel goes out
// as a UDP broadcast on the LAN search's schedule, to 255.255.255.255 and to
// every card's broadcast address; each new responder is probed in a worker
// of its own with the time left of the search, and listed only when its
// core channel answered as a VXI-11 instrument's (a datagram proves
// nothing: anyone may send one). Workers are reused as probes end, so
// replies naming dead ports do not crowd out real instruments; the search
// ends when the listening time is over and the last worker has ended.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "find/find.h"
#include "log/call_log.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "transport/vxi11/portmap.h"
#include "transport/vxi11/vxi11_core.h"
#include "transport/vxi11/vxi11_transport.h"

namespace {

const int kMaxProbes = 64;        // workers at a time
const int kMaxResponders = 1024;  // distinct responders kept, probed or waiting for a worker
const size_t kReplySize = 128;
const size_t kWorkerStack = 2048;
const size_t kAddressSize = 48;  // "TCPIP0::" a dotted address "::inst0::INSTR"
const size_t kDatagramArea = 512;

struct Worker {
  ProbeJob job;
  char name[kAddressSize];
  vxp_thread* thread;
  std::atomic<bool> done;
};

void vxi11_probe_worker(void* arg) {
  Worker* w = static_cast<Worker*>(arg);
  const ProbeJob* job = &w->job;
  char reply[kReplySize + 1];
  char maker[VX_FIND_FIELD_SIZE] = {}, model[VX_FIND_FIELD_SIZE] = {}, serial[VX_FIND_FIELD_SIZE] = {};
  const Vxi11Probe found = vx_vxi11_identify(job->addr, job->port, (uint32_t)job->tmoMs, reply, sizeof reply);
  if (found == VXI11_PROBE_IDENTIFIED)
    vx_find_take_field(vx_find_take_field(vx_find_take_field(reply, maker), model), serial);
  // One that does not identify is still an instrument that can be opened.
  if (found != VXI11_PROBE_NONE) vx_find_report(job->results, model, serial, job->target);
  w->done = true;
}

}  // namespace

bool vx_vxi11_take_datagram(Vxi11Responders* r, const uint8_t* datagram, size_t length, uint32_t from, uint32_t xid) {
  uint16_t port = 0;
  if (!vx_portmap_reply_port(datagram, length, xid, &port)) return false;
  for (int i = 0; i < r->count; ++i)
    if (r->list[i].addr == from) return false;
  if (r->count >= r->capacity) {
    // Not remembered, so a sender repeating itself counts again: a bound on
    // what is logged, not an exact tally.
    ++r->notKept;
    return true;
  }
  r->list[r->count++] = Vxi11Responder{from, port};
  return true;
}

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
  Worker* slots = new (std::nothrow) Worker[kMaxProbes];
  Vxi11Responder* seen = new (std::nothrow) Vxi11Responder[kMaxResponders];
  if (!slots || !seen) {
    delete[] slots;
    delete[] seen;
    vxp_socket_close(sock);
    vxp_net_cleanup();
    return VI_ERROR_SYSTEM_ERROR;
  }
  for (int i = 0; i < kMaxProbes; ++i) {
    slots[i].thread = nullptr;
    slots[i].done = false;
  }
  Vxi11Responders responders{seen, 0, kMaxResponders, 0};
  int probed = 0;  // the first `probed` responders have had a worker
  unsigned notStarted = 0;

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
      // Every datagram waiting, so a flood is read as fast as it comes.
      for (int k = 0; k < 256; ++k) {
        uint8_t datagram[kDatagramArea];
        uint32_t from = 0;
        uint16_t fromPort = 0;
        int64_t n = vxp_recvfrom_port(sock, datagram, sizeof datagram, &from, &fromPort);
        if (n > 0) vx_vxi11_take_datagram(&responders, datagram, (size_t)n, from, xid);
        if (vxp_wait_readable(sock, 0) <= 0) break;
      }
    }
    const uint32_t now = vxp_tick_ms();
    elapsed += (uint32_t)(now - last);
    last = now;
    if (elapsed >= limit) break;
    // Free workers take the next responders, with what is left of the time.
    for (int i = 0; i < kMaxProbes && probed < responders.count; ++i) {
      Worker& w = slots[i];
      if (w.thread && !w.done) continue;
      if (w.thread) {
        vxp_thread_join(w.thread);
        w.thread = nullptr;
      }
      const Vxi11Responder r = seen[probed++];
      char dotted[16];
      if (!vxp_inet_text(r.addr, dotted, sizeof dotted)) continue;
      snprintf(w.name, kAddressSize, "TCPIP0::%s::inst0::INSTR", dotted);
      w.job = ProbeJob{w.name, (int)(uint32_t)(limit - elapsed), &results, nullptr, r.addr, r.port};
      w.done = false;
      w.thread = vxp_thread_start(vxi11_probe_worker, &w, kWorkerStack);
      if (!w.thread) ++notStarted;  // not probed, not listed
    }
  }
  for (int i = 0; i < kMaxProbes; ++i)
    if (slots[i].thread) vxp_thread_join(slots[i].thread);
  const unsigned unprobed = responders.notKept + notStarted + (unsigned)(responders.count - probed);
  // Not the caller's buffer: VI_SUCCESS_MAX_CNT is kept for that alone.
  if (unprobed > 0)
    writeLog("vx_comm_find() VXI-11 search: more responders than it could probe within %d ms (%d probed, at most "
             "%d at a time; %u replies left out); those are not listed\n",
             tmoMs, probed, kMaxProbes, unprobed);
  delete[] slots;
  delete[] seen;
  vxp_socket_close(sock);
  vxp_net_cleanup();
  *len = results.length;
  if (status == VI_SUCCESS && results.cutShort) status = VI_SUCCESS_MAX_CNT;
  return status;
}
