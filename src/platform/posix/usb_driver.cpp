// POSIX side of the platform layer: the instrument's USB driver, played by
// the USB bus service on /run/vx_comm_lib/usb.sock (docs/usb_bus.md has the
// protocol). One connection per open device; at most one transfer is
// outstanding on it, so the connection is the device's overlapped record.
#include "platform/usb_driver.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

const char kBusSocket[] = "/run/vx_comm_lib/usb.sock";
const uint32_t kMaxBody = 65536;
// Bounds of the exchanges that have no timeout of the caller: the list, the
// open, and the reap of a cancelled transfer.
const int kListWaitMs = 5000;
const int kOpenWaitMs = 5000;
const int kReapWaitMs = 1000;

enum : uint32_t { kList = 1, kOpen = 2, kBulkOut = 16, kBulkIn = 17, kIoctl = 18, kCancel = 19 };
enum : uint32_t { kResultOk = 0 };

void put32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

uint32_t get32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

int64_t now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Sends one frame made of a head and a tail (either may be empty) in one
// call where the kernel takes it all, so the service wakes once per frame.
bool send_frame(int fd, const uint8_t* head, size_t headLen, const void* tail, size_t tailLen) {
  if (headLen + tailLen > kMaxBody) return false;
  uint8_t len[4];
  put32(len, (uint32_t)(headLen + tailLen));
  struct iovec iov[3] = {{len, 4}, {const_cast<uint8_t*>(head), headLen}, {const_cast<void*>(tail), tailLen}};
  int first = 0;
  const int count = tailLen > 0 ? 3 : 2;
  while (first < count) {
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = iov + first;
    msg.msg_iovlen = (size_t)(count - first);
    ssize_t k = sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    size_t done = (size_t)k;
    while (first < count && done >= iov[first].iov_len) done -= iov[first++].iov_len;
    if (first < count) {
      iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + done;
      iov[first].iov_len -= done;
    }
  }
  return true;
}

// Waits until fd is readable or the deadline passes (-1: no deadline).
// 1 readable, 0 timed out, -1 error.
int wait_readable(int fd, int64_t deadline) {
  for (;;) {
    int ms = -1;
    if (deadline >= 0) {
      int64_t left = deadline - now_ms();
      if (left < 0) left = 0;
      ms = left > 60000 ? 60000 : (int)left;
    }
    struct pollfd p = {fd, POLLIN, 0};
    int rc = poll(&p, 1, ms);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return -1;
    if (rc > 0) return 1;
    if (deadline >= 0 && now_ms() >= deadline) return 0;
  }
}

// Reads exactly n bytes before the deadline.
bool recv_exact(int fd, uint8_t* p, size_t n, int64_t deadline) {
  while (n > 0) {
    if (wait_readable(fd, deadline) != 1) return false;
    ssize_t k = recv(fd, p, n, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    p += k;
    n -= (size_t)k;
  }
  return true;
}

int connect_bus() {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_un sa;
  memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  memcpy(sa.sun_path, kBusSocket, sizeof kBusSocket);
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads one frame's body into a fresh heap block; null on error, timeout
// or a body over the limit.
uint8_t* recv_frame(int fd, uint32_t* length, int64_t deadline) {
  uint8_t len[4];
  if (!recv_exact(fd, len, 4, deadline)) return nullptr;
  uint32_t n = get32(len);
  if (n > kMaxBody) return nullptr;
  uint8_t* body = static_cast<uint8_t*>(malloc(n ? n : 1));
  if (!body) return nullptr;
  if (!recv_exact(fd, body, n, deadline)) {
    free(body);
    return nullptr;
  }
  *length = n;
  return body;
}

enum OpState { OP_NONE, OP_PENDING, OP_DONE };

}  // namespace

struct vxp_usb {
  int fd;
  // The service ended the connection, broke the protocol, or the link was
  // interrupted: every later operation fails at once.
  std::atomic<bool> gone;
  std::atomic<bool> interrupted;
  uint32_t lastId;

  // The one outstanding operation (the overlapped record).
  OpState state;
  uint32_t id;
  uint32_t kind;
  void* out;
  uint32_t outLength;
  uint32_t inLength;
  bool ok;
  uint32_t bytes;

  // Completion frames as they arrive, possibly in pieces.
  uint8_t* rx;
  size_t rxHave;
};

namespace {

const size_t kRxSize = 4 + kMaxBody;

// The device is gone for this handle; the descriptor itself stays open until
// close, so an interrupt from another thread never hits a reused number.
void mark_gone(vxp_usb* d) {
  d->gone.store(true);
  shutdown(d->fd, SHUT_RDWR);
  if (d->state == OP_PENDING) {
    d->state = OP_DONE;
    d->ok = false;
    d->bytes = 0;
  }
}

// Takes one whole frame off the front of rx if there is one. Returns 1 when
// a frame was taken, 0 when more bytes are needed, -1 on a protocol error.
int take_frame(vxp_usb* d, bool keepData) {
  if (d->rxHave < 4) return 0;
  uint32_t n = get32(d->rx);
  if (n > kMaxBody || n < 12) return -1;
  if (d->rxHave < 4 + (size_t)n) return 0;
  const uint8_t* body = d->rx + 4;
  uint32_t id = get32(body);
  uint32_t result = get32(body + 4);
  uint32_t count = get32(body + 8);
  uint32_t dataLen = n - 12;
  if (d->state == OP_PENDING && id == d->id) {
    // Never more than the buffer holds, nor than the frame carried.
    uint32_t take = count < dataLen ? count : dataLen;
    if (d->kind != kBulkOut && take > d->outLength) return -1;
    d->state = OP_DONE;
    d->ok = keepData && result == kResultOk;
    d->bytes = 0;
    if (d->ok) {
      if (d->kind == kBulkOut) {
        d->bytes = count < d->inLength ? count : d->inLength;
      } else {
        if (take > 0) memcpy(d->out, body + 12, take);
        d->bytes = take;
      }
    }
  }
  // A completion of an id no longer outstanding is dropped.
  size_t used = 4 + (size_t)n;
  memmove(d->rx, d->rx + used, d->rxHave - used);
  d->rxHave -= used;
  return 1;
}

// Reads completions until the outstanding one has arrived or the deadline
// passes (-1: none). keepData false drops what it carries (a reap).
void pump(vxp_usb* d, int64_t deadline, bool keepData) {
  while (d->state == OP_PENDING) {
    int t = take_frame(d, keepData);
    if (t < 0) {
      mark_gone(d);
      return;
    }
    if (t > 0) continue;
    int r = wait_readable(d->fd, deadline);
    if (r == 0) return;
    if (r < 0) {
      mark_gone(d);
      return;
    }
    ssize_t k = recv(d->fd, d->rx + d->rxHave, kRxSize - d->rxHave, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) {
      mark_gone(d);
      return;
    }
    d->rxHave += (size_t)k;
  }
}

void fail_at_once(vxp_usb* d) {
  d->state = OP_DONE;
  d->ok = false;
  d->bytes = 0;
}

}  // namespace

void vxp_usb_list(bool (*each)(void* ctx, const char* path), void* ctx) {
  int fd = connect_bus();
  if (fd < 0) return;
  const int64_t deadline = now_ms() + kListWaitMs;
  uint8_t req[4];
  put32(req, kList);
  uint32_t n = 0;
  uint8_t* body = send_frame(fd, req, 4, nullptr, 0) ? recv_frame(fd, &n, deadline) : nullptr;
  close(fd);
  if (!body) return;
  if (n >= 4) {
    uint32_t count = get32(body);
    size_t at = 4;
    for (uint32_t i = 0; i < count && at < n; ++i) {
      const uint8_t* end = static_cast<const uint8_t*>(memchr(body + at, 0, n - at));
      if (!end) break;  // a path without its NUL is not taken
      const char* path = reinterpret_cast<const char*>(body + at);
      at = (size_t)(end - body) + 1;
      if (!each(ctx, path)) break;
    }
  }
  free(body);
}

vxp_usb* vxp_usb_open(const char* path) {
  if (!path) return nullptr;
  size_t pathLen = strlen(path);
  if (pathLen > kMaxBody - 4) return nullptr;
  int fd = connect_bus();
  if (fd < 0) return nullptr;
  uint8_t req[4];
  put32(req, kOpen);
  uint32_t n = 0;
  uint8_t* body = send_frame(fd, req, 4, path, pathLen) ? recv_frame(fd, &n, now_ms() + kOpenWaitMs) : nullptr;
  bool opened = body && n >= 4 && get32(body) == 0;
  free(body);
  vxp_usb* d = opened ? new (std::nothrow) vxp_usb : nullptr;
  uint8_t* rx = d ? static_cast<uint8_t*>(malloc(kRxSize)) : nullptr;
  if (!rx) {
    delete d;
    close(fd);
    return nullptr;
  }
  d->fd = fd;
  d->gone.store(false);
  d->interrupted.store(false);
  d->lastId = 0;
  d->state = OP_NONE;
  d->id = 0;
  d->kind = 0;
  d->out = nullptr;
  d->outLength = 0;
  d->inLength = 0;
  d->ok = false;
  d->bytes = 0;
  d->rx = rx;
  d->rxHave = 0;
  return d;
}

void vxp_usb_close(vxp_usb* d) {
  if (!d) return;
  if (d->state == OP_PENDING) vxp_usb_cancel(d);
  close(d->fd);
  free(d->rx);
  delete d;
}

void vxp_usb_start(vxp_usb* d, const vxp_usb_op* op) {
  d->state = OP_PENDING;
  if (++d->lastId == 0) d->lastId = 1;  // 0 is never an id
  d->id = d->lastId;
  d->out = op->out;
  d->outLength = op->kind == VXP_USB_BULK_OUT ? 0 : op->outLength;
  d->inLength = op->kind == VXP_USB_BULK_IN ? 0 : op->inLength;
  d->ok = false;
  d->bytes = 0;
  d->kind = op->kind == VXP_USB_BULK_OUT ? kBulkOut : op->kind == VXP_USB_BULK_IN ? kBulkIn : kIoctl;
  if (d->gone.load() || d->interrupted.load()) {
    fail_at_once(d);
    return;
  }
  uint8_t head[16];
  put32(head, d->kind);
  put32(head + 4, d->id);
  put32(head + 8, d->kind == kIoctl ? op->code : 0);
  put32(head + 12, d->outLength);
  if (!send_frame(d->fd, head, sizeof head, op->in, d->inLength)) mark_gone(d);
}

void vxp_usb_wait(vxp_usb* d, uint32_t ms) {
  if (d->state != OP_PENDING) return;
  pump(d, ms == 0xFFFFFFFFu ? -1 : now_ms() + (int64_t)ms, true);
}

bool vxp_usb_pending(vxp_usb* d) { return d->state == OP_PENDING; }

void vxp_usb_cancel(vxp_usb* d) {
  if (d->state != OP_PENDING) return;
  uint8_t req[16];
  put32(req, kCancel);
  put32(req + 4, d->id);
  put32(req + 8, 0);
  put32(req + 12, 0);
  if (!send_frame(d->fd, req, sizeof req, nullptr, 0)) {
    mark_gone(d);
    return;
  }
  // The reap: the completion of the cancelled id must be read off the
  // connection before the buffers can be given back; a service that keeps
  // it longer is taken as broken.
  pump(d, now_ms() + kReapWaitMs, false);
  if (d->state == OP_PENDING) mark_gone(d);
  fail_at_once(d);
}

bool vxp_usb_result(vxp_usb* d, uint32_t* bytes) {
  bool ok = d->state == OP_DONE && d->ok;
  if (bytes) *bytes = ok ? d->bytes : 0;
  return ok;
}

void vxp_usb_interrupt(vxp_usb* d) {
  if (!d) return;
  d->interrupted.store(true);
  // Wakes a wait in progress with the end of the connection.
  shutdown(d->fd, SHUT_RDWR);
}
