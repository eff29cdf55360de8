// Platform layer, the unnamed recursive mutex. posix/mutex.cpp and
// win/mutex.cpp define the same functions and the build picks one; nothing
// above platform/ knows which.
#ifndef VX_PLATFORM_MUTEX_H
#define VX_PLATFORM_MUTEX_H

// Unnamed mutex: recursive, and a thread that ends while it holds it leaves
// it free for the next thread that tries (Win32 WAIT_ABANDONED, POSIX robust).
struct vxp_mutex;
enum vxp_lock_result { VXP_LOCKED = 0, VXP_BUSY = 1, VXP_LOCK_ERROR = 2 };

vxp_mutex* vxp_mutex_create();
void vxp_mutex_destroy(vxp_mutex* m);
vxp_lock_result vxp_mutex_trylock(vxp_mutex* m);
bool vxp_mutex_lock(vxp_mutex* m);  // waits without limit
void vxp_mutex_unlock(vxp_mutex* m);

#endif
