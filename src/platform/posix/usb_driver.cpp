// POSIX side of the platform layer: the instrument's USB driver, played by
// the USB bus service on /run/vx_comm_lib/usb.sock (docs/guide/usb_bus.md has the
// protocol). One connection per open device; at most one transfer is
// outstanding on it, so the connection is the device's overlapped record.
#include "platform/usb_driver.h"

#include "common/le32.h"
#include "platform/posix/fork_release.h"
#include "platform/posix/usb_bus_frames.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
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
const uint32_t kMaxBody = VXP_USB_BUS_MAX_BODY;
// Bounds of the exchanges that have no timeout of the caller: the list and
// the open (each from the connect to the reply), and the reap of a
// cancelled transfer.
const int kListWaitMs = 5000;
const int kOpenWaitMs = 5000;
const int kReapWaitMs = 1000;
// A preempted wait still lets what is about to complete complete: a write
// that reaches the device is not reported failed.
const int kPreemptGraceMs = 50;

enum : uint32_t {
  kList = VXP_USB_BUS_LIST,
  kOpen = VXP_USB_BUS_OPEN,
  kBulkOut = VXP_USB_BUS_BULK_OUT,
  kBulkIn = VXP_USB_BUS_BULK_IN,
  kIoctl = VXP_USB_BUS_IOCTL,
  kCancel = VXP_USB_BUS_CANCEL,
  kInterruptIn = VXP_USB_BUS_INTERRUPT_IN,
};

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
  vx_put_le32(len, (uint32_t)(headLen + tailLen));
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

// Waits until fd (or wakeFd, unless -1) is readable or the deadline passes
// (-1: no deadline). 1 fd readable, 2 wakeFd readable, 0 timed out, -1 error.
int wait_readable(int fd, int64_t deadline, int wakeFd = -1) {
  for (;;) {
    int ms = -1;
    if (deadline >= 0) {
      int64_t left = deadline - now_ms();
      if (left < 0) left = 0;
      ms = left > 60000 ? 60000 : (int)left;
    }
    struct pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int rc = poll(p, wakeFd >= 0 ? 2 : 1, ms);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return -1;
    if (rc > 0) return p[0].revents != 0 ? 1 : 2;
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

// Why the bus could not be reached, kept per thread for the open's log line.
thread_local const char* t_problem = nullptr;

const char* problem_of(int err) {
  if (err == ENOENT || err == ECONNREFUSED)
    return "nothing serves the USB bus on /run/vx_comm_lib/usb.sock; is the USB service vxusbd running?";
  if (err == EACCES || err == EPERM)
    return "the USB service's socket /run/vx_comm_lib/usb.sock does not admit this user (group plugdev?)";
  return nullptr;
}

int make_bus_socket(void*) { return socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0); }

// Connects before the deadline. A service that is alive but does not accept
// (its backlog full) would hold a plain connect for ever; a Unix socket's
// non-blocking connect only says EAGAIN then, with nothing to poll for, so
// the wait is bounded by the send timeout, which a Unix connect honours.
int connect_bus(int64_t deadline) {
  int fd = vxp_fork_tracked(make_bus_socket, nullptr);
  if (fd < 0) return -1;
  struct sockaddr_un sa;
  memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  memcpy(sa.sun_path, kBusSocket, sizeof kBusSocket);
  int rc = -1;
  for (;;) {
    int64_t left = deadline - now_ms();
    if (left <= 0) break;
    struct timeval tv = {(time_t)(left / 1000), (suseconds_t)(left % 1000) * 1000};
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) break;
    rc = connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof sa);
    if (rc == 0 || errno != EINTR) break;
  }
  if (rc != 0) t_problem = problem_of(errno);
  // Frames are sent without a time limit of their own, as before.
  struct timeval none = {0, 0};
  if (rc != 0 || setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none) != 0) {
    vxp_fork_close(fd);
    return -1;
  }
  return fd;
}

// Reads one frame's body into a fresh heap block; null on error, timeout
// or a body over the limit.
uint8_t* recv_frame(int fd, uint32_t* length, int64_t deadline) {
  uint8_t len[4];
  if (!recv_exact(fd, len, 4, deadline)) return nullptr;
  uint32_t n = vx_get_le32(len);
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

}  // namespace

struct vxp_usb {
  int fd;
  // The service ended the connection, broke the protocol, or the link was
  // interrupted: every later operation fails at once.
  std::atomic<bool> gone;
  std::atomic<bool> interrupted;
  // A preemption wakes the owner's wait through this event descriptor.
  std::atomic<bool> preempted;
  int wake;
  uint32_t lastId;

  // The one outstanding operation (the overlapped record).
  vxp_usb_bus_transfer op;

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
  if (d->op.state == VXP_USB_BUS_PENDING) {
    d->op.state = VXP_USB_BUS_DONE;
    d->op.ok = false;
    d->op.bytes = 0;
  }
}

void drain_wake(vxp_usb* d) {
  uint64_t count = 0;
  ssize_t k = read(d->wake, &count, sizeof count);
  (void)k;  // nothing to drain is fine
}

// Reads completions until the outstanding one has arrived or the deadline
// passes (-1: none). keepData false drops what it carries (a reap). A
// preemption cuts a wait short after a grace, never a reap.
void pump(vxp_usb* d, int64_t deadline, bool keepData) {
  bool preemptible = keepData;
  while (d->op.state == VXP_USB_BUS_PENDING) {
    int t = vxp_usb_bus_take_frame(&d->op, d->rx, &d->rxHave, keepData);
    if (t < 0) {
      mark_gone(d);
      return;
    }
    if (t > 0) continue;
    if (preemptible && d->preempted.load()) {
      int64_t cut = now_ms() + kPreemptGraceMs;
      if (deadline < 0 || cut < deadline) deadline = cut;
      preemptible = false;
    }
    int r = wait_readable(d->fd, deadline, preemptible ? d->wake : -1);
    if (r == 0) return;
    if (r == 2) {
      // A wake-up left from a preemption already ended is dropped.
      if (!d->preempted.load()) drain_wake(d);
      continue;
    }
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
  d->op.state = VXP_USB_BUS_DONE;
  d->op.ok = false;
  d->op.bytes = 0;
}

}  // namespace

namespace {

// A connection of one request (LIST, DESCRIBE) and its one reply frame, in
// a fresh heap block; null when there is none (no service, a timeout, or a
// service that predates the request and closes the connection).
uint8_t* ask_bus(uint32_t request, uint32_t* n) {
  const int64_t deadline = now_ms() + kListWaitMs;
  int fd = connect_bus(deadline);
  if (fd < 0) return nullptr;
  uint8_t req[4];
  vx_put_le32(req, request);
  uint8_t* body = send_frame(fd, req, 4, nullptr, 0) ? recv_frame(fd, n, deadline) : nullptr;
  vxp_fork_close(fd);
  return body;
}

}  // namespace

void vxp_usb_list(bool (*each)(void* ctx, const char* path), void* ctx) {
  uint32_t n = 0;
  uint8_t* body = ask_bus(kList, &n);
  if (!body) return;
  vxp_usb_bus_list_paths(body, n, each, ctx);
  free(body);
}

void vxp_usb_describe(bool (*each)(void* ctx, const vxp_usb_info* info), void* ctx) {
  uint32_t n = 0;
  uint8_t* body = ask_bus(VXP_USB_BUS_DESCRIBE, &n);
  if (!body) return;
  vxp_usb_bus_describe_records(body, n, each, ctx);
  free(body);
}

bool vxp_usb_can_describe() { return true; }

vxp_usb* vxp_usb_open(const char* path) {
  if (!path) return nullptr;
  size_t pathLen = strlen(path);
  if (pathLen > kMaxBody - 4) return nullptr;
  const int64_t deadline = now_ms() + kOpenWaitMs;
  int fd = connect_bus(deadline);
  if (fd < 0) return nullptr;
  uint8_t req[4];
  vx_put_le32(req, kOpen);
  uint32_t n = 0;
  uint8_t* body = send_frame(fd, req, 4, path, pathLen) ? recv_frame(fd, &n, deadline) : nullptr;
  bool opened = body && n >= 4 && vx_get_le32(body) == 0;
  free(body);
  vxp_usb* d = opened ? new (std::nothrow) vxp_usb : nullptr;
  uint8_t* rx = d ? static_cast<uint8_t*>(malloc(kRxSize)) : nullptr;
  if (rx && (d->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0) {
    free(rx);
    rx = nullptr;
  }
  if (!rx) {
    delete d;
    vxp_fork_close(fd);
    return nullptr;
  }
  d->fd = fd;
  d->gone.store(false);
  d->interrupted.store(false);
  d->preempted.store(false);
  d->lastId = 0;
  d->op.state = VXP_USB_BUS_NONE;
  d->op.id = 0;
  d->op.kind = 0;
  d->op.out = nullptr;
  d->op.outLength = 0;
  d->op.inLength = 0;
  d->op.ok = false;
  d->op.bytes = 0;
  d->rx = rx;
  d->rxHave = 0;
  return d;
}

void vxp_usb_close(vxp_usb* d) {
  if (!d) return;
  if (d->op.state == VXP_USB_BUS_PENDING) vxp_usb_cancel(d);
  vxp_fork_close(d->fd);
  close(d->wake);
  free(d->rx);
  delete d;
}

void vxp_usb_start(vxp_usb* d, const vxp_usb_op* op) {
  d->op.state = VXP_USB_BUS_PENDING;
  if (++d->lastId == 0) d->lastId = 1;  // 0 is never an id
  d->op.id = d->lastId;
  d->op.out = op->out;
  d->op.outLength = op->kind == VXP_USB_BULK_OUT ? 0 : op->outLength;
  d->op.inLength = op->kind == VXP_USB_BULK_OUT || op->kind == VXP_USB_IOCTL ? op->inLength : 0;
  d->op.ok = false;
  d->op.bytes = 0;
  d->op.kind = op->kind == VXP_USB_BULK_OUT   ? kBulkOut
               : op->kind == VXP_USB_BULK_IN  ? kBulkIn
               : op->kind == VXP_USB_IOCTL    ? kIoctl
                                              : kInterruptIn;
  if (d->gone.load() || d->interrupted.load()) {
    fail_at_once(d);
    return;
  }
  uint8_t head[16];
  vx_put_le32(head, d->op.kind);
  vx_put_le32(head + 4, d->op.id);
  vx_put_le32(head + 8, d->op.kind == kIoctl || d->op.kind == kInterruptIn ? op->code : 0);
  vx_put_le32(head + 12, d->op.outLength);
  if (!send_frame(d->fd, head, sizeof head, op->in, d->op.inLength)) mark_gone(d);
}

void vxp_usb_wait(vxp_usb* d, uint32_t ms) {
  if (d->op.state != VXP_USB_BUS_PENDING) return;
  pump(d, ms == 0xFFFFFFFFu ? -1 : now_ms() + (int64_t)ms, true);
}

bool vxp_usb_pending(vxp_usb* d) { return d->op.state == VXP_USB_BUS_PENDING; }

void vxp_usb_cancel(vxp_usb* d) {
  if (d->op.state != VXP_USB_BUS_PENDING) return;
  uint8_t req[16];
  vx_put_le32(req, kCancel);
  vx_put_le32(req + 4, d->op.id);
  vx_put_le32(req + 8, 0);
  vx_put_le32(req + 12, 0);
  if (!send_frame(d->fd, req, sizeof req, nullptr, 0)) {
    mark_gone(d);
    return;
  }
  // The reap: the completion of the cancelled id must be read off the
  // connection before the buffers can be given back; a service that keeps
  // it longer is taken as broken.
  pump(d, now_ms() + kReapWaitMs, false);
  if (d->op.state == VXP_USB_BUS_PENDING) mark_gone(d);
  fail_at_once(d);
}

bool vxp_usb_result(vxp_usb* d, uint32_t* bytes) {
  bool ok = d->op.state == VXP_USB_BUS_DONE && d->op.ok;
  if (bytes) *bytes = ok ? d->op.bytes : 0;
  return ok;
}

void vxp_usb_interrupt(vxp_usb* d) {
  if (!d) return;
  d->interrupted.store(true);
  // Wakes a wait in progress with the end of the connection.
  shutdown(d->fd, SHUT_RDWR);
}

void vxp_usb_preempt(vxp_usb* d, bool on) {
  if (!d) return;
  if (on) {
    d->preempted.store(true);
    uint64_t one = 1;
    ssize_t k = write(d->wake, &one, sizeof one);
    (void)k;  // a counter that cannot grow already wakes the wait
  } else {
    d->preempted.store(false);
    drain_wake(d);
  }
}

int vxp_usb_bus_take_frame(vxp_usb_bus_transfer* t, uint8_t* rx, size_t* rxHave, bool keepData) {
  if (*rxHave < 4) return 0;
  uint32_t n = vx_get_le32(rx);
  if (n > VXP_USB_BUS_MAX_BODY || n < 12) return -1;
  if (*rxHave < 4 + (size_t)n) return 0;
  const uint8_t* body = rx + 4;
  uint32_t id = vx_get_le32(body);
  uint32_t result = vx_get_le32(body + 4);
  uint32_t count = vx_get_le32(body + 8);
  uint32_t dataLen = n - 12;
  if (t->state == VXP_USB_BUS_PENDING && id == t->id) {
    // Never more than the buffer holds, nor than the frame carried.
    uint32_t take = count < dataLen ? count : dataLen;
    if (t->kind != VXP_USB_BUS_BULK_OUT && take > t->outLength) return -1;
    t->state = VXP_USB_BUS_DONE;
    t->ok = keepData && result == VXP_USB_BUS_RESULT_OK;
    t->bytes = 0;
    if (t->ok) {
      if (t->kind == VXP_USB_BUS_BULK_OUT) {
        t->bytes = count < t->inLength ? count : t->inLength;
      } else {
        if (take > 0) memcpy(t->out, body + 12, take);
        t->bytes = take;
      }
    }
  }
  // A completion of an id no longer outstanding is dropped.
  size_t used = 4 + (size_t)n;
  memmove(rx, rx + used, *rxHave - used);
  *rxHave -= used;
  return 1;
}

void vxp_usb_bus_list_paths(const uint8_t* body, size_t n, bool (*each)(void* ctx, const char* path), void* ctx) {
  if (n < 4) return;
  uint32_t count = vx_get_le32(body);
  size_t at = 4;
  for (uint32_t i = 0; i < count && at < n; ++i) {
    const uint8_t* end = static_cast<const uint8_t*>(memchr(body + at, 0, n - at));
    if (!end) break;  // a path without its NUL is not taken
    const char* path = reinterpret_cast<const char*>(body + at);
    at = (size_t)(end - body) + 1;
    if (!each(ctx, path)) break;
  }
}

namespace {

// Reads a NUL-ended text at *at; null when the body ends first.
const char* take_text(const uint8_t* body, size_t n, size_t* at) {
  if (*at >= n) return nullptr;
  const uint8_t* end = static_cast<const uint8_t*>(memchr(body + *at, 0, n - *at));
  if (!end) return nullptr;
  const char* text = reinterpret_cast<const char*>(body + *at);
  *at = (size_t)(end - body) + 1;
  return text;
}

}  // namespace

void vxp_usb_bus_describe_records(const uint8_t* body, size_t n, bool (*each)(void* ctx, const vxp_usb_info* info),
                                  void* ctx) {
  if (n < 4) return;
  const uint32_t count = vx_get_le32(body);
  size_t at = 4;
  // The fields' widest values: ids and bcdDevice 16 bits, the interface,
  // protocol and endpoints 8, packet sizes 16, the speed 8.
  static const uint32_t kMax[12] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFF};
  for (uint32_t i = 0; i < count; ++i) {
    vxp_usb_info info;
    info.path = take_text(body, n, &at);
    if (!info.path) return;
    if (n - at < 48) return;
    uint32_t f[12];
    bool fits = true;
    for (int k = 0; k < 12; ++k) {
      f[k] = vx_get_le32(body + at + 4 * k);
      if (f[k] > kMax[k]) fits = false;
    }
    at += 48;
    info.manufacturer = take_text(body, n, &at);
    info.productName = info.manufacturer ? take_text(body, n, &at) : nullptr;
    info.serial = info.productName ? take_text(body, n, &at) : nullptr;
    if (!info.serial) return;
    if (!fits) continue;
    info.vendor = (uint16_t)f[0];
    info.product = (uint16_t)f[1];
    info.bcdDevice = (uint16_t)f[2];
    info.interfaceNumber = (uint8_t)f[3];
    info.protocol = (uint8_t)f[4];
    info.bulkOut = (uint8_t)f[5];
    info.bulkIn = (uint8_t)f[6];
    info.interruptIn = (uint8_t)f[7];
    info.bulkOutPacket = (uint16_t)f[8];
    info.bulkInPacket = (uint16_t)f[9];
    info.interruptPacket = (uint16_t)f[10];
    info.speed = (uint8_t)f[11];
    if (!each(ctx, &info)) return;
  }
}

const char* vxp_usb_take_problem() {
  const char* problem = t_problem;
  t_problem = nullptr;
  return problem;
}
