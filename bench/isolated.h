// Benchmarks send traffic only inside the private network namespace that
// tests/netns_run.sh makes: true when the loopback is the only interface.
#ifndef VX_BENCH_ISOLATED_H
#define VX_BENCH_ISOLATED_H

#include <net/if.h>

#include <cstring>

inline bool bench_isolated() {
  struct if_nameindex* list = if_nameindex();
  if (!list) return false;
  bool ok = true;
  for (struct if_nameindex* i = list; i->if_index != 0; ++i)
    if (strcmp(i->if_name, "lo") != 0) ok = false;
  if_freenameindex(list);
  return ok;
}

#endif
