// The HiSLIP transport's operations and its table: the open (name, host
// lookup, both connections, Initialize, AsyncInitialize, maximum message
// size) and the thin binding of hislip_link's exchanges to TransportOps.
#include "transport/hislip/hislip_transport.h"

#include <cstdio>
#include <mutex>

#include "link/link_table.h"
#include "log/call_log.h"
#include "platform/clock.h"
#include "transport/hislip/hislip_link.h"
#include "transport/host_address.h"
#include "transport/resource_name.h"

namespace {

// Replies to the open's messages when the caller gave no bound: the
// connects have the system's, a reply would have none.
const uint32_t kUnboundedOpenReplyMs = 10000;

uint32_t left_of(const HislipDeadline& dl, uint32_t fallback) {
  if (dl.waitMs == 0) return fallback;
  const uint32_t spent = vxp_tick_ms() - dl.start;
  // At least a moment: 0 would mean no limit.
  return spent >= dl.waitMs ? 1 : dl.waitMs - spent;
}

bool connect_channel(HislipLink* l, HislipChannel* c, const vxp_address& addr, uint16_t port,
                     const HislipDeadline& dl) {
  c->sock = vxp_tcp_socket_for(addr);
  if (c->sock == VXP_BAD_SOCKET) return false;
  const uint32_t waitMs = left_of(dl, 0);
  vxp_connect_result rc = vxp_tcp_connect_to(c->sock, addr, port, waitMs);
  if (rc != VXP_CONNECTED) {
    if (rc == VXP_CONNECT_TIMED_OUT)
      writeLog("vx_comm_open() error: no answer from %s within %u ms\n", l->peer, (unsigned)dl.waitMs);
    return false;
  }
  // Headers and small messages go out at once, not after the peer's
  // delayed acknowledgement.
  vxp_set_nodelay(c->sock);
  // Sends wait as long as reads from the start, not only once the caller
  // sets a timeout.
  vxp_set_send_timeout(c->sock, (uint32_t)l->timeoutMs.load());
  return true;
}

ViStatus hislip_open(const char* name, ViInt32 tmoMs, LinkSlot* slot) {
  VxResourceName r;
  const char* why = nullptr;
  if (!vx_rname_parse(name, &r, &why) || r.interface != VX_RNAME_TCPIP || r.deviceKind != VX_LAN_HISLIP) {
    writeLog("vx_comm_open() error: '%s' is not a HiSLIP resource name: %s\n", name, why ? why : "another kind");
    return VI_ERROR_SYSTEM_ERROR;
  }
  if (!vxp_net_startup()) return VI_ERROR_SYSTEM_ERROR;
  HislipLink* l = vx_hislip_new_link();
  if (!l) {
    vxp_net_cleanup();
    return VI_ERROR_SYSTEM_ERROR;
  }
  snprintf(l->peer, sizeof l->peer, "%s:%u", r.host, (unsigned)r.port);
  // The lookup, both connections and the three exchanges share one wait.
  const HislipDeadline dl = vx_hislip_deadline(vx_open_wait_ms(tmoMs));
  const HislipDeadline replies = {dl.start, dl.waitMs == 0 ? kUnboundedOpenReplyMs : dl.waitMs};
  vxp_address addr{};
  uint16_t session = 0;
  const bool opened = vx_host_address(r.host, dl.waitMs, &addr) && connect_channel(l, &l->sync, addr, r.port, dl) &&
                      vx_hislip_initialize(l, r.device, replies, &session) &&
                      connect_channel(l, &l->async, addr, r.port, dl) &&
                      vx_hislip_async_initialize(l, session, replies) && vx_hislip_max_message_size(l, replies);
  if (!opened) {
    vx_hislip_free_link(l);
    vxp_net_cleanup();
    return VI_ERROR_SYSTEM_ERROR;
  }
  slot->context = l;
  return VI_SUCCESS;
}

HislipLink* link_of(void* context) { return static_cast<HislipLink*>(context); }

ViStatus hislip_close(void* context) {
  HislipLink* l = link_of(context);
  vx_hislip_stop_reader(l);  // no service request is posted once close returns
  {
    std::lock_guard<std::mutex> hold(l->syncLock);
    if (!l->aborted && !l->dead) vx_hislip_flush(l, false);
  }
  vx_hislip_free_link(l);
  vxp_net_cleanup();
  return VI_SUCCESS;
}

ViStatus hislip_read(void* context, void* buffer, ViInt32 count, ViInt32* retCount) {
  HislipLink* l = link_of(context);
  if (retCount) *retCount = 0;
  if (count <= 0) return VI_ERROR_TMO;  // as a TCP read of nothing
  std::lock_guard<std::mutex> hold(l->syncLock);
  size_t moved = 0;
  ViStatus s = vx_hislip_read(l, static_cast<uint8_t*>(buffer), (size_t)count, &moved);
  if (retCount) *retCount = (ViInt32)moved;
  return s;
}

ViStatus write_bytes(void* context, const void* buffer, ViInt32 count, ViInt32* retCount, bool mayEnd) {
  HislipLink* l = link_of(context);
  if (retCount) *retCount = 0;
  std::lock_guard<std::mutex> hold(l->syncLock);
  size_t moved = 0;
  ViStatus s =
      vx_hislip_write(l, static_cast<const uint8_t*>(buffer), count > 0 ? (size_t)count : 0, &moved, mayEnd);
  if (retCount) *retCount = (ViInt32)moved;
  return s;
}

ViStatus hislip_write(void* context, const void* buffer, ViInt32 count, ViInt32* retCount) {
  return write_bytes(context, buffer, count, retCount, true);
}

ViStatus hislip_write_more(void* context, const void* buffer, ViInt32 count, ViInt32* retCount) {
  return write_bytes(context, buffer, count, retCount, false);
}

ViStatus hislip_end(void* context) {
  HislipLink* l = link_of(context);
  std::lock_guard<std::mutex> hold(l->syncLock);
  return vx_hislip_end(l);
}

ViStatus hislip_settmo(void* context, ViInt32 tmoMs) {
  HislipLink* l = link_of(context);
  l->timeoutMs = tmoMs;
  // Sends wait as long as reads; receives wait in hislip_link by the clock.
  if (!vxp_set_send_timeout(l->sync.sock, (uint32_t)tmoMs)) return VI_ERROR_SYSTEM_ERROR;
  if (!vxp_set_send_timeout(l->async.sock, (uint32_t)tmoMs)) return VI_ERROR_SYSTEM_ERROR;
  return VI_SUCCESS;
}

ViStatus hislip_clear(void* context) { return vx_hislip_clear(link_of(context)); }

// Close meeting calls in flight: both connections end, which wakes every
// wait at once; the sockets stay open until close. The service requests'
// reader is gone when it returns.
void hislip_abort(void* context) {
  HislipLink* l = link_of(context);
  l->aborted = true;
  vx_hislip_cut(l);
  vx_hislip_stop_reader(l);
}

ViStatus hislip_readstb(void* context, ViUInt16* stb) { return vx_hislip_status(link_of(context), stb); }

ViStatus hislip_srq_enable(void* context, SrqSink* sink) { return vx_hislip_srq_enable(link_of(context), sink); }

ViStatus hislip_trigger(void* context) {
  HislipLink* l = link_of(context);
  std::lock_guard<std::mutex> hold(l->syncLock);
  return vx_hislip_trigger(l);
}

ViStatus hislip_remote(void* context, ViUInt16 mode) { return vx_hislip_remote(link_of(context), mode); }

ViStatus hislip_lock(void* context, ViInt32 tmoMs) { return vx_hislip_lock(link_of(context), tmoMs); }

// Bytes a write held back go before the lock is given back.
ViStatus hislip_unlock(void* context) {
  HislipLink* l = link_of(context);
  {
    std::lock_guard<std::mutex> hold(l->syncLock);
    ViStatus s = vx_hislip_flush(l, false);
    if (s != VI_SUCCESS) return s;
  }
  return vx_hislip_unlock(l);
}

}  // namespace

const TransportOps vx_hislip_ops = {
    hislip_open,     // open
    hislip_close,    // close
    hislip_read,     // read
    hislip_write,    // write
    hislip_settmo,   // setTimeout
    hislip_clear,    // clear
    hislip_abort,    // abort
    hislip_readstb,  // readStb
    hislip_trigger,  // trigger
    hislip_remote,   // remote
    hislip_end,         // endMessage
    hislip_write_more,  // writeMore
    hislip_lock,        // lock
    hislip_unlock,      // unlock
    hislip_srq_enable,  // srqEnable
};
