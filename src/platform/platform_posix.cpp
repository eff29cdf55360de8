// POSIX side of the platform layer (Linux).
#include "platform/platform.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

// ---------------------------------------------------------------- sockets --

bool vxp_net_startup() { return true; }
void vxp_net_cleanup() {}

static vxp_socket make_socket(int type, int proto) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, proto);
  return fd < 0 ? VXP_BAD_SOCKET : (vxp_socket)fd;
}

vxp_socket vxp_tcp_socket() { return make_socket(SOCK_STREAM, IPPROTO_TCP); }
vxp_socket vxp_udp_socket() { return make_socket(SOCK_DGRAM, IPPROTO_UDP); }

int vxp_socket_close(vxp_socket s) { return close((int)s) == 0 ? 0 : -1; }

uint32_t vxp_inet_addr(const char* text) { return (uint32_t)inet_addr(text); }

bool vxp_inet_text(uint32_t addr, char* out, size_t outSize) {
  struct in_addr a;
  a.s_addr = addr;
  return outSize <= (size_t)INT_MAX && inet_ntop(AF_INET, &a, out, (socklen_t)outSize) != nullptr;
}

static struct sockaddr_in make_addr(uint32_t addr, uint16_t port) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addr;
  return sa;
}

bool vxp_tcp_connect(vxp_socket s, uint32_t addr, uint16_t port) {
  struct sockaddr_in sa = make_addr(addr, port);
  int rc;
  do {
    rc = connect((int)s, (struct sockaddr*)&sa, sizeof sa);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool vxp_bind(vxp_socket s, uint32_t addr, uint16_t port) {
  struct sockaddr_in sa = make_addr(addr, port);
  return bind((int)s, (struct sockaddr*)&sa, sizeof sa) == 0;
}

static bool set_int_opt(vxp_socket s, int level, int name, int value) {
  return setsockopt((int)s, level, name, &value, sizeof value) == 0;
}

bool vxp_set_nodelay(vxp_socket s) { return set_int_opt(s, IPPROTO_TCP, TCP_NODELAY, 1); }
bool vxp_set_broadcast(vxp_socket s) { return set_int_opt(s, SOL_SOCKET, SO_BROADCAST, 1); }

// The value is unsigned milliseconds as on Windows, so every 32-bit input
// has the same meaning on both platforms (0: no limit).
static bool set_time_opt(vxp_socket s, int name, uint32_t ms) {
  struct timeval tv;
  tv.tv_sec = (time_t)(ms / 1000u);
  tv.tv_usec = (suseconds_t)((ms % 1000u) * 1000u);
  return setsockopt((int)s, SOL_SOCKET, name, &tv, sizeof tv) == 0;
}

bool vxp_set_recv_timeout(vxp_socket s, uint32_t ms) { return set_time_opt(s, SO_RCVTIMEO, ms); }
bool vxp_set_send_timeout(vxp_socket s, uint32_t ms) { return set_time_opt(s, SO_SNDTIMEO, ms); }

int64_t vxp_send(vxp_socket s, const void* buf, size_t len) {
  ssize_t n;
  do {
    // A peer that has gone must not kill the host with SIGPIPE.
    n = send((int)s, buf, len, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : (int64_t)n;
}

int64_t vxp_recv(vxp_socket s, void* buf, size_t len) {
  ssize_t n;
  do {
    n = recv((int)s, buf, len, 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : (int64_t)n;
}

int vxp_wait_readable(vxp_socket s, uint32_t ms) {
  struct pollfd p;
  p.fd = (int)s;
  p.events = POLLIN;
  p.revents = 0;
  int timeout = ms > (uint32_t)INT_MAX ? INT_MAX : (int)ms;
  int rc = poll(&p, 1, timeout);
  if (rc < 0) return errno == EINTR ? 0 : -1;
  if (rc == 0) return 0;
  if (p.revents & POLLNVAL) return -1;
  return 1;  // POLLIN, or POLLHUP/POLLERR, which a receive then reports
}

int64_t vxp_sendto(vxp_socket s, const void* buf, size_t len, uint32_t addr, uint16_t port) {
  struct sockaddr_in sa = make_addr(addr, port);
  ssize_t n = sendto((int)s, buf, len, MSG_NOSIGNAL, (struct sockaddr*)&sa, sizeof sa);
  return n < 0 ? -1 : (int64_t)n;
}

int64_t vxp_recvfrom(vxp_socket s, void* buf, size_t len, uint32_t* fromAddr) {
  return vxp_recvfrom_port(s, buf, len, fromAddr, nullptr);
}

int64_t vxp_recvfrom_port(vxp_socket s, void* buf, size_t len, uint32_t* fromAddr, uint16_t* fromPort) {
  struct sockaddr_in sa;
  socklen_t saLen = sizeof sa;
  memset(&sa, 0, sizeof sa);
  // MSG_TRUNC makes Linux report the datagram's real length, so a datagram
  // longer than the buffer is refused here as Windows refuses it.
  ssize_t n = recvfrom((int)s, buf, len, MSG_TRUNC, (struct sockaddr*)&sa, &saLen);
  if (n < 0 || (size_t)n > len) return -1;
  if (fromAddr) *fromAddr = sa.sin_addr.s_addr;
  if (fromPort) *fromPort = ntohs(sa.sin_port);
  return (int64_t)n;
}

int vxp_last_socket_error() { return errno; }
bool vxp_socket_error_is_invalid_argument(int err) { return err == EINVAL; }

// ---------------------------------------------------------------- mutexes --

struct vxp_mutex {
  pthread_mutex_t m;
};

vxp_mutex* vxp_mutex_create() {
  vxp_mutex* m = new (std::nothrow) vxp_mutex;
  if (!m) return nullptr;
  pthread_mutexattr_t attr;
  bool ok = pthread_mutexattr_init(&attr) == 0;
  if (ok) {
    ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
         pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
         pthread_mutex_init(&m->m, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
  }
  if (!ok) {
    delete m;
    return nullptr;
  }
  return m;
}

void vxp_mutex_destroy(vxp_mutex* m) {
  if (!m) return;
  pthread_mutex_destroy(&m->m);
  delete m;
}

// EOWNERDEAD: the owner ended while holding it. The caller now owns it;
// marking it consistent makes it usable as if it had been free.
static vxp_lock_result lock_outcome(vxp_mutex* m, int rc) {
  if (rc == 0) return VXP_LOCKED;
  if (rc == EOWNERDEAD) {
    pthread_mutex_consistent(&m->m);
    return VXP_LOCKED;
  }
  if (rc == EBUSY) return VXP_BUSY;
  return VXP_LOCK_ERROR;
}

vxp_lock_result vxp_mutex_trylock(vxp_mutex* m) {
  if (!m) return VXP_LOCK_ERROR;
  return lock_outcome(m, pthread_mutex_trylock(&m->m));
}

bool vxp_mutex_lock(vxp_mutex* m) {
  if (!m) return false;
  return lock_outcome(m, pthread_mutex_lock(&m->m)) == VXP_LOCKED;
}

void vxp_mutex_unlock(vxp_mutex* m) {
  if (m) pthread_mutex_unlock(&m->m);
}

// flock() locks belong to the open file description: two opens of the same
// name conflict even inside one process, and the kernel drops the lock when
// the descriptor is closed or the owner dies, which is what a machine-wide
// mutex has to do.
struct vxp_named_mutex {
  int fd;
  bool held;
};

vxp_named_mutex* vxp_named_mutex_open(const char* name) {
  if (!name) return nullptr;
  char path[512];
  int n = snprintf(path, sizeof path, "/tmp/vx_comm_lib.");
  size_t pos = (size_t)n;
  for (const char* p = name; *p && pos + 6 < sizeof path; ++p) {
    char c = *p;
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                 c == '_' || c == '.';
    path[pos++] = plain ? c : '_';
  }
  memcpy(path + pos, ".lock", 6);
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  fchmod(fd, 0666);  // other users' processes must be able to open it too
  vxp_named_mutex* m = new (std::nothrow) vxp_named_mutex;
  if (!m) {
    close(fd);
    return nullptr;
  }
  m->fd = fd;
  m->held = false;
  return m;
}

vxp_lock_result vxp_named_mutex_trylock(vxp_named_mutex* m) {
  if (!m) return VXP_LOCK_ERROR;
  if (m->held) return VXP_LOCKED;
  int rc;
  do {
    rc = flock(m->fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    m->held = true;
    return VXP_LOCKED;
  }
  return errno == EWOULDBLOCK ? VXP_BUSY : VXP_LOCK_ERROR;
}

void vxp_named_mutex_unlock(vxp_named_mutex* m) {
  if (!m || !m->held) return;
  flock(m->fd, LOCK_UN);
  m->held = false;
}

void vxp_named_mutex_close(vxp_named_mutex* m) {
  if (!m) return;
  close(m->fd);  // drops the lock if held
  delete m;
}

// ---------------------------------------------------------------- threads --

struct vxp_thread {
  pthread_t id;
  vxp_thread_fn fn;
  void* arg;
};

static void* thread_main(void* p) {
  vxp_thread* t = static_cast<vxp_thread*>(p);
  t->fn(t->arg);
  return nullptr;
}

vxp_thread* vxp_thread_start(vxp_thread_fn fn, void* arg, size_t stackSize) {
  // Callers pass Windows-style initial commitments (a few KiB); a POSIX
  // stack does not grow past its size, so give real code room to run.
  const size_t minimum = 256 * 1024;
  if (stackSize < minimum) stackSize = minimum;
  vxp_thread* t = new (std::nothrow) vxp_thread;
  if (!t) return nullptr;
  t->fn = fn;
  t->arg = arg;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    delete t;
    return nullptr;
  }
  pthread_attr_setstacksize(&attr, stackSize);
  int rc = pthread_create(&t->id, &attr, thread_main, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete t;
    return nullptr;
  }
  return t;
}

void vxp_thread_join(vxp_thread* t) {
  if (!t) return;
  pthread_join(t->id, nullptr);
  delete t;
}

// --------------------------------------------------------------- loading --

void* vxp_dl_open(const char* fileName) { return fileName ? dlopen(fileName, RTLD_NOW | RTLD_LOCAL) : nullptr; }
void* vxp_dl_sym(void* lib, const char* name) { return lib && name ? dlsym(lib, name) : nullptr; }
void vxp_dl_close(void* lib) {
  if (lib) dlclose(lib);
}

// ---------------------------------------------------------------- clocks --

uint32_t vxp_tick_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
  return (uint32_t)ms;
}

int64_t vxp_wall_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void vxp_sleep_ms(uint32_t ms) {
  struct timespec ts;
  ts.tv_sec = (time_t)(ms / 1000u);
  ts.tv_nsec = (long)(ms % 1000u) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// ------------------------------------------------------ attach / detach --

__attribute__((constructor)) static void on_attach() { vx_lib_attach(); }
__attribute__((destructor)) static void on_detach() { vx_lib_detach(); }
