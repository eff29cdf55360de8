// Win32 side of the platform layer: host name lookups with a time limit.
#include "platform/resolve.h"

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <new>

#include "platform/net.h"
#include "platform/socket_address.h"

namespace {

volatile LONG g_pending = 0;

// Shared by the caller and the worker; the last of the two to let go frees
// it. The worker's results are published by the event.
struct Lookup {
  volatile LONG refs;
  HANDLE done;
  bool found;
  vxp_address addr;
  HMODULE pin;
  char host[256];
};

void release(Lookup* job) {
  if (InterlockedDecrement(&job->refs) != 0) return;
  CloseHandle(job->done);
  delete job;
}

DWORD WINAPI lookup_main(LPVOID p) {
  Lookup* job = static_cast<Lookup*>(p);
  vxp_address a = {4, {0}, 0};
  job->found = vxp_lookup_first(job->host, &a);
  job->addr = a;
  SetEvent(job->done);
  HMODULE pin = job->pin;
  release(job);
  vxp_net_cleanup();
  InterlockedDecrement(&g_pending);
  // The count the starter took on this module keeps the library loaded
  // while this thread runs, however the host unloads it meanwhile.
  FreeLibraryAndExitThread(pin, 0);
  return 0;
}

}  // namespace

vxp_resolve_result vxp_resolve_host(const char* host, uint32_t ms, vxp_address* addr) {
  if (!host || !*host || strlen(host) >= sizeof(Lookup::host)) return VXP_RESOLVE_FAILED;
  if (ms == 0) {
    if (!vxp_net_startup()) return VXP_RESOLVE_FAILED;
    bool ok = vxp_lookup_first(host, addr);
    vxp_net_cleanup();
    return ok ? VXP_RESOLVED : VXP_RESOLVE_FAILED;
  }

  if (InterlockedIncrement(&g_pending) > VXP_RESOLVE_PENDING_MAX) {
    InterlockedDecrement(&g_pending);
    return VXP_RESOLVE_BUSY;
  }
  Lookup* job = new (std::nothrow) Lookup();
  HMODULE pin = nullptr;
  bool started = false;
  if (job) {
    job->refs = 2;
    strcpy(job->host, host);
    job->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (job->done &&
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&lookup_main), &pin)) {
      job->pin = pin;
      // The worker's own start-up of the socket library: the caller's may
      // end before the worker does.
      if (vxp_net_startup()) {
        HANDLE t = CreateThread(nullptr, 0, lookup_main, job, 0, nullptr);
        started = t != nullptr;
        if (t) CloseHandle(t);
        if (!started) vxp_net_cleanup();
      }
      if (!started) FreeLibrary(pin);
    }
  }
  if (!started) {
    if (job) {
      if (job->done) CloseHandle(job->done);
      delete job;
    }
    InterlockedDecrement(&g_pending);
    return VXP_RESOLVE_FAILED;
  }
  vxp_resolve_result result = VXP_RESOLVE_TIMED_OUT;
  if (WaitForSingleObject(job->done, ms) == WAIT_OBJECT_0) {
    result = job->found ? VXP_RESOLVED : VXP_RESOLVE_FAILED;
    if (job->found) *addr = job->addr;
  }
  release(job);
  return result;
}
