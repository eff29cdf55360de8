// RPC replies on a VXI-11 stream. First the record marking on its own
// (fragments, the last-fragment bit, the bound, a record taken whole once
// `enough` bytes came without the bit), fed in pieces of any size and
// checked against a model of the fragment stream. Then the same bytes as
// the replies to a run of VXI-11 calls on a channel over a fake peer and
// clock: receives that come late, time out, or end (a close's interrupt),
// sends that stall. Oracles: no call returns later than its wait on the
// fake clock; no reply taken is longer than its call announced
// (device_read: the request and its slack), nor bears another call's xid,
// and its data stays inside it; a lost channel stays lost and costs no
// time; a timeout leaves the channel usable.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "transport/vxi11/rpc_client.h"
#include "transport/vxi11/rpc_record.h"
#include "transport/vxi11/vxi11_core.h"

namespace {

struct Pieces {
  const uint8_t* data;
  size_t left;
  std::vector<size_t> sizes;
  size_t next;
};

RpcReceive take(void* context, uint8_t* buf, size_t len, size_t* got) {
  Pieces* p = static_cast<Pieces*>(context);
  if (p->left == 0) return RPC_RECV_ENDED;
  size_t n = p->next < p->sizes.size() ? p->sizes[p->next++] : p->left;
  if (n == 0) return RPC_RECV_TIMED_OUT;
  if (n > len) n = len;
  if (n > p->left) n = p->left;
  memcpy(buf, p->data, n);
  p->data += n;
  p->left -= n;
  *got = n;
  return RPC_RECV_BYTES;
}

// The record the stream holds, read the simple way; false when the stream
// ends first or the record exceeds the limit.
bool model_record(const std::string& s, size_t limit, size_t enough, std::string* record) {
  size_t at = 0;
  record->clear();
  for (int i = 0; i < 4096; ++i) {
    if (s.size() - at < 4) return false;
    const uint32_t word = (uint32_t)(uint8_t)s[at] << 24 | (uint32_t)(uint8_t)s[at + 1] << 16 |
                          (uint32_t)(uint8_t)s[at + 2] << 8 | (uint8_t)s[at + 3];
    at += 4;
    const size_t n = word & 0x7FFFFFFFu;
    if (n > limit - record->size()) return false;
    if (s.size() - at < n) return false;
    record->append(s, at, n);
    at += n;
    if ((word & 0x80000000u) || (enough > 0 && record->size() >= enough)) return true;
  }
  return false;
}

// ------------------------------------------------------ the fake peer --

struct Event {
  size_t size;     // bytes this receive hands over at most
  uint32_t delay;  // ms before they come
  bool end;        // the connection ends here instead (a close's interrupt)
};

struct FakePeer {
  const uint8_t* data;
  size_t left;
  std::vector<Event> events;
  size_t next;
  uint32_t clock;
  uint32_t sendDelay;  // ms each send takes
  size_t sendChunk;    // bytes each send takes at most
  bool sendFails;      // sends fail: the connection is gone
};

uint32_t fake_tick(void* context) { return static_cast<FakePeer*>(context)->clock; }

// Waits as a socket with that timeout would: never longer.
bool fake_wait(FakePeer* p, uint32_t* delay, uint32_t timeoutMs) {
  if (timeoutMs != 0 && *delay > timeoutMs) {
    p->clock += timeoutMs;
    *delay -= timeoutMs;
    return false;
  }
  p->clock += *delay;
  *delay = 0;
  return true;
}

RpcReceive fake_receive(void* context, uint8_t* buf, size_t len, size_t* got, uint32_t timeoutMs) {
  FakePeer* p = static_cast<FakePeer*>(context);
  size_t n = p->left;
  const uint32_t began = p->clock;
  if (p->next < p->events.size()) {
    Event& e = p->events[p->next];
    if (!fake_wait(p, &e.delay, timeoutMs)) return RPC_RECV_TIMED_OUT;
    if (e.end) return RPC_RECV_ENDED;  // and stays ended: the event is not passed
    n = e.size;
    ++p->next;
  }
  if (p->left == 0) {
    // Silence: a wait without a limit would never end; the test ends it.
    if (timeoutMs == 0) return RPC_RECV_ENDED;
    p->clock = began + timeoutMs;
    return RPC_RECV_TIMED_OUT;
  }
  if (n > len) n = len;
  if (n > p->left) n = p->left;
  memcpy(buf, p->data, n);
  p->data += n;
  p->left -= n;
  *got = n;
  return RPC_RECV_BYTES;
}

int64_t fake_send(void* context, const uint8_t*, size_t len, uint32_t timeoutMs) {
  FakePeer* p = static_cast<FakePeer*>(context);
  if (p->sendFails) return -1;
  uint32_t delay = p->sendDelay;
  if (!fake_wait(p, &delay, timeoutMs)) return 0;
  return (int64_t)(len < p->sendChunk ? len : p->sendChunk);
}

// The reply size a call announces to the record reader, as vxi11_core sets it.
const size_t kSmallReply = 1024, kReadSlack = 65536;

void run_calls(FuzzedDataProvider& in, uint32_t xid0, const std::string& stream) {
  FakePeer peer{reinterpret_cast<const uint8_t*>(stream.data()), stream.size(), {}, 0, 0, 0, 1, false};
  const size_t eventCount = in.ConsumeIntegralInRange<size_t>(0, 16);
  for (size_t i = 0; i < eventCount; ++i) {
    const size_t size = in.ConsumeIntegralInRange<size_t>(1, 256);
    const uint32_t delay = in.ConsumeIntegralInRange<uint32_t>(0, 3000);
    peer.events.push_back(Event{size, delay, in.ConsumeIntegralInRange<int>(0, 15) == 15});
  }
  peer.sendDelay = in.ConsumeIntegralInRange<uint32_t>(0, 1500);
  peer.sendChunk = in.ConsumeIntegralInRange<size_t>(1, 1024);
  peer.sendFails = in.ConsumeIntegralInRange<int>(0, 15) == 15;
  const RpcChannelIo io{&peer, fake_send, fake_receive, fake_tick};
  RpcChannel ch;
  vx_rpc_channel_init_io(&ch, &io);
  ch.xid = xid0;
  const size_t callCount = in.ConsumeIntegralInRange<size_t>(1, 6);
  static const uint8_t kWrite[] = "*IDN?\n";
  for (size_t c = 0; c < callCount; ++c) {
    const int proc = in.ConsumeIntegralInRange<int>(0, 4);
    const uint32_t waitMs = in.ConsumeIntegralInRange<uint32_t>(0, 3000);
    const uint32_t request = in.ConsumeIntegralInRange<uint32_t>(0, 8192);
    const bool wasBroken = ch.broken;
    const uint32_t start = peer.clock;
    size_t announced = kSmallReply;
    Vxi11Result r{RPC_OK, 0};
    const uint8_t* data = nullptr;
    uint32_t length = 0, reason = 0, accepted = 0;
    switch (proc) {
      case 0: {
        Vxi11Link link{0, 0, 0};
        r = vx_vxi11_create_link(&ch, "inst0", waitMs, &link);
        break;
      }
      case 1:
        r = vx_vxi11_write(&ch, 1, kWrite, sizeof kWrite - 1, true, waitMs, waitMs, waitMs, &accepted);
        break;
      case 2:
        announced = (size_t)request + kReadSlack;
        r = vx_vxi11_read(&ch, 1, request, waitMs, waitMs, waitMs, &data, &length, &reason);
        break;
      case 3: {
        uint8_t stb = 0;
        r = vx_vxi11_generic(&ch, VXI11_READSTB, 1, waitMs, waitMs, waitMs, &stb);
        break;
      }
      default:
        r = vx_vxi11_destroy_link(&ch, 1, waitMs);
        break;
    }
    // No call past its bound.
    if (waitMs != 0) VX_FUZZ_CHECK(peer.clock - start <= waitMs);
    if (wasBroken) VX_FUZZ_CHECK(r.rpc == RPC_LOST && peer.clock == start);
    if (r.rpc == RPC_LOST) VX_FUZZ_CHECK(ch.broken);
    if (r.rpc == RPC_OK) {
      // The reply taken answers this call and is no longer than it announced.
      VX_FUZZ_CHECK(ch.reply.length >= 8 && ch.reply.length <= announced);
      VX_FUZZ_CHECK(vx_xdr_load(ch.reply.data) == ch.xid);
      if (proc == 2 && length > 0) {
        VX_FUZZ_CHECK(data >= ch.reply.data && data + length <= ch.reply.data + ch.reply.length);
        VX_FUZZ_CHECK(length <= announced);
      }
    }
    if (proc == 1) VX_FUZZ_CHECK(r.rpc == RPC_OK || accepted == 0);
  }
  vx_rpc_channel_close(&ch);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx_fuzz_init();
  FuzzedDataProvider in(data, size);
  // The front: the xid before the first call's (the replies' xids follow
  // it); the back: the parameters; in between, the stream.
  const std::vector<uint8_t> front = in.ConsumeBytes<uint8_t>(4);
  uint32_t xid0 = 0;
  for (uint8_t b : front) xid0 = xid0 << 8 | b;
  const size_t limit = in.ConsumeIntegralInRange<size_t>(0, 4096);
  const size_t enough = in.ConsumeBool() ? 28 : 0;
  Pieces p{nullptr, 0, {}, 0};
  const size_t pieceCount = in.ConsumeIntegralInRange<size_t>(0, 16);
  for (size_t i = 0; i < pieceCount; ++i) p.sizes.push_back(in.ConsumeIntegralInRange<size_t>(1, 64));
  const size_t streamLength = in.ConsumeIntegralInRange<size_t>(0, 1u << 16);
  const std::string stream = in.ConsumeBytesAsString(streamLength);
  p.data = reinterpret_cast<const uint8_t*>(stream.data());
  p.left = stream.size();

  RpcBuffer buffer{nullptr, 0, 0};
  const RpcByteSource source{&p, take};
  const RpcRecordResult r = vx_rpc_record_read(&source, &buffer, limit, enough);
  std::string expected;
  const bool whole = model_record(stream, limit, enough, &expected);
  VX_FUZZ_CHECK((r == RPC_RECORD_OK) == whole);
  if (r == RPC_RECORD_OK) {
    VX_FUZZ_CHECK(buffer.length == expected.size() && buffer.length <= limit);
    VX_FUZZ_CHECK(expected.empty() || memcmp(buffer.data, expected.data(), expected.size()) == 0);
    XdrReader results;
    if (vx_rpc_take_reply(buffer.data, buffer.length, xid0 + 1, &results) == RPC_REPLY_OK) {
      // device_read's results: error, reason, data; never beyond the record.
      vx_xdr_get(&results);
      vx_xdr_get(&results);
      const uint8_t* bytes;
      uint32_t n;
      vx_xdr_get_opaque(&results, &bytes, &n);
      if (results.ok) {
        VX_FUZZ_CHECK(bytes >= buffer.data && bytes + n <= buffer.data + buffer.length);
        VX_FUZZ_CHECK(results.data <= buffer.data + buffer.length);
      } else {
        VX_FUZZ_CHECK(bytes == nullptr && n == 0);
      }
    }
  }
  vx_rpc_buffer_free(&buffer);

  run_calls(in, xid0, stream);
  return 0;
}
