// Platform layer, attach and detach of the library. posix/attach.cpp and
// win/attach.cpp define the same functions and the build picks one; nothing
// above platform/ knows which.
#ifndef VX_PLATFORM_ATTACH_H
#define VX_PLATFORM_ATTACH_H

// Provided by the library above this layer; the platform calls them when the
// library is attached to and detached from a process (DllMain on Windows,
// constructor and destructor functions elsewhere). vx_lib_attach is
// idempotent, so programs that link the code statically may call it too.
void vx_lib_attach();
void vx_lib_detach();

#endif
