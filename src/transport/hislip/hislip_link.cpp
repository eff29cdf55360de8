// HiSLIP exchanges on an open link: the reader of the two channels, the
// synchronous channel's Data/DataEnd both ways, the asynchronous queries,
// the device clear, what the server's Error and FatalError end, and the
// thread that reads the asynchronous channel while service requests are
// collected.
#include "transport/lock_within.h"
#include "transport/hislip/hislip_link.h"

#include <chrono>
#include <cstring>
#include <new>

#include "info/status_text.h"
#include "log/call_log.h"
#include "platform/clock.h"

namespace {

// A blocked wait looks at the abort and the clear's request this often.
const uint32_t kSliceMs = 50;
const size_t kSyncBuffer = 64 * 1024;
const size_t kAsyncBuffer = 256;
// A message whose payload is at most this goes out in one send with its header.
const size_t kJoinMax = 4096;
// How much of a server's error text reaches the log.
const size_t kErrorTextMax = 200;
// Asynchronous replies may come after the server's own wait (a status
// query waits for the synchronous channel): this much beyond the link timeout.
const uint32_t kAsyncMarginMs = 1000;
// A clear on a link without a time limit still ends.
const uint32_t kClearNoLimitMs = 5000;
// How long a clear waits for a call in flight to give up the channel.
const uint32_t kClearTakeoverMs = 2000;
// What the library tells the server it takes in one message: payloads are
// streamed into the caller's buffer, so this is no allocation.
const uint64_t kOwnMaximum = 1u << 20;
// Bytes per Data message at most, whatever the server takes.
const uint64_t kChunkMax = 1u << 20;
const uint8_t kOwedTypes = VX_HISLIP_OWED_TYPES;
// The asynchronous channel's reader looks at its stop this often when
// nothing comes, and waits this long for the rest of a message begun.
const uint32_t kReaderPassMs = 1000;
const size_t kReaderStack = 64 * 1024;

bool expired(const HislipDeadline& dl, uint32_t* left) {
  if (dl.waitMs == 0) {
    *left = UINT32_MAX;
    return false;
  }
  // The tick counts whole milliseconds, so a wait is over only after more
  // ticks than its length: it never ends before that many real ones (a
  // caller that checks its own clock would otherwise wait a second time).
  const uint32_t spent = vxp_tick_ms() - dl.start;
  if (spent > dl.waitMs) {
    *left = 0;
    return true;
  }
  const uint32_t rest = dl.waitMs - spent;
  *left = rest == UINT32_MAX ? rest : rest + 1;
  return false;
}

ViStatus socket_receive(HislipLink* l, HislipChannel* c, uint8_t* p, size_t n, const HislipDeadline& dl,
                        bool preemptable, size_t* got) {
  *got = 0;
  for (;;) {
    if (l->aborted || l->dead) return VI_ERROR_CONN_LOST;
    if (preemptable && l->preempt.load() > 0) return VI_ERROR_TMO;
    if (c == &l->async && l->readerStop.load()) return VI_ERROR_TMO;
    // Before every receive, not only after an empty wait: a peer that keeps
    // sending must not hold the call past its time.
    uint32_t left;
    if (expired(dl, &left)) return VI_ERROR_TMO;
    int ready = vxp_wait_readable(c->sock, left < kSliceMs ? left : kSliceMs);
    if (ready < 0) {
      l->dead = true;
      return VI_ERROR_CONN_LOST;
    }
    if (ready == 0) continue;
    int64_t k = vxp_recv(c->sock, p, n);
    if (k > 0) {
      *got = (size_t)k;
      return VI_SUCCESS;
    }
    if (k < 0 && vxp_socket_error_is_timeout(vxp_last_socket_error())) continue;
    // The peer closed or reset the connection: nothing comes any more.
    l->dead = true;
    return VI_ERROR_CONN_LOST;
  }
}

// Makes at least `need` bytes wait in the channel's buffer.
ViStatus fill_to(HislipLink* l, HislipChannel* c, size_t need, const HislipDeadline& dl, bool preemptable) {
  while (c->len - c->at < need) {
    if (c->at > 0) {
      memmove(c->buf, c->buf + c->at, c->len - c->at);
      c->len -= c->at;
      c->at = 0;
    }
    size_t got = 0;
    ViStatus s = l->receive(l, c, c->buf + c->len, c->cap - c->len, dl, preemptable, &got);
    if (s != VI_SUCCESS) return s;
    c->len += got;
  }
  return VI_SUCCESS;
}

// Takes between 1 and n payload bytes into p (n >= 1); large takes bypass
// the buffer.
ViStatus take_some(HislipLink* l, HislipChannel* c, uint8_t* p, size_t n, const HislipDeadline& dl, bool preemptable,
                   size_t* got) {
  *got = 0;
  if (c->len == c->at) {
    c->at = c->len = 0;
    if (n >= c->cap / 2) return l->receive(l, c, p, n, dl, preemptable, got);
    ViStatus s = fill_to(l, c, 1, dl, preemptable);
    if (s != VI_SUCCESS) return s;
  }
  size_t k = c->len - c->at;
  if (k > n) k = n;
  memcpy(p, c->buf + c->at, k);
  c->at += k;
  *got = k;
  return VI_SUCCESS;
}

// Drops what remains of a message body being skipped.
ViStatus drop_skipped(HislipLink* l, HislipChannel* c, const HislipDeadline& dl, bool preemptable) {
  while (c->skip > 0) {
    uint32_t left;
    if (expired(dl, &left)) return VI_ERROR_TMO;
    if (c->len == c->at) {
      c->at = c->len = 0;
      ViStatus s = fill_to(l, c, 1, dl, preemptable);
      if (s != VI_SUCCESS) return s;
    }
    uint64_t k = c->len - c->at;
    if (k > c->skip) k = c->skip;
    c->at += (size_t)k;
    c->skip -= k;
  }
  return VI_SUCCESS;
}

// Each send waits at most the socket's send timeout (the link timeout);
// the deadline bounds the sends of one message together. *sent counts the
// bytes that went.
ViStatus send_all(HislipLink* l, HislipChannel* c, const uint8_t* p, size_t n, const HislipDeadline& dl,
                  size_t* sent) {
  size_t total = 0;
  while (total < n) {
    if (l->aborted || l->dead) return VI_ERROR_CONN_LOST;
    uint32_t left;
    if (*sent > 0 && expired(dl, &left)) return VI_ERROR_TMO;
    int64_t k = vxp_send(c->sock, p + total, n - total);
    if (k < 0 && vxp_socket_error_is_timeout(vxp_last_socket_error())) return VI_ERROR_TMO;
    if (k <= 0) {
      l->dead = true;
      return VI_ERROR_CONN_LOST;
    }
    total += (size_t)k;
    *sent += (size_t)k;
  }
  return VI_SUCCESS;
}

// Sends one message; *payloadSent (when given) counts its payload bytes
// that went. A timeout before its first byte leaves the link in step; one
// after it leaves the server inside a message the link cannot finish, so
// the link is cut (the call still reports the timeout and what went).
ViStatus send_message(HislipLink* l, HislipChannel* c, uint8_t type, uint8_t control, uint32_t parameter,
                      const uint8_t* payload, size_t n, size_t* payloadSent = nullptr) {
  uint8_t joined[VX_HISLIP_HEADER_SIZE + kJoinMax];
  vx_hislip_encode(joined, type, control, parameter, n);
  const HislipDeadline dl = vx_hislip_deadline((uint32_t)l->timeoutMs.load());
  size_t sent = 0;
  ViStatus s;
  std::unique_lock<std::mutex> one(l->asyncSendLock, std::defer_lock);
  if (c == &l->async) one.lock();
  if (n <= kJoinMax) {
    if (n > 0) memcpy(joined + VX_HISLIP_HEADER_SIZE, payload, n);
    s = send_all(l, c, joined, VX_HISLIP_HEADER_SIZE + n, dl, &sent);
  } else {
    s = send_all(l, c, joined, VX_HISLIP_HEADER_SIZE, dl, &sent);
    if (s == VI_SUCCESS) s = send_all(l, c, payload, n, dl, &sent);
  }
  if (payloadSent) *payloadSent = sent > VX_HISLIP_HEADER_SIZE ? sent - VX_HISLIP_HEADER_SIZE : 0;
  if (s == VI_ERROR_TMO && sent > 0) {
    writeLog("HiSLIP error: sending to %s timed out inside a message (%llu of its %llu bytes went); the link "
             "cannot go on and is closed\n",
             l->peer, (unsigned long long)sent, (unsigned long long)(VX_HISLIP_HEADER_SIZE + n));
    vx_hislip_cut(l);
  }
  return s;
}

// Printable text of a server's message for a log line.
void clean_text(char* text, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if ((unsigned char)text[i] < 0x20 || (unsigned char)text[i] > 0x7e) text[i] = '.';
  text[n] = '\0';
}

// Reads the text of an Error or FatalError (the first kErrorTextMax bytes;
// the rest is skipped) and logs it with the status the call returns for it.
ViStatus log_server_error(HislipLink* l, HislipChannel* c, const HislipHeader& h, const HislipDeadline& dl,
                          const char* context, bool opening = false) {
  char text[kErrorTextMax + 1];
  size_t want = h.length < kErrorTextMax ? (size_t)h.length : kErrorTextMax;
  size_t have = 0;
  while (have < want) {
    size_t got = 0;
    if (take_some(l, c, (uint8_t*)text + have, want - have, dl, false, &got) != VI_SUCCESS) break;
    have += got;
  }
  c->skip = h.length - have;
  clean_text(text, have);
  const bool fatal = h.type == HISLIP_FATAL_ERROR;
  const ViStatus status = fatal ? VI_ERROR_CONN_LOST : vx_hislip_error_status(h.control);
  const VxStatusText* name = vx_status_text(status);
  writeLog("%s error: HiSLIP %s sent %s %u (%s): %s; %s\n", context, l->peer, fatal ? "FatalError" : "Error",
           (unsigned)h.control, fatal ? vx_hislip_fatal_text(h.control) : vx_hislip_error_text(h.control), text,
           opening ? "the open fails" : fatal ? "the link is closed (VI_ERROR_CONN_LOST)" : name ? name->name : "");
  return status;
}

// The server ended the session: both connections are closed, and every
// later call fails as on a lost connection.
ViStatus fatal_error(HislipLink* l, HislipChannel* c, const HislipHeader& h, const HislipDeadline& dl,
                     const char* context) {
  // Its text is on its way with it; do not wait for more than that.
  HislipDeadline brief = vx_hislip_deadline(200);
  uint32_t left;
  if (!expired(dl, &left) && left < brief.waitMs) brief.waitMs = left;
  log_server_error(l, c, h, brief, context);
  vx_hislip_cut(l);
  return VI_ERROR_CONN_LOST;
}

// Tells the server why the client ends the session (as far as it can be
// sent at once) and ends the link.
ViStatus end_for_bad_message(HislipLink* l, HislipChannel* c, const char* text) {
  send_message(l, c, HISLIP_FATAL_ERROR, VX_HISLIP_FATAL_BAD_HEADER, 0, (const uint8_t*)text, strlen(text));
  vx_hislip_cut(l);
  return VI_ERROR_CONN_LOST;
}

// The most payload a server's message of this type may carry: what the
// client announced for Data, Error texts and types it does not know; the
// size for AsyncMaximumMessageSizeResponse; nothing for the other replies.
uint64_t payload_limit(uint8_t type) {
  switch (type) {
    case HISLIP_INITIALIZE_RESPONSE:
    case HISLIP_DEVICE_CLEAR_ACKNOWLEDGE:
    case HISLIP_ASYNC_REMOTE_LOCAL_RESPONSE:
    case HISLIP_INTERRUPTED:
    case HISLIP_ASYNC_INTERRUPTED:
    case HISLIP_ASYNC_INITIALIZE_RESPONSE:
    case HISLIP_ASYNC_SERVICE_REQUEST:
    case HISLIP_ASYNC_STATUS_RESPONSE:
    case HISLIP_ASYNC_DEVICE_CLEAR_ACKNOWLEDGE:
      return 0;
    case HISLIP_ASYNC_MAXIMUM_MESSAGE_SIZE_RESPONSE:
      return 8;
    default:
      return kOwnMaximum;
  }
}

// The next header on channel c, after what remains of the last body.
ViStatus next_header(HislipLink* l, HislipChannel* c, HislipHeader* h, const HislipDeadline& dl, bool preemptable,
                     const char* context) {
  ViStatus s = drop_skipped(l, c, dl, preemptable);
  if (s == VI_SUCCESS) s = fill_to(l, c, VX_HISLIP_HEADER_SIZE, dl, preemptable);
  if (s != VI_SUCCESS) return s;
  if (!vx_hislip_decode(c->buf + c->at, h)) {
    writeLog("%s error: HiSLIP %s sent bytes that are no message (no \"HS\" prologue); the link is closed\n", context,
             l->peer);
    return end_for_bad_message(l, c, "no HS prologue");
  }
  c->at += VX_HISLIP_HEADER_SIZE;
  // A length the client never allowed cannot be skipped or waited for: the
  // stream after it is not the peer's next message.
  const uint64_t most = payload_limit(h->type);
  if (h->length > most) {
    writeLog("%s error: HiSLIP %s sent a message of type %u with %llu payload bytes, above the %llu it may carry; "
             "the link is closed\n",
             context, l->peer, (unsigned)h->type, (unsigned long long)h->length, (unsigned long long)most);
    return end_for_bad_message(l, c, "payload length above the maximum");
  }
  return VI_SUCCESS;
}

// Takes up to `cap` bytes of the payload of h into p (*have: how many) and
// leaves the rest to be skipped.
ViStatus take_payload(HislipLink* l, HislipChannel* c, const HislipHeader& h, uint8_t* p, size_t cap,
                      const HislipDeadline& dl, size_t* have) {
  *have = 0;
  const size_t want = h.length < cap ? (size_t)h.length : cap;
  ViStatus s = VI_SUCCESS;
  while (*have < want) {
    size_t got = 0;
    s = take_some(l, c, p + *have, want - *have, dl, false, &got);
    if (s != VI_SUCCESS) break;
    *have += got;
  }
  c->skip = h.length - *have;
  return s;
}

// The exchange when it reads the asynchronous channel itself (asyncLock
// held): sends the message and waits for `expect`, dropping what else comes
// (AsyncInterrupted, AsyncServiceRequest). Up to `cap` bytes of the reply's
// payload go to `payload` (*payloadLength: how many).
ViStatus inline_exchange(HislipLink* l, uint8_t type, uint8_t control, uint32_t parameter, const uint8_t* out,
                         size_t outLength, uint8_t expect, const HislipDeadline& dl, HislipHeader* reply,
                         uint8_t* payload, size_t cap, size_t* payloadLength, const char* context) {
  ViStatus s = send_message(l, &l->async, type, control, parameter, out, outLength);
  if (s != VI_SUCCESS) return s;
  for (;;) {
    s = next_header(l, &l->async, reply, dl, false, context);
    if (s == VI_ERROR_TMO && expect < kOwedTypes && l->asyncOwed[expect] < UINT32_MAX) ++l->asyncOwed[expect];
    if (s != VI_SUCCESS) return s;
    if (reply->type == HISLIP_FATAL_ERROR) return fatal_error(l, &l->async, *reply, dl, context);
    if (reply->type == HISLIP_ERROR) return log_server_error(l, &l->async, *reply, dl, context);
    // The answer to an exchange that timed out comes before this one's.
    if (reply->type < kOwedTypes && l->asyncOwed[reply->type] > 0) {
      --l->asyncOwed[reply->type];
      l->async.skip = reply->length;
      continue;
    }
    if (reply->type != expect) {
      l->async.skip = reply->length;
      continue;
    }
    size_t have = 0;
    s = take_payload(l, &l->async, *reply, payload, cap, dl, &have);
    if (s != VI_SUCCESS) return s;
    if (payloadLength) *payloadLength = have;
    return VI_SUCCESS;
  }
}

// The exchange while the reader runs (asyncLock held): it waits in the
// mail for the reply the reader hands over. Waiting is announced before
// the message goes, so an answer as fast as the network finds it.
ViStatus mail_exchange(HislipLink* l, uint8_t type, uint8_t control, uint32_t parameter, const uint8_t* out,
                       size_t outLength, uint8_t expect, const HislipDeadline& dl, HislipHeader* reply,
                       uint8_t* payload, size_t cap, size_t* payloadLength, const char* context) {
  {
    std::lock_guard<std::mutex> hold(l->mailLock);
    l->mailWaiting = true;
    l->mailExpect = expect;
    l->mailContext = context;
    l->mailDelivered = false;
  }
  ViStatus s = send_message(l, &l->async, type, control, parameter, out, outLength);
  std::unique_lock<std::mutex> hold(l->mailLock);
  while (s == VI_SUCCESS && !l->mailDelivered) {
    uint32_t left;
    if (l->aborted || l->dead) {
      s = VI_ERROR_CONN_LOST;
    } else if (expired(dl, &left)) {
      s = VI_ERROR_TMO;
      // Its answer, when it comes, is not the next exchange's.
      if (expect < kOwedTypes && l->asyncOwed[expect] < UINT32_MAX) ++l->asyncOwed[expect];
    } else {
      l->mailCv.wait_for(hold, std::chrono::milliseconds(left < kSliceMs ? left : kSliceMs));
    }
  }
  l->mailWaiting = false;
  if (s != VI_SUCCESS) return s;
  if (l->mailStatus != VI_SUCCESS) return l->mailStatus;
  *reply = l->mailHeader;
  const size_t n = l->mailLength < cap ? l->mailLength : cap;
  if (n > 0) memcpy(payload, l->mailPayload, n);
  if (payloadLength) *payloadLength = n;
  return VI_SUCCESS;
}

// One exchange on the asynchronous channel (asyncLock held, or the open's
// single thread): sends the message and waits for its reply of type
// `expect`; up to `cap` bytes of the reply's payload go to `payload`
// (*payloadLength: how many).
ViStatus async_exchange(HislipLink* l, uint8_t type, uint8_t control, uint32_t parameter, const uint8_t* out,
                        size_t outLength, uint8_t expect, const HislipDeadline& dl, HislipHeader* reply,
                        uint8_t* payload = nullptr, size_t cap = 0, size_t* payloadLength = nullptr,
                        const char* context = "HiSLIP") {
  if (l->aborted || l->dead) return VI_ERROR_CONN_LOST;
  if (l->readerMode)
    return mail_exchange(l, type, control, parameter, out, outLength, expect, dl, reply, payload, cap, payloadLength,
                         context);
  return inline_exchange(l, type, control, parameter, out, outLength, expect, dl, reply, payload, cap, payloadLength,
                         context);
}

// What the reader does with one message of the asynchronous channel.
void reader_dispatch(HislipLink* l, const HislipHeader& h) {
  HislipChannel* c = &l->async;
  if (h.type == HISLIP_ASYNC_SERVICE_REQUEST) {
    c->skip = h.length;
    // No status byte comes with it: the waiter's status query reads it,
    // and lets the server drop its request.
    l->sink->post(l->sink, -1);
    return;
  }
  const char* context = "HiSLIP";
  {
    std::lock_guard<std::mutex> hold(l->mailLock);
    if (l->mailWaiting) context = l->mailContext;
  }
  // The rest of a message begun follows it at once.
  const HislipDeadline dl = vx_hislip_deadline(kReaderPassMs);
  if (h.type == HISLIP_FATAL_ERROR) {
    fatal_error(l, c, h, dl, context);
    return;
  }
  ViStatus status = VI_SUCCESS;
  uint8_t kept[VX_HISLIP_MAIL_MAX];
  size_t have = 0;
  if (h.type == HISLIP_ERROR) {
    status = log_server_error(l, c, h, dl, context);
  } else if (take_payload(l, c, h, kept, sizeof kept, dl, &have) != VI_SUCCESS) {
    return;  // the link is gone or the reader is asked to end; the rest is skipped
  }
  std::lock_guard<std::mutex> hold(l->mailLock);
  // The answer to an exchange that timed out comes before this one's.
  if (h.type < kOwedTypes && l->asyncOwed[h.type] > 0) {
    --l->asyncOwed[h.type];
    return;
  }
  // AsyncInterrupted and what nobody waits for are dropped.
  if (!l->mailWaiting || l->mailDelivered || (h.type != l->mailExpect && h.type != HISLIP_ERROR)) return;
  l->mailDelivered = true;
  l->mailStatus = status;
  l->mailHeader = h;
  memcpy(l->mailPayload, kept, have);
  l->mailLength = have;
  l->mailCv.notify_all();
}

void reader_main(void* arg) {
  HislipLink* l = static_cast<HislipLink*>(arg);
  ViStatus s = VI_SUCCESS;
  while (!l->readerStop.load() && !l->aborted && !l->dead) {
    HislipHeader h;
    s = next_header(l, &l->async, &h, vx_hislip_deadline(kReaderPassMs), false, "HiSLIP");
    if (s == VI_SUCCESS) {
      reader_dispatch(l, h);
    } else if (s != VI_ERROR_TMO) {
      break;
    }
  }
  if (l->dead && !l->aborted && !l->readerStop.load()) {
    // The asynchronous connection ended: so does the link, as on any lost
    // connection, and a waiter learns it from the status query it makes.
    vx_hislip_cut(l);
    l->sink->post(l->sink, -1);
  }
  std::lock_guard<std::mutex> hold(l->mailLock);
  l->mailCv.notify_all();
}

HislipDeadline link_deadline(const HislipLink* l, uint32_t margin) {
  const uint32_t t = (uint32_t)l->timeoutMs.load();
  if (t == 0) return vx_hislip_deadline(0);
  return vx_hislip_deadline(t > UINT32_MAX - margin ? UINT32_MAX : t + margin);
}

// In synchronized mode a reply belongs to the last message sent; one to an
// earlier message was abandoned by the server (Interrupted) or left unread
// by the caller, and is dropped, as IVI-6.1 has the client do. Overlapped
// mode keeps every reply, in the order of the queries.
bool reply_is_current(const HislipLink* l, uint32_t id) {
  if (l->overlapped) return true;
  return id == VX_HISLIP_UNKNOWN_MESSAGE_ID || (l->sentAny && id == l->lastId);
}

// Data, DataEnd or Trigger on the synchronous channel, with the next id.
ViStatus send_sync(HislipLink* l, uint8_t type, const uint8_t* payload, size_t n, size_t* payloadSent = nullptr) {
  const uint8_t rmt = (!l->overlapped && l->rmt.exchange(false)) ? VX_HISLIP_RMT_DELIVERED : 0;
  const uint32_t id = l->nextId.load();
  ViStatus s = send_message(l, &l->sync, type, rmt, id, payload, n, payloadSent);
  if (s != VI_SUCCESS) {
    if (rmt) l->rmt = true;
    return s;
  }
  l->lastId = id;
  l->sentAny = true;
  l->nextId = id + 2;
  // A reply still being read belongs to an earlier message now.
  if (l->inLeft > 0 && !l->overlapped) {
    l->sync.skip += l->inLeft;
    l->inLeft = 0;
  }
  return VI_SUCCESS;
}

}  // namespace

HislipDeadline vx_hislip_deadline(uint32_t waitMs) { return HislipDeadline{vxp_tick_ms(), waitMs}; }

HislipLink* vx_hislip_new_link() {
  HislipLink* l = new (std::nothrow) HislipLink;
  if (!l) return nullptr;
  l->sync = HislipChannel{VXP_BAD_SOCKET, new (std::nothrow) uint8_t[kSyncBuffer], kSyncBuffer, 0, 0, 0};
  l->async = HislipChannel{VXP_BAD_SOCKET, new (std::nothrow) uint8_t[kAsyncBuffer], kAsyncBuffer, 0, 0, 0};
  l->receive = socket_receive;
  l->peer[0] = '\0';
  l->chunk = kChunkMax;
  l->nextId = VX_HISLIP_FIRST_MESSAGE_ID;
  l->rmt = false;
  l->overlapped = false;
  l->timeoutMs = 1000;  // as a TCP link's first read timeout
  l->aborted = false;
  l->dead = false;
  l->preempt = 0;
  l->lastId = 0;
  l->sentAny = false;
  l->inLeft = 0;
  l->inEnd = false;
  l->heldLength = 0;
  for (uint32_t& owed : l->asyncOwed) owed = 0;
  l->reader = nullptr;
  l->readerMode = false;
  l->readerStop = false;
  l->sink = nullptr;
  l->mailWaiting = false;
  l->mailExpect = 0;
  l->mailContext = "HiSLIP";
  l->mailDelivered = false;
  l->mailStatus = VI_SUCCESS;
  l->mailHeader = HislipHeader{0, 0, 0, 0};
  l->mailLength = 0;
  if (!l->sync.buf || !l->async.buf) {
    vx_hislip_free_link(l);
    return nullptr;
  }
  return l;
}

void vx_hislip_free_link(HislipLink* l) {
  vx_hislip_stop_reader(l);
  if (l->sync.sock != VXP_BAD_SOCKET) vxp_socket_close(l->sync.sock);
  if (l->async.sock != VXP_BAD_SOCKET) vxp_socket_close(l->async.sock);
  delete[] l->sync.buf;
  delete[] l->async.buf;
  delete l;
}

void vx_hislip_cut(HislipLink* l) {
  l->dead = true;
  // The sockets stay open until close, so a thread still inside a call
  // never sees its descriptor reused.
  if (l->sync.sock != VXP_BAD_SOCKET) vxp_socket_interrupt(l->sync.sock);
  if (l->async.sock != VXP_BAD_SOCKET) vxp_socket_interrupt(l->async.sock);
}

bool vx_hislip_initialize(HislipLink* l, const char* subAddress, const HislipDeadline& dl, uint16_t* sessionId) {
  // Protocol 1.0 (upper half), our vendor id "VC" (lower half).
  const uint32_t parameter = 0x01000000u | ((uint32_t)'V' << 8) | (uint32_t)'C';
  HislipHeader h;
  ViStatus s = send_message(l, &l->sync, HISLIP_INITIALIZE, 0, parameter, (const uint8_t*)subAddress,
                            strlen(subAddress));
  while (s == VI_SUCCESS) {
    s = next_header(l, &l->sync, &h, dl, false, "vx_comm_open()");
    if (s != VI_SUCCESS) break;
    if (h.type == HISLIP_FATAL_ERROR || h.type == HISLIP_ERROR) {
      log_server_error(l, &l->sync, h, dl, "vx_comm_open()", true);
      return false;
    }
    if (h.type != HISLIP_INITIALIZE_RESPONSE) {
      l->sync.skip = h.length;
      continue;
    }
    l->sync.skip = h.length;
    const unsigned major = h.parameter >> 24, minor = (h.parameter >> 16) & 0xFF;
    if (major >= 2 && (h.control & VX_HISLIP_ENCRYPTION_MANDATORY)) {
      writeLog("vx_comm_open() error: HiSLIP %s requires an encrypted connection (HiSLIP %u.%u with TLS); this "
               "library speaks HiSLIP 1.0 without encryption\n",
               l->peer, major, minor);
      return false;
    }
    l->overlapped = (h.control & VX_HISLIP_OVERLAPPED) != 0;
    *sessionId = (uint16_t)(h.parameter & 0xFFFF);
    return true;
  }
  writeLog("vx_comm_open() error: HiSLIP %s: no answer to Initialize%s\n", l->peer,
           s == VI_ERROR_TMO ? " in time" : " (connection lost)");
  return false;
}

bool vx_hislip_async_initialize(HislipLink* l, uint16_t sessionId, const HislipDeadline& dl) {
  HislipHeader h;
  ViStatus s = async_exchange(l, HISLIP_ASYNC_INITIALIZE, 0, sessionId, nullptr, 0, HISLIP_ASYNC_INITIALIZE_RESPONSE,
                              dl, &h, nullptr, 0, nullptr, "vx_comm_open()");
  if (s == VI_SUCCESS) return true;
  if (s == VI_ERROR_TMO || (s == VI_ERROR_CONN_LOST && !l->dead))
    writeLog("vx_comm_open() error: HiSLIP %s: no answer to AsyncInitialize%s\n", l->peer,
             s == VI_ERROR_TMO ? " in time" : "");
  return false;
}

bool vx_hislip_max_message_size(HislipLink* l, const HislipDeadline& dl) {
  uint8_t size[8], answer[8];
  vx_hislip_put_be64(size, kOwnMaximum);
  HislipHeader h;
  size_t n = 0;
  ViStatus s = async_exchange(l, HISLIP_ASYNC_MAXIMUM_MESSAGE_SIZE, 0, 0, size, sizeof size,
                              HISLIP_ASYNC_MAXIMUM_MESSAGE_SIZE_RESPONSE, dl, &h, answer, sizeof answer, &n,
                              "vx_comm_open()");
  if (s != VI_SUCCESS || n != sizeof answer) {
    if (s == VI_SUCCESS || s == VI_ERROR_TMO)
      writeLog("vx_comm_open() error: HiSLIP %s: %s to AsyncMaximumMessageSize\n", l->peer,
               s == VI_SUCCESS ? "a reply without its 8-byte size" : "no answer in time");
    return false;
  }
  // Servers differ on whether the size counts the header: leave room for it.
  uint64_t most = vx_hislip_get_be64(answer);
  most = most > VX_HISLIP_HEADER_SIZE ? most - VX_HISLIP_HEADER_SIZE : 1;
  l->chunk = most < kChunkMax ? most : kChunkMax;
  return true;
}

ViStatus vx_hislip_read(HislipLink* l, uint8_t* buffer, size_t count, size_t* moved) {
  *moved = 0;
  if (l->aborted || l->dead) return VI_ERROR_CONN_LOST;
  ViStatus s = vx_hislip_flush(l, false);
  if (s != VI_SUCCESS) return s;
  const HislipDeadline dl = link_deadline(l, 0);
  while (*moved < count) {
    uint32_t left;
    if (expired(dl, &left)) {
      s = VI_ERROR_TMO;
      break;
    }
    if (l->inLeft > 0) {
      size_t want = count - *moved;
      if (want > l->inLeft) want = (size_t)l->inLeft;
      size_t got = 0;
      s = take_some(l, &l->sync, buffer + *moved, want, dl, true, &got);
      if (s != VI_SUCCESS) break;
      *moved += got;
      l->inLeft -= got;
      if (l->inLeft == 0 && l->inEnd) {
        l->rmt = true;
        return VI_SUCCESS;
      }
      continue;
    }
    HislipHeader h;
    s = next_header(l, &l->sync, &h, dl, true, "HiSLIP read");
    if (s != VI_SUCCESS) break;
    switch (h.type) {
      case HISLIP_DATA:
      case HISLIP_DATA_END:
        if (!reply_is_current(l, h.parameter)) {
          l->sync.skip = h.length;
          break;
        }
        l->inLeft = h.length;
        l->inEnd = h.type == HISLIP_DATA_END;
        if (h.length == 0 && l->inEnd) {
          l->rmt = true;
          if (*moved > 0) return VI_SUCCESS;
        }
        break;
      case HISLIP_FATAL_ERROR:
        return fatal_error(l, &l->sync, h, dl, "HiSLIP read");
      case HISLIP_ERROR:
        return log_server_error(l, &l->sync, h, dl, "HiSLIP read");
      default:
        // Interrupted (the abandoned reply's data are dropped by their id),
        // and anything a newer server may send.
        l->sync.skip = h.length;
        break;
    }
  }
  // Bytes that came before a timeout are the caller's; the next read goes on.
  if (s == VI_ERROR_TMO && *moved > 0) return VI_SUCCESS;
  return s;
}

ViStatus vx_hislip_flush(HislipLink* l, bool end) {
  // In pieces the server takes, however small its maximum.
  size_t at = 0;
  ViStatus s = VI_SUCCESS;
  while (s == VI_SUCCESS && at < l->heldLength) {
    size_t n = l->heldLength - at;
    if (n > l->chunk) n = (size_t)l->chunk;
    const bool last = at + n == l->heldLength;
    s = send_sync(l, last && end ? HISLIP_DATA_END : HISLIP_DATA, l->held + at, n);
    at += n;
  }
  l->heldLength = 0;
  return s;
}

namespace {

// Sends `count` bytes in Data messages of the server's size, what was held
// going in front of the first; DataEnd for the last when `end`.
ViStatus send_pieces(HislipLink* l, const uint8_t* p, size_t count, bool end, size_t* moved) {
  uint8_t first[VX_HISLIP_HELD_MAX * 2];
  while (*moved < count) {
    size_t n = count - *moved;
    if (n > l->chunk) n = (size_t)l->chunk;
    const uint8_t* piece = p + *moved;
    size_t prefix = 0;
    if (l->heldLength > 0) {
      // What was held goes in front, in a first message of its own size.
      prefix = l->heldLength;
      if (prefix >= l->chunk) {
        ViStatus s = vx_hislip_flush(l, false);
        if (s != VI_SUCCESS) return s;
        continue;
      }
      if (n > VX_HISLIP_HELD_MAX) n = VX_HISLIP_HELD_MAX;
      if (prefix + n > l->chunk) n = (size_t)(l->chunk - prefix);
      memcpy(first, l->held, prefix);
      memcpy(first + prefix, piece, n);
      piece = first;
      l->heldLength = 0;
    }
    const bool last = *moved + n == count;
    size_t went = 0;
    ViStatus s = send_sync(l, last && end ? HISLIP_DATA_END : HISLIP_DATA, piece, prefix + n, &went);
    if (s != VI_SUCCESS) {
      // What was held counted for the write that gave it.
      if (went > prefix) *moved += went - prefix;
      return s;
    }
    *moved += n;
  }
  return VI_SUCCESS;
}

}  // namespace

ViStatus vx_hislip_write(HislipLink* l, const uint8_t* p, size_t count, size_t* moved, bool mayEnd) {
  *moved = 0;
  if (l->aborted || l->dead) return VI_ERROR_CONN_LOST;
  if (count == 0) return VI_SUCCESS;
  const bool endsLine = mayEnd && p[count - 1] == '\n';
  // A write that ends no line keeps its last bytes back: they go with the
  // next write (a command and its line feed in one message), or end the
  // message as DataEnd when the caller ends it there (vx_hislip_end).
  const size_t keep = endsLine ? 0 : (count < VX_HISLIP_HELD_MAX ? count : VX_HISLIP_HELD_MAX);
  if (keep == count && l->heldLength + count > VX_HISLIP_HELD_MAX) {
    ViStatus s = vx_hislip_flush(l, false);
    if (s != VI_SUCCESS) return s;
  }
  if (keep < count) {
    ViStatus s = send_pieces(l, p, count - keep, endsLine, moved);
    if (s != VI_SUCCESS) return s;
  }
  memcpy(l->held + l->heldLength, p + count - keep, keep);
  l->heldLength += keep;
  *moved = count;
  return VI_SUCCESS;
}

ViStatus vx_hislip_end(HislipLink* l) {
  if (l->aborted || l->dead) return VI_ERROR_CONN_LOST;
  return vx_hislip_flush(l, true);
}

ViStatus vx_hislip_trigger(HislipLink* l) {
  if (l->aborted || l->dead) return VI_ERROR_CONN_LOST;
  ViStatus s = vx_hislip_flush(l, false);
  return s == VI_SUCCESS ? send_sync(l, HISLIP_TRIGGER, nullptr, 0) : s;
}

ViStatus vx_hislip_status(HislipLink* l, ViUInt16* stb) {
  std::lock_guard<std::mutex> hold(l->asyncLock);
  // RMT-delivered tells a synchronized server that the reply it counts in
  // MAV was read. The id is that of the last message sent, so the server
  // knows what it must have seen before it answers.
  const uint8_t rmt = (!l->overlapped && l->rmt.exchange(false)) ? VX_HISLIP_RMT_DELIVERED : 0;
  HislipHeader h;
  ViStatus s = async_exchange(l, HISLIP_ASYNC_STATUS_QUERY, rmt, l->nextId.load() - 2, nullptr, 0,
                              HISLIP_ASYNC_STATUS_RESPONSE, link_deadline(l, kAsyncMarginMs), &h);
  if (s != VI_SUCCESS) {
    if (rmt) l->rmt = true;
    return s;
  }
  *stb = h.control;
  return VI_SUCCESS;
}

ViStatus vx_hislip_remote(HislipLink* l, ViUInt16 mode) {
  std::lock_guard<std::mutex> hold(l->asyncLock);
  // VISA's REN modes 0..6 are HiSLIP's remote/local control codes, in order.
  HislipHeader h;
  return async_exchange(l, HISLIP_ASYNC_REMOTE_LOCAL_CONTROL, (uint8_t)mode, l->nextId.load() - 2, nullptr, 0,
                        HISLIP_ASYNC_REMOTE_LOCAL_RESPONSE, link_deadline(l, kAsyncMarginMs), &h);
}

ViStatus vx_hislip_lock(HislipLink* l, ViInt32 tmoMs) {
  std::lock_guard<std::mutex> hold(l->asyncLock);
  const uint32_t t = (uint32_t)tmoMs;
  const HislipDeadline dl = vx_hislip_deadline(t > UINT32_MAX - kAsyncMarginMs ? 0 : t + kAsyncMarginMs);
  HislipHeader h;
  ViStatus s = async_exchange(l, HISLIP_ASYNC_LOCK, VX_HISLIP_LOCK_REQUEST, t, nullptr, 0, HISLIP_ASYNC_LOCK_RESPONSE,
                              dl, &h, nullptr, 0, nullptr, "HiSLIP lock");
  if (s != VI_SUCCESS) return s;
  if (h.control == VX_HISLIP_LOCK_SUCCESS) return VI_SUCCESS;
  if (h.control == VX_HISLIP_LOCK_FAILED) {
    writeLog("HiSLIP error: %s: the lock is held by another client; not given within %u ms: VI_ERROR_RSRC_LOCKED\n",
             l->peer, (unsigned)t);
    return VI_ERROR_RSRC_LOCKED;
  }
  writeLog("HiSLIP error: %s: the lock request answered error (code %u)\n", l->peer, (unsigned)h.control);
  return VI_ERROR_SYSTEM_ERROR;
}

ViStatus vx_hislip_unlock(HislipLink* l) {
  std::lock_guard<std::mutex> hold(l->asyncLock);
  // The release names the last message sent, so the server lets go after
  // it has taken that message.
  HislipHeader h;
  ViStatus s = async_exchange(l, HISLIP_ASYNC_LOCK, VX_HISLIP_LOCK_RELEASE, l->nextId.load() - 2, nullptr, 0,
                              HISLIP_ASYNC_LOCK_RESPONSE, link_deadline(l, kAsyncMarginMs), &h, nullptr, 0, nullptr,
                              "HiSLIP unlock");
  if (s != VI_SUCCESS) return s;
  if (h.control == VX_HISLIP_LOCK_SUCCESS || h.control == VX_HISLIP_LOCK_SHARED_RELEASED) return VI_SUCCESS;
  writeLog("HiSLIP error: %s: the lock release answered error (code %u): no lock held by this link\n", l->peer,
           (unsigned)h.control);
  return VI_ERROR_SYSTEM_ERROR;
}

// AsyncDeviceClear, its acknowledge, DeviceClearComplete and
// DeviceClearAcknowledge (IVI-6.1 device clear). A call in flight on the
// synchronous channel in another thread (vx_comm_clear_async) is asked to
// give it up first and returns VI_ERROR_TMO.
ViStatus vx_hislip_clear(HislipLink* l) {
  std::lock_guard<std::mutex> one(l->clearLock);
  l->preempt.fetch_add(1);
  std::unique_lock<std::mutex> sync(l->syncLock, std::try_to_lock);
  if (!sync.owns_lock()) vx_lock_within(sync, kClearTakeoverMs);
  l->preempt.fetch_sub(1);
  if (!sync.owns_lock()) return VI_ERROR_TMO;
  if (l->aborted || l->dead) return VI_ERROR_CONN_LOST;
  l->heldLength = 0;  // half a command is what a clear throws away
  const HislipDeadline dl =
      l->timeoutMs.load() == 0 ? vx_hislip_deadline(kClearNoLimitMs) : link_deadline(l, kAsyncMarginMs);
  HislipHeader h;
  {
    std::lock_guard<std::mutex> hold(l->asyncLock);
    ViStatus s = async_exchange(l, HISLIP_ASYNC_DEVICE_CLEAR, 0, 0, nullptr, 0, HISLIP_ASYNC_DEVICE_CLEAR_ACKNOWLEDGE,
                                dl, &h, nullptr, 0, nullptr, "HiSLIP clear");
    if (s != VI_SUCCESS) return s;
  }
  // The server drops what it had; so does the client, up to the server's
  // DeviceClearAcknowledge. Synchronized mode is asked for; a server that
  // offers only overlapped mode says so in its acknowledge.
  ViStatus s = send_message(l, &l->sync, HISLIP_DEVICE_CLEAR_COMPLETE, 0, 0, nullptr, 0);
  if (s != VI_SUCCESS) return s;
  l->sync.skip += l->inLeft;
  l->inLeft = 0;
  for (;;) {
    s = next_header(l, &l->sync, &h, dl, false, "HiSLIP clear");
    if (s != VI_SUCCESS) return s;
    if (h.type == HISLIP_FATAL_ERROR) return fatal_error(l, &l->sync, h, dl, "HiSLIP clear");
    l->sync.skip = h.length;
    if (h.type == HISLIP_DEVICE_CLEAR_ACKNOWLEDGE) break;
  }
  l->overlapped = (h.control & VX_HISLIP_OVERLAPPED) != 0;
  // Message ids start again after a clear.
  l->nextId = VX_HISLIP_FIRST_MESSAGE_ID;
  l->sentAny = false;
  l->rmt = false;
  return VI_SUCCESS;
}

void vx_hislip_stop_reader(HislipLink* l) {
  std::lock_guard<std::mutex> one(l->readerSwitch);
  if (!l->reader) return;
  l->readerStop = true;
  vxp_thread_join(l->reader);
  l->reader = nullptr;
  l->readerStop = false;
}

ViStatus vx_hislip_srq_enable(HislipLink* l, SrqSink* sink) {
  // Between exchanges: the channel changes hands with nobody reading it.
  std::lock_guard<std::mutex> hold(l->asyncLock);
  if (!sink) {
    vx_hislip_stop_reader(l);
    l->readerMode = false;
    return VI_SUCCESS;
  }
  std::lock_guard<std::mutex> one(l->readerSwitch);
  // After the abort's look at the reader, none starts.
  if (l->aborted || l->dead) return VI_ERROR_CONN_LOST;
  if (l->reader) return VI_SUCCESS;
  l->sink = sink;
  l->readerMode = true;
  l->reader = vxp_thread_start(reader_main, l, kReaderStack);
  if (!l->reader) {
    l->readerMode = false;
    writeLog("HiSLIP error: %s: no thread for the service requests\n", l->peer);
    return VI_ERROR_SYSTEM_ERROR;
  }
  return VI_SUCCESS;
}
