// What the fuzz targets share: one-time set-up and a check that stops the
// run with the failed condition, so that libFuzzer keeps the input.
#ifndef VX_FUZZ_UTIL_H
#define VX_FUZZ_UTIL_H

#include <cstdio>
#include <cstdlib>

#include "platform/attach.h"

inline void vx_fuzz_init() {
  static bool done = (vx_lib_attach(), true);
  (void)done;
}

#define VX_FUZZ_CHECK(cond)                                                    \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                 \
    }                                                                          \
  } while (0)

#endif
