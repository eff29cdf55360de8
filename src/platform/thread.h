// Platform layer, threads with a stack size. posix/thread.cpp and
// win/thread.cpp define the same functions and the build picks one; nothing
// above platform/ knows which.
#ifndef VX_PLATFORM_THREAD_H
#define VX_PLATFORM_THREAD_H

#include <cstddef>

struct vxp_thread;
typedef void (*vxp_thread_fn)(void* arg);
// stackSize is the initial commitment on Windows; on POSIX the stack is at
// least large enough for ordinary worker code whatever is asked.
vxp_thread* vxp_thread_start(vxp_thread_fn fn, void* arg, size_t stackSize);
// Waits for the thread to end and frees the handle.
void vxp_thread_join(vxp_thread* t);

#endif
