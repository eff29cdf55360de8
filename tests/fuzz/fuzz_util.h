// What the fuzz targets share: one-time set-up and a check that stops the
// run with the failed condition, so that libFuzzer keeps the input.
#ifndef VX_FUZZ_UTIL_H
#define VX_FUZZ_UTIL_H

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/attach.h"

inline void vx_fuzz_init() {
  static bool done = (vx_lib_attach(), true);
  (void)done;
}

// A model or serial as the searches write it into the list: the list's
// separators ':' and ';' become '_'.
inline std::string vx_fuzz_field(std::string s) {
  for (char& c : s)
    if (c == ':' || c == ';') c = '_';
  return s;
}

#define VX_FUZZ_CHECK(cond)                                                    \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                 \
    }                                                                          \
  } while (0)

#endif
