// Platform layer, dynamic loading of a library by file name. posix/dl.cpp and
// win/dl.cpp define the same functions and the build picks one; nothing above
// platform/ knows which.
#ifndef VX_PLATFORM_DL_H
#define VX_PLATFORM_DL_H

void* vxp_dl_open(const char* fileName);
void* vxp_dl_sym(void* lib, const char* name);
void vxp_dl_close(void* lib);

// The VISA library's file name on this platform, loaded by that bare name
// from trusted folders only: on Windows vxp_dl_open searches the program's
// folder and System32, not the current folder nor PATH; on Linux the
// dynamic loader's usual search, which has no current folder of its own.
extern const char vxp_visa_file_name[];
// Where that search looks, in words, for the line that says it failed.
extern const char vxp_visa_search[];

#endif
