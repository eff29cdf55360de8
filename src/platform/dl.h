// Platform layer, dynamic loading of a library by file name. posix/dl.cpp and
// win/dl.cpp define the same functions and the build picks one; nothing above
// platform/ knows which.
#ifndef VX_PLATFORM_DL_H
#define VX_PLATFORM_DL_H

void* vxp_dl_open(const char* fileName);
void* vxp_dl_sym(void* lib, const char* name);
void vxp_dl_close(void* lib);

// The VISA library's file name on this platform, loaded by that bare name
// so that the system's usual search finds it.
extern const char vxp_visa_file_name[];

#endif
