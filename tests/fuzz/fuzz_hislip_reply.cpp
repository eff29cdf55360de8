// The HiSLIP client fed any server bytes from memory, in two modes chosen
// by the first input byte.
//
// Reader mode (even): the synchronous channel's reader alone. Reads return
// exactly the payloads of the Data/DataEnd messages a model parser keeps
// (id 0xFFFFFFFF, or every id in overlapped mode; no message was sent), in
// order, up to the first Error, FatalError, bad prologue or cut message; no
// read crosses the end of a reply (DataEnd), and none moves more than it
// was asked for. Receives may time out or be preempted by a clear on the
// way; the reads after them go on where they stopped.
//
// Session mode (odd): a script of the link's operations (Initialize,
// AsyncInitialize, the maximum size, writes, reads, status, remote control,
// trigger, clear, preemption, service requests on and off: the reader
// thread of the asynchronous channel) against server bytes for each channel, with
// receives that hand over pieces, time out or are preempted. What the
// client sends goes into socket pairs and is parsed back. Checked after
// every operation: it ended within its time bound (a server that floods
// messages without end does not hold it); no length above the announced
// maximum was taken from the server (what is being read or skipped) or
// sent to it (Data payloads within the server's size); the message ids of
// the synchronous channel run on by two and start again after a clear, and
// a status query names the last one sent.
//
// Seeds: corpus/hislip_reply/seed-session-* are sessions of the simulator
// recorded by capture_hislip_session.py (see docs/fuzzing.md).
#include <fuzzer/FuzzedDataProvider.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "platform/clock.h"
#include "transport/hislip/hislip_link.h"

namespace {

using Clock = std::chrono::steady_clock;

// What the client announces and what a server's lengths are held to.
const uint64_t kAnnounced = 1u << 20;
// Headroom over a call's own bound for a loaded machine and the sanitizers.
const int kSlackMs = 1000;
// Async exchanges may wait this much beyond the link timeout.
const int kAsyncMarginMs = 1000;
const int kSessionBudgetMs = 3000;

// A channel's server side as the receive hook sees it.
struct Feed {
  std::string bytes;
  size_t at = 0;
  std::string events;  // one per receive: a piece size, a timeout or a preemption
  size_t event = 0;
  std::string flood;  // handed out without end once the bytes are used up (empty: the server closes)
  size_t floodAt = 0;
  unsigned long floods = 0;
};

Feed g_sync, g_async;
// Set while the link's reader thread receives on the asynchronous channel.
std::atomic<bool> g_reader{false};

Feed& feed_of(HislipLink* l, HislipChannel* c) { return c == &l->async ? g_async : g_sync; }

ViStatus memory_receive(HislipLink* l, HislipChannel* c, uint8_t* p, size_t n, const HislipDeadline& dl,
                        bool preemptable, size_t* got) {
  *got = 0;
  if (preemptable && l->preempt.load() > 0) return VI_ERROR_TMO;
  if (c == &l->async && g_reader.load()) {
    // The server answers queries: bytes come while an exchange waits for
    // its reply, requests and all. Otherwise nothing comes for a moment.
    bool answering;
    {
      std::lock_guard<std::mutex> hold(l->mailLock);
      answering = l->mailWaiting && !l->mailDelivered;
    }
    if (!answering) {
      vxp_sleep_ms(1);
      return VI_ERROR_TMO;
    }
  }
  Feed& f = feed_of(l, c);
  size_t piece = n;
  if (f.event < f.events.size()) {
    const uint8_t e = (uint8_t)f.events[f.event++];
    if (e >= 240) return VI_ERROR_TMO;  // the deadline passed while nothing came
    if (e >= 224 && preemptable) {
      // A clear asks for the channel: the call gives it up.
      return VI_ERROR_TMO;
    }
    piece = (size_t)e % 64 + 1;
    if (e >= 128 && e < 224) piece = ((size_t)e - 127) * 700;
  }
  if (f.at >= f.bytes.size()) {
    if (f.flood.empty()) {
      l->dead = true;  // as a peer that closed
      return VI_ERROR_CONN_LOST;
    }
    // A flood never runs dry. As the sockets' reader does, each receive
    // looks at the deadline it is given: a call that passes its deadline
    // on, and nothing newer, ends in time; one that waits without limit
    // meets the server's end.
    const uint32_t spent = vxp_tick_ms() - dl.start;
    if (dl.waitMs != 0 && spent > dl.waitMs) return VI_ERROR_TMO;
    if (dl.waitMs == 0 && ++f.floods > 1000000) {
      l->dead = true;
      return VI_ERROR_CONN_LOST;
    }
    const size_t k = std::min(n, piece);
    for (size_t i = 0; i < k; ++i) p[i] = (uint8_t)f.flood[(f.floodAt + i) % f.flood.size()];
    f.floodAt = (f.floodAt + k) % f.flood.size();
    *got = k;
    return VI_SUCCESS;
  }
  const size_t k = std::min({n, piece, f.bytes.size() - f.at});
  memcpy(p, f.bytes.data() + f.at, k);
  f.at += k;
  *got = k;
  return VI_SUCCESS;
}

uint64_t be(const std::string& s, size_t at, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | (uint8_t)s[at + (size_t)i];
  return v;
}

// ---------------------------------------------------------------- reader --

// The standard's bound of each reply's payload: the announced maximum,
// 8 bytes for the size response, none for the other replies it defines.
uint64_t most_payload(uint8_t type) {
  switch (type) {
    case HISLIP_INITIALIZE_RESPONSE: case HISLIP_DEVICE_CLEAR_ACKNOWLEDGE: case HISLIP_ASYNC_REMOTE_LOCAL_RESPONSE:
    case HISLIP_INTERRUPTED: case HISLIP_ASYNC_INTERRUPTED: case HISLIP_ASYNC_INITIALIZE_RESPONSE:
    case HISLIP_ASYNC_SERVICE_REQUEST: case HISLIP_ASYNC_STATUS_RESPONSE: case HISLIP_ASYNC_DEVICE_CLEAR_ACKNOWLEDGE:
      return 0;
    case HISLIP_ASYNC_MAXIMUM_MESSAGE_SIZE_RESPONSE:
      return 8;
    default:
      return kAnnounced;
  }
}

// What the reader must deliver, and where replies end in it.
void model(const std::string& s, bool overlapped, std::string* kept, std::vector<size_t>* ends) {
  size_t at = 0;
  while (s.size() - at >= VX_HISLIP_HEADER_SIZE) {
    if (s[at] != 'H' || s[at + 1] != 'S') return;
    const uint8_t type = (uint8_t)s[at + 2];
    const uint32_t id = (uint32_t)be(s, at + 4, 4);
    const uint64_t length = be(s, at + 8, 8);
    at += VX_HISLIP_HEADER_SIZE;
    if (type == HISLIP_ERROR || type == HISLIP_FATAL_ERROR) return;
    // A length the client never allowed ends the link.
    if (length > most_payload(type)) return;
    const bool data = type == HISLIP_DATA || type == HISLIP_DATA_END;
    const size_t have = (size_t)std::min<uint64_t>(length, s.size() - at);
    if (data && (overlapped || id == VX_HISLIP_UNKNOWN_MESSAGE_ID)) {
      kept->append(s, at, have);
      if (type == HISLIP_DATA_END && have == length) ends->push_back(kept->size());
    }
    if (have < length) return;
    at += have;
  }
}

void run_reader(FuzzedDataProvider& in) {
  const bool overlapped = in.ConsumeBool();
  std::vector<size_t> counts;
  for (int i = 0; i < 3; ++i) counts.push_back(in.ConsumeIntegralInRange<size_t>(1, 100000));
  g_sync.events = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 64));
  g_sync.bytes = in.ConsumeRemainingBytesAsString();

  HislipLink* l = vx_hislip_new_link();
  if (!l) return;
  l->receive = memory_receive;
  l->overlapped = overlapped;
  std::string kept;
  std::vector<size_t> ends;
  model(g_sync.bytes, overlapped, &kept, &ends);
  std::string got;
  std::vector<uint8_t> buf;
  // Every read takes at least one byte of the feed or one event, or ends
  // the loop.
  for (size_t k = 0; k <= g_sync.bytes.size() + g_sync.events.size() + 1; ++k) {
    const size_t count = counts[k % counts.size()];
    buf.assign(count + 1, 0xA5);
    size_t moved = 0;
    ViStatus s = vx_hislip_read(l, buf.data(), count, &moved);
    VX_FUZZ_CHECK(moved <= count && buf[count] == 0xA5);
    VX_FUZZ_CHECK(s != VI_SUCCESS || moved >= 1);
    VX_FUZZ_CHECK(l->inLeft + l->sync.skip <= kAnnounced);
    for (size_t e : ends) VX_FUZZ_CHECK(!(got.size() < e && e < got.size() + moved));
    got.append((const char*)buf.data(), moved);
    if (s != VI_SUCCESS && !(s == VI_ERROR_TMO && !l->dead)) break;
  }
  vx_hislip_free_link(l);
  VX_FUZZ_CHECK(got == kept);
}

// --------------------------------------------------------------- session --

// One channel's sending side: the client's socket and its peer here.
struct Sent {
  int peer = -1;
  std::string bytes;
  size_t parsed = 0;

  void drain() {
    char buf[65536];
    for (;;) {
      ssize_t n = read(peer, buf, sizeof buf);
      if (n <= 0) return;
      bytes.append(buf, (size_t)n);
    }
  }
  // The next whole message sent, if any.
  bool next(HislipHeader* h) {
    if (bytes.size() - parsed < VX_HISLIP_HEADER_SIZE) return false;
    VX_FUZZ_CHECK(vx_hislip_decode((const uint8_t*)bytes.data() + parsed, h));
    // Sends are whole messages unless a send timed out, which cuts the link.
    if (bytes.size() - parsed - VX_HISLIP_HEADER_SIZE < h->length) return false;
    parsed += VX_HISLIP_HEADER_SIZE + (size_t)h->length;
    return true;
  }
};

bool socket_pair(HislipChannel* c, Sent* s) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
  c->sock = (vxp_socket)fds[0];
  s->peer = fds[1];
  fcntl(s->peer, F_SETFL, fcntl(s->peer, F_GETFL) | O_NONBLOCK);
  return true;
}

// Everything the session's checks follow of what the client sent.
struct Ids {
  uint32_t expected = VX_HISLIP_FIRST_MESSAGE_ID;  // the next Data, DataEnd or Trigger
  uint32_t last = VX_HISLIP_FIRST_MESSAGE_ID - 2;  // the last one sent
  bool clearSent = false;                          // DeviceClearComplete since the last
};

void check_sync_sent(HislipLink* l, Sent* s, Ids* ids) {
  s->drain();
  HislipHeader h;
  while (s->next(&h)) {
    if (h.type == HISLIP_DATA || h.type == HISLIP_DATA_END || h.type == HISLIP_TRIGGER) {
      // A clear that completed starts the ids again; one that failed after
      // DeviceClearComplete leaves them running.
      const bool restarted = ids->clearSent && h.parameter == VX_HISLIP_FIRST_MESSAGE_ID;
      VX_FUZZ_CHECK(h.parameter == ids->expected || restarted);
      ids->last = h.parameter;
      ids->expected = h.parameter + 2;
      ids->clearSent = false;
      VX_FUZZ_CHECK(h.length <= l->chunk && h.length <= kAnnounced);
    } else if (h.type == HISLIP_DEVICE_CLEAR_COMPLETE) {
      ids->clearSent = true;
    }
  }
}

void check_async_sent(Sent* s, const Ids& ids) {
  s->drain();
  HislipHeader h;
  while (s->next(&h)) {
    // The status query names the last message sent, or the one before the
    // first after Initialize or a clear.
    if (h.type == HISLIP_ASYNC_STATUS_QUERY)
      VX_FUZZ_CHECK(h.parameter == ids.last || h.parameter == VX_HISLIP_FIRST_MESSAGE_ID - 2);
  }
}

enum Op { INIT, ASYNC_INIT, MAX_SIZE, WRITE_LINE, WRITE_HELD, READ, STATUS, REMOTE, TRIGGER, CLEAR, PREEMPTED_READ, LOCK,
          UNLOCK, SRQ_ON, SRQ_OFF, N_OPS };

// Service requests the reader posted; none may come once it is stopped.
std::atomic<unsigned long> g_posts{0};
void count_post(SrqSink*, int stb) {
  VX_FUZZ_CHECK(stb == -1);
  ++g_posts;
}

// Input: the timeout (1..20 ms), whether the server floods, then sections
// as a capture writes them: a tag, a 16-bit big-endian length, the bytes.
void run_session(const uint8_t* data, size_t size) {
  if (size < 2) return;
  const uint32_t tmo = 1 + data[0] % 20;
  const bool flood = data[1] & 1;
  std::string ops;
  for (size_t at = 2; at + 3 <= size;) {
    const uint8_t tag = data[at];
    const size_t n = std::min<size_t>((size_t)data[at + 1] << 8 | data[at + 2], size - at - 3);
    std::string part((const char*)data + at + 3, n);
    at += 3 + n;
    switch (tag % 5) {
      case 0: g_sync.bytes += part; break;
      case 1: g_async.bytes += part; break;
      case 2: ops += part; break;
      case 3: g_sync.events += part; break;
      default: g_async.events += part; break;
    }
  }
  if (ops.size() > 128) ops.resize(128);
  if (flood) {
    // Empty Data of the message being answered, for ever.
    uint8_t h[VX_HISLIP_HEADER_SIZE];
    vx_hislip_encode(h, HISLIP_DATA, 0, VX_HISLIP_FIRST_MESSAGE_ID, 0);
    g_sync.flood.assign((const char*)h, sizeof h);
  }

  HislipLink* l = vx_hislip_new_link();
  if (!l) return;
  Sent sentSync, sentAsync;
  if (!socket_pair(&l->sync, &sentSync) || !socket_pair(&l->async, &sentAsync)) {
    if (sentSync.peer >= 0) close(sentSync.peer);
    vx_hislip_free_link(l);
    return;
  }
  l->receive = memory_receive;
  l->timeoutMs = (int32_t)tmo;
  vxp_set_send_timeout(l->sync.sock, tmo);
  vxp_set_send_timeout(l->async.sock, tmo);
  snprintf(l->peer, sizeof l->peer, "fuzz:4880");
  Ids ids;
  std::vector<uint8_t> buf;
  // Exchanges with the reader wait in real time for replies that may never
  // come: the script stops after this much.
  const auto budgetEnd = Clock::now() + std::chrono::milliseconds(kSessionBudgetMs);
  SrqSink sink{count_post, nullptr};
  bool collecting = false;  // the reader owns the asynchronous channel's receiving side
  // Operations in pairs: the operation, its argument.
  for (size_t i = 0; i + 1 < ops.size() && Clock::now() < budgetEnd; i += 2) {
    const uint8_t op = (uint8_t)ops[i];
    const uint8_t arg = (uint8_t)ops[i + 1];
    int boundMs = (int)tmo;
    const auto t0 = Clock::now();
    ViStatus s = VI_SUCCESS;
    size_t moved = 0;
    switch (op % N_OPS) {
      case INIT: {
        uint16_t session = 0;
        vx_hislip_initialize(l, "hislip0", vx_hislip_deadline(tmo), &session);
        break;
      }
      case ASYNC_INIT:
        boundMs = (int)tmo;
        vx_hislip_async_initialize(l, 1, vx_hislip_deadline(tmo));
        break;
      case MAX_SIZE:
        vx_hislip_max_message_size(l, vx_hislip_deadline(tmo));
        break;
      case WRITE_LINE: {
        const std::string line = "ECHO " + std::string(arg, 'w') + "\n";
        s = vx_hislip_write(l, (const uint8_t*)line.data(), line.size(), &moved);
        VX_FUZZ_CHECK(moved <= line.size());
        break;
      }
      case WRITE_HELD: {
        // A command without its line end, held back and then ended.
        const std::string part(1 + (size_t)arg * 13, 'h');
        s = vx_hislip_write(l, (const uint8_t*)part.data(), part.size(), &moved);
        if (s == VI_SUCCESS) s = vx_hislip_end(l);
        boundMs = 2 * (int)tmo;
        break;
      }
      case READ:
      case PREEMPTED_READ: {
        const size_t count = arg % 2 ? (size_t)arg * 40 : (size_t)arg + 1;
        buf.assign(count + 1, 0xA5);
        if (op % N_OPS == PREEMPTED_READ) l->preempt = 1;
        s = vx_hislip_read(l, buf.data(), count, &moved);
        l->preempt = 0;
        VX_FUZZ_CHECK(moved <= count && buf[count] == 0xA5);
        boundMs = 2 * (int)tmo;  // a flush of what was held, then the read
        break;
      }
      case STATUS: {
        ViUInt16 stb = 0;
        s = vx_hislip_status(l, &stb);
        boundMs = (int)tmo + kAsyncMarginMs;
        break;
      }
      case REMOTE:
        s = vx_hislip_remote(l, arg % 7);
        boundMs = (int)tmo + kAsyncMarginMs;
        break;
      case TRIGGER:
        s = vx_hislip_trigger(l);
        boundMs = 2 * (int)tmo;
        break;
      case LOCK:
        // The lock's own wait (0 to the link timeout) bounds the exchange.
        s = vx_hislip_lock(l, (ViInt32)(arg % (tmo + 1)));
        boundMs = (int)(arg % (tmo + 1)) + kAsyncMarginMs;
        break;
      case UNLOCK:
        s = vx_hislip_unlock(l);
        boundMs = (int)tmo + kAsyncMarginMs;
        break;
      case SRQ_ON:
        g_reader = true;
        s = vx_hislip_srq_enable(l, &sink);
        collecting = collecting || s == VI_SUCCESS;
        g_reader = collecting;
        break;
      case SRQ_OFF: {
        s = vx_hislip_srq_enable(l, nullptr);
        collecting = false;
        g_reader = false;
        const unsigned long posts = g_posts.load();
        vxp_sleep_ms(1);
        VX_FUZZ_CHECK(g_posts.load() == posts);
        break;
      }
      default:
        s = vx_hislip_clear(l);
        boundMs = 2 * ((int)tmo + kAsyncMarginMs);
        break;
    }
    (void)s;
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    if (getenv("VX_FUZZ_TRACE") || spent > boundMs + kSlackMs) fprintf(stderr, "operation %d took %lld ms, bound %d ms\n", op % N_OPS, (long long)spent, boundMs);
    VX_FUZZ_CHECK(spent <= boundMs + kSlackMs);
    VX_FUZZ_CHECK(l->inLeft + l->sync.skip <= kAnnounced);
    if (!collecting) VX_FUZZ_CHECK(l->async.skip <= kAnnounced);
    check_sync_sent(l, &sentSync, &ids);
    check_async_sent(&sentAsync, ids);
    if (l->dead && (g_sync.at >= g_sync.bytes.size() || l->aborted)) break;
  }
  close(sentSync.peer);
  close(sentAsync.peer);
  vx_hislip_free_link(l);
  g_reader = false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx_fuzz_init();
  if (size == 0) return 0;
  g_sync = Feed();
  g_async = Feed();
  if (data[0] % 2 == 0) {
    FuzzedDataProvider in(data + 1, size - 1);
    run_reader(in);
  } else {
    run_session(data + 1, size - 1);
  }
  return 0;
}
