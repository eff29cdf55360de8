// What the fuzz targets share: one-time set-up and a check that stops the
// run with the failed condition, so that libFuzzer keeps the input.
#ifndef VX_FUZZ_UTIL_H
#define VX_FUZZ_UTIL_H

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>
#include <vector>

#include "fake_transport.h"

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

// Hands `stream` to the fake transport in reads of the given sizes, in turn.
inline void vx_fuzz_script(FakeLink& fake, const std::string& stream, const std::vector<size_t>& splits) {
  for (size_t at = 0, k = 0; at < stream.size(); ++k) {
    size_t n = std::min(splits[k % splits.size()], stream.size() - at);
    fake.script(stream.substr(at, n));
    at += n;
  }
}

#define VX_FUZZ_CHECK(cond)                                                    \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                 \
    }                                                                          \
  } while (0)

#endif
