// POSIX side of the platform layer: dynamic loading.
#include "platform/dl.h"

#include <dlfcn.h>

// Found through LD_LIBRARY_PATH, the loader cache and the system's library
// folders; never in the current folder unless the caller's environment puts
// it there (an LD_LIBRARY_PATH naming it, or an empty entry).
const char vxp_visa_file_name[] = "libvisa.so";
const char vxp_visa_search[] = "the folders of LD_LIBRARY_PATH, the loader cache (ldconfig) and /lib, /usr/lib";

void* vxp_dl_open(const char* fileName) { return fileName ? dlopen(fileName, RTLD_NOW | RTLD_LOCAL) : nullptr; }
void* vxp_dl_sym(void* lib, const char* name) { return lib && name ? dlsym(lib, name) : nullptr; }
void vxp_dl_close(void* lib) {
  if (lib) dlclose(lib);
}
