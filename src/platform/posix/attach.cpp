// POSIX side of the platform layer: attach and detach.
#include "platform/attach.h"



__attribute__((constructor)) static void on_attach() { vx_lib_attach(); }
__attribute__((destructor)) static void on_detach() { vx_lib_detach(); }
