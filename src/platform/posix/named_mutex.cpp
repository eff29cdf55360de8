// POSIX side of the platform layer: the machine-wide named mutex.
//
// An flock() lock belongs to the open file description: a second open of the
// same file conflicts even inside one process and from any thread, and the
// kernel drops the lock when the descriptor is closed or its process dies.
// That is the "exists while held" behaviour a device reservation needs.
//
// A forked child lets go of its copies (fork_release.h).
//
// The files live in /run/lock (a private tmpfs per test namespace), which is
// world-writable: a file is never opened through a symbolic link, must be a
// regular file, and only a file created here has its mode changed, so that
// a link planted at the name cannot redirect anything.
#include "platform/named_mutex.h"

#include "platform/posix/fork_release.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

struct vxp_named_mutex {
  int fd;
};

namespace {

const char kLockDir[] = "/run/lock";
const char kGlobalPrefix[] = "Global\\";

// The file for a kernel name; false when the name is empty, too long, or
// holds a byte other than a letter, a digit, '_', '-' or '.'.
bool lock_path(const char* name, char* out, size_t outSize) {
  size_t prefixLen = sizeof kGlobalPrefix - 1;
  if (strncmp(name, kGlobalPrefix, prefixLen) == 0) name += prefixLen;
  if (*name == '\0' || *name == '.') return false;
  for (const char* p = name; *p; ++p) {
    char c = *p;
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                 c == '-' || c == '.';
    if (!plain) return false;
  }
  int n = snprintf(out, outSize, "%s/vx_comm_lib.%s.lock", kLockDir, name);
  return n > 0 && (size_t)n < outSize;
}

// Opens the existing file, or creates it. Reading is all flock() needs, so
// a file created by another user with mode 0644 serves every user. O_CREAT
// is used only with O_EXCL: with fs.protected_regular a plain O_CREAT open of
// another user's file in a sticky directory is refused.
int open_lock_file(void* ctx) {
  const char* path = static_cast<const char*>(ctx);
  for (int attempt = 0; attempt < 4; ++attempt) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = open(path, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd >= 0) {
      fchmod(fd, 0644);  // ours: undo a restrictive umask so other users can lock it
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// Why the last claim of this thread could not even try the name.
thread_local const char* t_problem = nullptr;

// What an open of the file that failed with err says about the directory.
const char* problem_of(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return "/run/lock is missing";
    case EACCES:
    case EPERM:
    case EROFS:
      return "/run/lock is not writable for this user";
    default:
      return "the reservation file in /run/lock cannot be opened";
  }
}

}  // namespace

vxp_named_mutex* vxp_named_mutex_claim(const char* name) {
  t_problem = nullptr;
  if (!name) return nullptr;
  char path[256];
  if (!lock_path(name, path, sizeof path)) return nullptr;
  int fd = vxp_fork_tracked(open_lock_file, path);
  if (fd < 0) {
    t_problem = problem_of(errno);
    return nullptr;
  }
  struct stat st;
  int rc = fstat(fd, &st);
  if (rc != 0 || !S_ISREG(st.st_mode)) {
    t_problem = "the reservation file in /run/lock is not a regular file";
    vxp_fork_close(fd);
    return nullptr;
  }
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  vxp_named_mutex* m = rc == 0 ? new (std::nothrow) vxp_named_mutex : nullptr;
  if (!m) {
    vxp_fork_close(fd);
    return nullptr;
  }
  m->fd = fd;
  return m;
}

void vxp_named_mutex_release(vxp_named_mutex* m) {
  if (!m) return;
  vxp_fork_close(m->fd);  // drops the lock
  delete m;
}

const char* vxp_named_mutex_take_problem() {
  const char* problem = t_problem;
  t_problem = nullptr;
  return problem;
}
