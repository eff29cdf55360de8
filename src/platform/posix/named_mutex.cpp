// POSIX side of the platform layer: the machine-wide named mutex.
//
// An flock() lock belongs to the open file description: a second open of the
// same file conflicts even inside one process and from any thread, and the
// kernel drops the lock when the descriptor is closed or its process dies.
// That is the "exists while held" behaviour a device reservation needs.
//
// A forked child lets go of its copies (fork_release.h).
//
// The files live in /run/vx_comm_lib/lock where vxusbd's tmpfiles entry has
// made it (root, group plugdev, 3770): only those who may use instruments
// can open a file there, so nobody else can hold a reservation, and the
// sticky bit keeps members from removing each other's files. Without that
// folder (the private /run of a test or of the demo) they live in the
// world-writable /run/lock. In both, a file is never opened through a
// symbolic link, must be a regular file, and only a file created here has
// its mode changed, so that a link planted at the name cannot redirect
// anything.
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

const char kGroupDir[] = "/run/vx_comm_lib/lock";
const char kSharedDir[] = "/run/lock";
const char kGlobalPrefix[] = "Global\\";

// The file name for a kernel name; false when the name is empty, too long,
// or holds a byte other than a letter, a digit, '_', '-' or '.'.
bool lock_name(const char* name, char* out, size_t outSize) {
  size_t prefixLen = sizeof kGlobalPrefix - 1;
  if (strncmp(name, kGlobalPrefix, prefixLen) == 0) name += prefixLen;
  if (*name == '\0' || *name == '.') return false;
  for (const char* p = name; *p; ++p) {
    char c = *p;
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                 c == '-' || c == '.';
    if (!plain) return false;
  }
  int n = snprintf(out, outSize, "vx_comm_lib.%s.lock", name);
  return n > 0 && (size_t)n < outSize;
}

struct LockFile {
  const char* name;  // in dir
  int dir;           // the folder, opened O_PATH
  mode_t mode;       // of a file created here
};

// Opens the existing file, or creates it. Reading is all flock() needs, so
// a file created by another user serves every user the mode lets in. O_CREAT
// is used only with O_EXCL: with fs.protected_regular a plain O_CREAT open of
// another user's file in a sticky directory is refused.
int open_lock_file(void* ctx) {
  const LockFile* f = static_cast<const LockFile*>(ctx);
  for (int attempt = 0; attempt < 4; ++attempt) {
    int fd = openat(f->dir, f->name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = openat(f->dir, f->name, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, f->mode);
    if (fd >= 0) {
      fchmod(fd, f->mode);  // ours: undo a restrictive umask so the others can lock it
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// The group's folder where it exists, else /run/lock; -1 with errno when
// the one chosen cannot be opened.
int open_lock_dir(const char** dir, mode_t* mode) {
  const int flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  *dir = kGroupDir;
  *mode = 0640;  // the folder's group (set by its setgid bit) reads it
  int fd = open(kGroupDir, flags);
  if (fd >= 0 || errno != ENOENT) return fd;
  *dir = kSharedDir;
  *mode = 0644;
  return open(kSharedDir, flags);
}

// Why the last claim of this thread could not even try the name.
thread_local const char* t_problem = nullptr;
thread_local char t_problem_text[128];

// What a failed open of the folder or of the file in it (err) says.
const char* problem_of(int err, const char* dir) {
  const char* what;
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      what = "%s is missing";
      break;
    case EACCES:
    case EPERM:
    case EROFS:
      what = "%s is not writable for this user";
      break;
    default:
      what = "the reservation file in %s cannot be opened";
      break;
  }
  snprintf(t_problem_text, sizeof t_problem_text, what, dir);
  return t_problem_text;
}

}  // namespace

vxp_named_mutex* vxp_named_mutex_claim(const char* name) {
  t_problem = nullptr;
  if (!name) return nullptr;
  char file[224];
  if (!lock_name(name, file, sizeof file)) return nullptr;
  const char* dirPath = nullptr;
  mode_t mode = 0;
  int dir = open_lock_dir(&dirPath, &mode);
  if (dir < 0) {
    t_problem = problem_of(errno, dirPath);
    return nullptr;
  }
  LockFile lf{file, dir, mode};
  int fd = vxp_fork_tracked(open_lock_file, &lf);
  int err = errno;
  close(dir);
  if (fd < 0) {
    t_problem = problem_of(err, dirPath);
    return nullptr;
  }
  struct stat st;
  int rc = fstat(fd, &st);
  if (rc != 0 || !S_ISREG(st.st_mode)) {
    snprintf(t_problem_text, sizeof t_problem_text, "the reservation file in %s is not a regular file", dirPath);
    t_problem = t_problem_text;
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
