// POSIX side of the platform layer, inside it only: descriptors that hold
// something machine-wide (a device reservation's flock, a bus connection)
// and so must not live on in a forked child. fork() copies every descriptor,
// and with it the open file description that owns the flock, so a child
// that outlives its parent's close would keep the device reserved.
//
// In the child, each tracked descriptor is pointed at /dev/null (dup2), which
// lets go of what the parent holds while the number stays taken: the child's
// copies of links then fail every transfer at once, and their close is
// harmless.
#ifndef VX_PLATFORM_POSIX_FORK_RELEASE_H
#define VX_PLATFORM_POSIX_FORK_RELEASE_H

// Runs make() with forks held off and tracks the descriptor it returns
// (when not negative), so that no fork sees it untracked.
int vxp_fork_tracked(int (*make)(void* ctx), void* ctx);
// Untracks and closes fd, with forks held off.
void vxp_fork_close(int fd);

#endif
