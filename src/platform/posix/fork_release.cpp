#include "platform/posix/fork_release.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

namespace {

// Held from the prepare handler of a fork to its end in both processes, so
// the list never changes under a fork.
std::mutex g_lock;
std::vector<int>* g_fds = nullptr;
bool g_handlers = false;

void before_fork() { g_lock.lock(); }
void parent_after_fork() { g_lock.unlock(); }

// Only async-signal-safe calls: the child of a threaded process.
void child_after_fork() {
  if (g_fds && !g_fds->empty()) {
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd : *g_fds) {
      if (null < 0 || dup3(null, fd, O_CLOEXEC) < 0) close(fd);
    }
    if (null >= 0) close(null);
  }
  g_lock.unlock();
}

}  // namespace

int vxp_fork_tracked(int (*make)(void* ctx), void* ctx) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (!g_handlers) g_handlers = pthread_atfork(before_fork, parent_after_fork, child_after_fork) == 0;
  if (!g_fds) g_fds = new (std::nothrow) std::vector<int>();
  int fd = make(ctx);
  if (fd < 0 || !g_fds) return fd;
  try {
    g_fds->push_back(fd);
  } catch (...) {
    // Untracked: a child forked meanwhile keeps it, as without the list.
  }
  return fd;
}

void vxp_fork_close(int fd) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_fds) {
    auto it = std::find(g_fds->begin(), g_fds->end(), fd);
    if (it != g_fds->end()) g_fds->erase(it);
  }
  close(fd);
}
