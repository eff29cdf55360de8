// The VXI-11 interrupt channel's server, with this test as the instrument:
// device_intr_srq reaches the sink of the link whose handle it names and
// is never answered; records that are not such a call are read as the
// peer's untrusted bytes; the last registration stops the server.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/net.h"
#include "transport/vxi11/intr_call.h"
#include "transport/vxi11/intr_server.h"
#include "transport/vxi11/xdr.h"

namespace {

struct CountingSink {
  SrqSink sink{post, this};
  std::atomic<int> posts{0};
  std::atomic<int> lastStb{0};
  static void post(SrqSink* s, int stb) {
    CountingSink* c = static_cast<CountingSink*>(s->owner);
    c->lastStb = stb;
    ++c->posts;
  }
};

void put(std::vector<uint8_t>* v, uint32_t word) {
  uint8_t b[4];
  vx_xdr_store(b, word);
  v->insert(v->end(), b, b + 4);
}

// A call record's body: header, AUTH_NONE twice (or a credential body of
// `credLength` bytes), then `args`.
std::vector<uint8_t> call(uint32_t prog, uint32_t proc, const std::vector<uint8_t>& args, uint32_t msgType = 0,
                          uint32_t credLength = 0) {
  std::vector<uint8_t> v;
  for (uint32_t w : {7u, msgType, 2u, prog, 1u, proc, 1u, credLength}) put(&v, w);
  v.insert(v.end(), (credLength + 3) & ~3u, 0);
  put(&v, 0);
  put(&v, 0);
  v.insert(v.end(), args.begin(), args.end());
  return v;
}

// The opaque handle<> argument: a length and the bytes, padded.
std::vector<uint8_t> handle_arg(const std::vector<uint8_t>& bytes, uint32_t length) {
  std::vector<uint8_t> v;
  put(&v, length);
  v.insert(v.end(), bytes.begin(), bytes.end());
  v.insert(v.end(), vx_xdr_pad(bytes.size()), 0);
  return v;
}

std::vector<uint8_t> srq(uint32_t handle) {
  uint8_t h[VX_INTR_HANDLE_SIZE];
  vx_intr_handle_bytes(handle, h);
  return call(0x0607B1, 30, handle_arg(std::vector<uint8_t>(h, h + sizeof h), sizeof h));
}

// One record in fragments of at most `piece` bytes.
std::vector<uint8_t> record(const std::vector<uint8_t>& body, size_t piece) {
  std::vector<uint8_t> v;
  for (size_t at = 0; at < body.size(); at += piece) {
    const size_t n = body.size() - at < piece ? body.size() - at : piece;
    put(&v, (uint32_t)n | (at + n == body.size() ? 0x80000000u : 0));
    v.insert(v.end(), body.begin() + (long)at, body.begin() + (long)(at + n));
  }
  return v;
}

bool isolated() {
  const char* v = std::getenv("VX_NETNS_ISOLATED");
  return v && std::string(v) == "1";
}

vxp_socket connect_to(uint16_t port) {
  vxp_socket s = vxp_tcp_socket();
  if (s != VXP_BAD_SOCKET && vxp_tcp_connect_within(s, vxp_inet_addr("127.0.0.1"), port, 2000) != VXP_CONNECTED) {
    vxp_socket_close(s);
    return VXP_BAD_SOCKET;
  }
  return s;
}

bool send_all(vxp_socket s, const std::vector<uint8_t>& bytes) {
  return vxp_send(s, bytes.data(), bytes.size()) == (int64_t)bytes.size();
}

// What the server sends before it closes the connection, waiting at most
// 5 s; "timeout" when it keeps the connection open that long.
std::string until_closed(vxp_socket s) {
  std::string got;
  for (int i = 0; i < 100; ++i) {
    if (vxp_wait_readable(s, 5000) != 1) return "timeout";
    char b[256];
    const int64_t n = vxp_recv(s, b, sizeof b);
    if (n <= 0) return got;
    got.append(b, (size_t)n);
  }
  return "endless";
}

}  // namespace

// What each record of the channel is taken for; every length from the
// peer is checked before use.
TEST(Vxi11Intr, RecordsAreReadAsCallsWithinTheirBounds) {
  const std::vector<uint8_t> h4 = {0, 0, 0, 9};
  const struct {
    const char* what;
    std::vector<uint8_t> body;
    IntrCall kind;
    uint32_t handleLength;
  } rows[] = {
      {"device_intr_srq", call(0x0607B1, 30, handle_arg(h4, 4)), INTR_CALL_SRQ, 4},
      {"an empty handle", call(0x0607B1, 30, handle_arg({}, 0)), INTR_CALL_SRQ, 0},
      {"a handle of 41 bytes", call(0x0607B1, 30, handle_arg(std::vector<uint8_t>(41, 1), 41)), INTR_CALL_MALFORMED,
       0},
      {"a handle longer than the record", call(0x0607B1, 30, handle_arg(h4, 8)), INTR_CALL_MALFORMED, 0},
      {"no handle", call(0x0607B1, 30, {}), INTR_CALL_MALFORMED, 0},
      {"a credential of 404 bytes", call(0x0607B1, 30, handle_arg(h4, 4), 0, 404), INTR_CALL_MALFORMED, 0},
      {"a reply", call(0x0607B1, 30, handle_arg(h4, 4), 1), INTR_CALL_MALFORMED, 0},
      {"a header cut short", std::vector<uint8_t>(20, 0), INTR_CALL_MALFORMED, 0},
      {"the null procedure", call(0x0607B1, 0, {}), INTR_CALL_OTHER, 0},
      {"another program", call(0x0607AF, 30, handle_arg(h4, 4)), INTR_CALL_OTHER, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const uint8_t* handle = nullptr;
    uint32_t length = 99;
    EXPECT_EQ(row.kind, vx_intr_read_call(row.body.data(), row.body.size(), &handle, &length));
    EXPECT_EQ(row.handleLength, length);
    if (row.kind == INTR_CALL_SRQ && length == 4) {
      EXPECT_EQ(0, memcmp(handle, h4.data(), 4));
    }
  }
}

// A device_intr_srq in fragments, sent byte by byte in part, is posted
// once without a status byte; one for a handle nobody has and a null call
// are dropped; nothing at all comes back. Garbage closes its connection,
// and the server ends with its last registration.
TEST(Vxi11Intr, RequestsArePostedAndNeverAnswered) {
  if (!isolated()) GTEST_SKIP() << "opens sockets; run inside the private network namespace wrapper";
  ASSERT_TRUE(vxp_net_startup());
  CountingSink a, b;
  uint32_t ha = 0, hb = 0;
  uint16_t port = 0, portB = 0;
  ASSERT_TRUE(vx_intr_register(&a.sink, &ha, &port));
  ASSERT_TRUE(vx_intr_register(&b.sink, &hb, &portB));
  EXPECT_NE(ha, hb);
  EXPECT_EQ(port, portB);

  vxp_socket s = connect_to(port);
  ASSERT_NE(VXP_BAD_SOCKET, s);
  const std::vector<uint8_t> first = record(srq(ha), 8);
  for (size_t i = 0; i < 6; ++i) ASSERT_TRUE(send_all(s, {first[i]}));  // a header in pieces
  ASSERT_TRUE(send_all(s, std::vector<uint8_t>(first.begin() + 6, first.end())));
  ASSERT_TRUE(send_all(s, record(srq(hb + 1000), 1000)));
  ASSERT_TRUE(send_all(s, record(call(0x0607B1, 0, {}), 1000)));
  ASSERT_TRUE(send_all(s, record(srq(ha), 1000)));
  // Garbage last (a reply): the server reads everything before it in
  // order, then closes; whatever it sent meanwhile arrives before the end.
  ASSERT_TRUE(send_all(s, record(call(0x0607B1, 30, {}, 1), 1000)));
  EXPECT_EQ("", until_closed(s));
  vxp_socket_close(s);
  EXPECT_EQ(2, a.posts.load());
  EXPECT_EQ(-1, a.lastStb.load());
  EXPECT_EQ(0, b.posts.load());

  // A record beyond the bound closes its connection at its header.
  vxp_socket t = connect_to(port);
  ASSERT_NE(VXP_BAD_SOCKET, t);
  ASSERT_TRUE(send_all(t, record(std::vector<uint8_t>(2048, 0), 4096)));
  EXPECT_EQ("", until_closed(t));
  vxp_socket_close(t);

  vx_intr_unregister(ha);
  vx_intr_unregister(hb);
  EXPECT_EQ(VXP_BAD_SOCKET, connect_to(port)) << "the server stopped with its last registration";
  EXPECT_EQ(2, a.posts.load());
  vxp_net_cleanup();
}
