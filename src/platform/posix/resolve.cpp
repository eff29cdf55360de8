// POSIX side of the platform layer: host name lookups with a time limit.
#include "platform/resolve.h"

#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "platform/socket_address.h"

namespace {

std::atomic<int> g_pending{0};

// A worker may still run when the host unloads the library; its code must
// stay mapped until it returns. The first worker marks the library as never
// unloaded (the Windows side holds a count per worker instead).
void keep_loaded() {
  static std::once_flag once;
  std::call_once(once, [] {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&keep_loaded), &info) && info.dli_fname)
      dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  });
}

struct Lookup {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  bool found = false;
  vxp_address addr = {4, {0}, 0};
  std::string host;
};

}  // namespace

vxp_resolve_result vxp_resolve_host(const char* host, uint32_t ms, vxp_address* addr) {
  if (!host || !*host) return VXP_RESOLVE_FAILED;
  if (ms == 0) return vxp_lookup_first(host, addr) ? VXP_RESOLVED : VXP_RESOLVE_FAILED;

  if (g_pending.fetch_add(1) >= VXP_RESOLVE_PENDING_MAX) {
    g_pending.fetch_sub(1);
    return VXP_RESOLVE_BUSY;
  }
  std::shared_ptr<Lookup> job;
  try {
    job = std::make_shared<Lookup>();
    job->host = host;
    keep_loaded();
    std::thread([job] {
      vxp_address a = {4, {0}, 0};
      bool ok = vxp_lookup_first(job->host.c_str(), &a);
      {
        std::lock_guard<std::mutex> hold(job->m);
        job->done = true;
        job->found = ok;
        job->addr = a;
      }
      job->cv.notify_all();
      g_pending.fetch_sub(1);
    }).detach();
  } catch (...) {  // no memory or no thread
    g_pending.fetch_sub(1);
    return VXP_RESOLVE_FAILED;
  }
  std::unique_lock<std::mutex> hold(job->m);
  if (!job->cv.wait_for(hold, std::chrono::milliseconds(ms), [&] { return job->done; })) return VXP_RESOLVE_TIMED_OUT;
  if (!job->found) return VXP_RESOLVE_FAILED;
  *addr = job->addr;
  return VXP_RESOLVED;
}
