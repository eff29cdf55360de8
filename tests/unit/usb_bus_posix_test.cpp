// The Linux USB driver against a scripted bus service on the private
// /run of the test namespace: frames, ids, the reap after a cancel, a
// service that vanishes or breaks the protocol, and the interrupt.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/usb_driver.h"

namespace {

typedef std::vector<uint8_t> Bytes;
const char kSocket[] = "/run/vx_comm_lib/usb.sock";

void put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back((uint8_t)(v >> (8 * i)));
}
uint32_t get32(const Bytes& b, size_t at) {
  return (uint32_t)b[at] | (uint32_t)b[at + 1] << 8 | (uint32_t)b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
}

bool read_exact(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 5000) != 1) return false;
    ssize_t k = recv(fd, p, n, 0);
    if (k <= 0) return false;
    p += k;
    n -= (size_t)k;
  }
  return true;
}

// One side of the bus, played by the test: accepts connections and reads
// and writes whole frames.
struct ScriptedBus {
  int listener = -1;
  std::thread thread;
  ScriptedBus() {
    mkdir("/run/vx_comm_lib", 0755);
    unlink(kSocket);
    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, kSocket);
    EXPECT_EQ(0, bind(listener, (struct sockaddr*)&sa, sizeof sa));
    EXPECT_EQ(0, listen(listener, 8));
  }
  ~ScriptedBus() {
    if (thread.joinable()) thread.join();
    if (listener >= 0) close(listener);
    unlink(kSocket);
  }
  void play(std::function<void(ScriptedBus&)> script) {
    thread = std::thread([this, script] { script(*this); });
  }
  int accept_one() { return accept(listener, nullptr, nullptr); }
  static Bytes frame(int fd) {
    uint8_t len[4];
    if (!read_exact(fd, len, 4)) return Bytes{0xEE};
    Bytes body(len[0] | len[1] << 8 | len[2] << 16 | (uint32_t)len[3] << 24);
    if (!read_exact(fd, body.data(), body.size())) return Bytes{0xEE};
    return body;
  }
  static void send(int fd, const Bytes& body) {
    Bytes f;
    put32(f, (uint32_t)body.size());
    f.insert(f.end(), body.begin(), body.end());
    ::send(fd, f.data(), f.size(), MSG_NOSIGNAL);
  }
  static Bytes completion(uint32_t id, uint32_t result, uint32_t count, const std::string& data = "") {
    Bytes b;
    put32(b, id);
    put32(b, result);
    put32(b, count);
    b.insert(b.end(), data.begin(), data.end());
    return b;
  }
  // Accepts the OPEN of a device and returns the connection.
  int accept_open() {
    int fd = accept_one();
    Bytes req = frame(fd);
    Bytes ok;
    put32(ok, 0);
    send(fd, ok);
    return fd;
  }
};

bool collect(void* ctx, const char* path) {
  static_cast<std::vector<std::string>*>(ctx)->push_back(path);
  return true;
}

TEST(UsbBus, ListAndOpenFollowTheFirstFrame) {
  ScriptedBus bus;
  Bytes openRequest;
  bus.play([&](ScriptedBus& b) {
    int fd = b.accept_one();
    Bytes req = b.frame(fd);
    EXPECT_EQ((Bytes{1, 0, 0, 0}), req);
    Bytes reply;
    put32(reply, 3);
    for (const char* p : {"first", "", "second"}) reply.insert(reply.end(), p, p + strlen(p) + 1);
    b.send(fd, reply);
    close(fd);
    fd = b.accept_one();
    openRequest = b.frame(fd);
    b.send(fd, Bytes{1, 0, 0, 0});
    close(fd);
  });
  std::vector<std::string> paths;
  vxp_usb_list(collect, &paths);
  EXPECT_EQ((std::vector<std::string>{"first", "", "second"}), paths);
  EXPECT_EQ(nullptr, vxp_usb_open("\\\\?\\usb#x"));
  bus.thread.join();
  Bytes expected{2, 0, 0, 0};
  const char* p = "\\\\?\\usb#x";
  expected.insert(expected.end(), p, p + strlen(p));
  EXPECT_EQ(expected, openRequest);
}

TEST(UsbBus, NoServiceMeansNoDeviceAndNoOpen) {
  unlink(kSocket);
  std::vector<std::string> paths;
  vxp_usb_list(collect, &paths);
  EXPECT_TRUE(paths.empty());
  EXPECT_EQ(nullptr, vxp_usb_open("anything"));
}

// A service that is alive but accepts nothing (its backlog full: a stuck
// daemon) fails the list and the open within their bound of 5000 ms from
// the connect on, instead of holding them for ever.
TEST(UsbBus, ServiceThatAcceptsNothingFailsListAndOpenWithinTheirBound) {
  ScriptedBus bus;
  ASSERT_EQ(0, listen(bus.listener, 0));
  std::vector<int> queued;
  struct sockaddr_un sa;
  memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  strcpy(sa.sun_path, kSocket);
  for (int i = 0; i < 64; ++i) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    queued.push_back(fd);
    if (connect(fd, (struct sockaddr*)&sa, sizeof sa) != 0) break;  // full
  }
  const auto start = std::chrono::steady_clock::now();
  auto list = std::async(std::launch::async, [] {
    std::vector<std::string> paths;
    vxp_usb_list(collect, &paths);
    return paths.size();
  });
  auto open = std::async(std::launch::async, [] { return vxp_usb_open("dev"); });
  const bool bounded = list.wait_until(start + std::chrono::seconds(8)) == std::future_status::ready &&
                       open.wait_until(start + std::chrono::seconds(8)) == std::future_status::ready;
  EXPECT_TRUE(bounded) << "the connect waited for a service that accepts nothing";
  if (!bounded) {
    close(bus.listener);  // refuses the waiting connects, so the calls end
    bus.listener = -1;
  }
  EXPECT_EQ(0u, list.get());
  EXPECT_EQ(nullptr, open.get());
  for (int fd : queued) close(fd);
}

TEST(UsbBus, TransfersCarryKindIdCodeAndLengthsAndTakeTheirCompletion) {
  ScriptedBus bus;
  std::vector<Bytes> requests;
  bus.play([&](ScriptedBus& b) {
    int fd = b.accept_open();
    for (int i = 0; i < 3; ++i) {
      Bytes r = b.frame(fd);
      requests.push_back(r);
      uint32_t id = get32(r, 4);
      if (i == 0) b.send(fd, b.completion(id, 0, 5));
      if (i == 1) b.send(fd, b.completion(id, 0, 3, "abc"));
      if (i == 2) b.send(fd, b.completion(id, 1, 0));
    }
    b.frame(fd);  // the end of the connection
    close(fd);
  });
  vxp_usb* d = vxp_usb_open("dev");
  ASSERT_NE(nullptr, d);
  uint32_t n = 0;
  vxp_usb_op out = {VXP_USB_BULK_OUT, 0, "hello", 5, nullptr, 0};
  vxp_usb_start(d, &out);
  vxp_usb_wait(d, 5000);
  EXPECT_FALSE(vxp_usb_pending(d));
  EXPECT_TRUE(vxp_usb_result(d, &n));
  EXPECT_EQ(5u, n);
  char buf[8] = {};
  vxp_usb_op in = {VXP_USB_BULK_IN, 0, nullptr, 0, buf, sizeof buf};
  vxp_usb_start(d, &in);
  vxp_usb_wait(d, 5000);
  EXPECT_TRUE(vxp_usb_result(d, &n));
  EXPECT_EQ(3u, n);
  EXPECT_STREQ("abc", buf);
  uint8_t request[4] = {4, 0, 0, 0};
  vxp_usb_op ctl = {VXP_USB_IOCTL, 0x80002004u, request, 4, nullptr, 0};
  vxp_usb_start(d, &ctl);
  vxp_usb_wait(d, 5000);
  EXPECT_FALSE(vxp_usb_result(d, &n));
  vxp_usb_close(d);
  bus.thread.join();

  ASSERT_EQ(3u, requests.size());
  Bytes head;
  for (uint32_t v : {16u, get32(requests[0], 4), 0u, 0u}) put32(head, v);
  head.insert(head.end(), {'h', 'e', 'l', 'l', 'o'});
  EXPECT_EQ(head, requests[0]);
  EXPECT_EQ(16u, requests[1].size());
  EXPECT_EQ(17u, get32(requests[1], 0));
  EXPECT_EQ(8u, get32(requests[1], 12));
  EXPECT_EQ(20u, requests[2].size());
  EXPECT_EQ(18u, get32(requests[2], 0));
  EXPECT_EQ(0x80002004u, get32(requests[2], 8));
  EXPECT_EQ(4u, get32(requests[2], 16));
  uint32_t ids[3] = {get32(requests[0], 4), get32(requests[1], 4), get32(requests[2], 4)};
  EXPECT_NE(0u, ids[0]);
  EXPECT_TRUE(ids[0] != ids[1] && ids[1] != ids[2] && ids[0] != ids[2]);
}

// After the wait runs out the cancel goes out and its completion is read off
// before the step returns; what it carries never reaches the buffer.
TEST(UsbBus, CancelReapsTheCompletionAndDropsItsData) {
  ScriptedBus bus;
  Bytes cancel;
  bus.play([&](ScriptedBus& b) {
    int fd = b.accept_open();
    Bytes r = b.frame(fd);
    cancel = b.frame(fd);
    // A completion that crossed the cancel: success, with data.
    b.send(fd, b.completion(get32(r, 4), 0, 4, "LATE"));
    Bytes next = b.frame(fd);
    b.send(fd, b.completion(get32(next, 4), 0, 2, "ok"));
    b.frame(fd);
    close(fd);
  });
  vxp_usb* d = vxp_usb_open("dev");
  ASSERT_NE(nullptr, d);
  char buf[8] = "-------";
  vxp_usb_op in = {VXP_USB_BULK_IN, 0, nullptr, 0, buf, 4};
  vxp_usb_start(d, &in);
  vxp_usb_wait(d, 20);
  ASSERT_TRUE(vxp_usb_pending(d));
  vxp_usb_cancel(d);
  EXPECT_FALSE(vxp_usb_pending(d));
  uint32_t n = 9;
  EXPECT_FALSE(vxp_usb_result(d, &n));
  EXPECT_EQ(0u, n);
  EXPECT_STREQ("-------", buf);
  // The connection is still in step: the next transfer gets its own answer.
  vxp_usb_start(d, &in);
  vxp_usb_wait(d, 5000);
  EXPECT_TRUE(vxp_usb_result(d, &n));
  EXPECT_EQ(2u, n);
  vxp_usb_close(d);
  bus.thread.join();
  ASSERT_EQ(16u, cancel.size());
  EXPECT_EQ(19u, get32(cancel, 0));
}

TEST(UsbBus, ServiceThatKeepsACancelledTransferOrGoesAwayLeavesTheDeviceGone) {
  for (bool vanish : {false, true}) {
    SCOPED_TRACE(vanish ? "service closes" : "cancel never completed");
    ScriptedBus bus;
    int requests = 0;
    bus.play([&](ScriptedBus& b) {
      int fd = b.accept_open();
      while (b.frame(fd) != Bytes{0xEE}) {
        ++requests;
        if (vanish) break;
      }
      close(fd);
    });
    vxp_usb* d = vxp_usb_open("dev");
    ASSERT_NE(nullptr, d);
    char buf[4];
    vxp_usb_op in = {VXP_USB_BULK_IN, 0, nullptr, 0, buf, sizeof buf};
    vxp_usb_start(d, &in);
    vxp_usb_wait(d, vanish ? 5000 : 10);
    if (vxp_usb_pending(d)) {
      auto t0 = std::chrono::steady_clock::now();
      vxp_usb_cancel(d);
      double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
      EXPECT_LT(ms, 3000.0);
    }
    uint32_t n = 0;
    EXPECT_FALSE(vxp_usb_result(d, &n));
    // Gone: the next transfer fails at once, without reaching the service.
    vxp_usb_start(d, &in);
    EXPECT_FALSE(vxp_usb_pending(d));
    EXPECT_FALSE(vxp_usb_result(d, &n));
    vxp_usb_close(d);
    bus.thread.join();
    EXPECT_EQ(vanish ? 1 : 2, requests);
  }
}

TEST(UsbBus, CompletionLongerThanTheBufferIsAProtocolError) {
  ScriptedBus bus;
  bus.play([&](ScriptedBus& b) {
    int fd = b.accept_open();
    Bytes r = b.frame(fd);
    b.send(fd, b.completion(get32(r, 4), 0, 8, "12345678"));
    b.frame(fd);
    close(fd);
  });
  vxp_usb* d = vxp_usb_open("dev");
  ASSERT_NE(nullptr, d);
  char buf[6] = "abcde";
  vxp_usb_op in = {VXP_USB_BULK_IN, 0, nullptr, 0, buf, 4};
  vxp_usb_start(d, &in);
  vxp_usb_wait(d, 5000);
  uint32_t n = 0;
  EXPECT_FALSE(vxp_usb_result(d, &n));
  EXPECT_STREQ("abcde", buf);
  vxp_usb_close(d);
}

TEST(UsbBus, InterruptEndsAWaitWithoutLimitAndStays) {
  ScriptedBus bus;
  bus.play([&](ScriptedBus& b) {
    int fd = b.accept_open();
    while (b.frame(fd) != Bytes{0xEE}) {
    }
    close(fd);
  });
  vxp_usb* d = vxp_usb_open("dev");
  ASSERT_NE(nullptr, d);
  char buf[4];
  vxp_usb_op in = {VXP_USB_BULK_IN, 0, nullptr, 0, buf, sizeof buf};
  vxp_usb_start(d, &in);
  std::thread closer([d] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    vxp_usb_interrupt(d);
  });
  vxp_usb_wait(d, 0xFFFFFFFFu);
  closer.join();
  uint32_t n = 0;
  EXPECT_FALSE(vxp_usb_pending(d));
  EXPECT_FALSE(vxp_usb_result(d, &n));
  vxp_usb_start(d, &in);
  EXPECT_FALSE(vxp_usb_pending(d));
  vxp_usb_close(d);
}

}  // namespace
