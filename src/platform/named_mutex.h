// Platform layer, the machine-wide named mutex. posix/named_mutex.cpp and
// win/named_mutex.cpp define the same functions and the build picks one;
// nothing above platform/ knows which.
#ifndef VX_PLATFORM_NAMED_MUTEX_H
#define VX_PLATFORM_NAMED_MUTEX_H

// A reservation that only one holder on the whole machine can have at a
// time: it is claimed by creating the name and released by closing the
// handle, or when the holding process dies. It belongs to no thread: any
// thread may release it, and the thread that claimed it may end meanwhile.
//
// `name` is the kernel object name, "Global\" followed by letters, digits
// and '_'. Windows creates that mutex owned and refuses when the name
// exists already; Linux takes an flock() on vx_comm_lib.<rest>.lock in
// /run/vx_comm_lib/lock (vxusbd's group folder) or, where that folder does
// not exist, in /run/lock.
struct vxp_named_mutex;

// Null when the name is held already (in this process or another one) or
// the reservation could not be made.
vxp_named_mutex* vxp_named_mutex_claim(const char* name);
// Ends the reservation; null does nothing.
void vxp_named_mutex_release(vxp_named_mutex* m);
// Why the last failed claim of this thread failed, when the reason is not
// that the name is held (Linux: "/run/lock is missing",
// "/run/vx_comm_lib/lock is not writable for this user", ...), and forgets
// it; null when there is none.
const char* vxp_named_mutex_take_problem();

#endif
