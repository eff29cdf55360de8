// vx_comm_loadVisa and vx_comm_freeVisa, and the counted uses of the module.
#include "transport/visa/visa_binding.h"

#include <mutex>
#include <new>
#include <type_traits>

#include "log/call_log.h"
#include "log/last_error.h"
#include "platform/dl.h"

struct VisaModule {
  void* handle;
  VisaFunctions fn;
  uint64_t generation;
  int uses;      // VisaUse objects alive on this module
  bool retired;  // freed by the host: unload when uses reach 0
};

namespace {

const VisaLoader kPlatformLoader = {vxp_visa_file_name, vxp_dl_open, vxp_dl_sym, vxp_dl_close};

// One mutex guards the whole binding, so a host that loads from one thread
// and opens from another sees one consistent state. It is held only for a
// few stores, never across a VISA call or the loader.
std::mutex g_lock;
int g_state = 0;
VisaModule* g_current = nullptr;  // the module of state 1 or 2, null in state 0
uint64_t g_lastGeneration = 0;
const VisaLoader* g_loader = &kPlatformLoader;

void unload(VisaModule* m) {
  if (m->handle) g_loader->close(m->handle);
  delete m;
}

// Fills every pointer it can find, in order, and tells whether all the
// required ones were found: every name is looked up even after one is
// missing. *missing names the first required one that was not there.
bool resolve(void* lib, VisaFunctions* fn, const char** missing) {
  bool all = true;
  bool required = true;
  auto take = [&](auto& slot, const char* name) {
    void* p = g_loader->sym(lib, name);
    if (all && !p && required) *missing = name;
    all = all && (p != nullptr || !required);
    // A data pointer from the loader turned into the function pointer it is.
    static_assert(sizeof p == sizeof slot, "function pointers must fit in void*");
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(p);
  };
  take(fn->viOpenDefaultRM, "viOpenDefaultRM");
  take(fn->viFindRsrc, "viFindRsrc");
  take(fn->viFindNext, "viFindNext");
  take(fn->viOpen, "viOpen");
  take(fn->viClose, "viClose");
  take(fn->viRead, "viRead");
  take(fn->viWrite, "viWrite");
  take(fn->viClear, "viClear");
  take(fn->viSetAttribute, "viSetAttribute");
  required = false;
  take(fn->viReadSTB, "viReadSTB");
  take(fn->viAssertTrigger, "viAssertTrigger");
  take(fn->viGpibControlREN, "viGpibControlREN");
  take(fn->viLock, "viLock");
  take(fn->viUnlock, "viUnlock");
  take(fn->viEnableEvent, "viEnableEvent");
  take(fn->viDisableEvent, "viDisableEvent");
  take(fn->viDiscardEvents, "viDiscardEvents");
  take(fn->viWaitOnEvent, "viWaitOnEvent");
  return all;
}

}  // namespace

VisaUse::VisaUse(uint64_t generation) : module_(nullptr) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_state != 2 || !g_current) return;
  if (generation != 0 && g_current->generation != generation) return;
  ++g_current->uses;
  module_ = g_current;
}

VisaUse::~VisaUse() {
  if (!module_) return;
  bool last;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    last = --module_->uses == 0 && module_->retired;
  }
  if (last) unload(module_);
}

const VisaFunctions& VisaUse::fn() const { return module_->fn; }
uint64_t VisaUse::generation() const { return module_->generation; }

void vx_visa_set_loader(const VisaLoader* loader) { g_loader = loader ? loader : &kPlatformLoader; }
const VisaLoader* vx_visa_loader() { return g_loader; }

int vx_visa_load_state() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_state;
}

extern "C" ViStatus vx_comm_loadVisa(void) {
  vx_last_error_begin();
  // Loads of several threads at once are serialised by this second mutex,
  // so the library is loaded once; the binding's own mutex stays free for
  // the calls on open links meanwhile.
  static std::mutex loading;
  std::lock_guard<std::mutex> one(loading);
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_state == 2) return VI_SUCCESS;
    if (g_state == 1) return VI_ERROR_SYSTEM_ERROR;
  }
  VisaModule* m = new (std::nothrow) VisaModule{};
  if (m) m->handle = g_loader->open(g_loader->fileName);
  const char* missing = "";
  const bool complete = m && m->handle && resolve(m->handle, &m->fn, &missing);
  // A bare VI_ERROR_SYSTEM_ERROR leaves the user guessing which file was
  // looked for, and where.
  if (m && !m->handle)
    writeLog("vx_comm_loadVisa() error: cannot load %s; searched %s\n", g_loader->fileName, vxp_visa_search);
  else if (m && !complete)
    writeLog("vx_comm_loadVisa() error: %s has no %s; it is no VISA library this library can use\n",
             g_loader->fileName, missing);

  std::lock_guard<std::mutex> hold(g_lock);
  if (m && !m->handle) {
    delete m;
    m = nullptr;
  }
  // A library without all nine required functions stays loaded, unusable, until the
  // host frees it.
  g_current = m;
  if (m) m->generation = ++g_lastGeneration;
  g_state = complete ? 2 : 1;
  return complete ? VI_SUCCESS : VI_ERROR_SYSTEM_ERROR;
}

extern "C" void vx_comm_freeVisa(void) {
  VisaModule* m;
  bool idle;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_state = 0;
    m = g_current;
    g_current = nullptr;
    if (!m) return;
    m->retired = true;
    idle = m->uses == 0;
  }
  if (idle) unload(m);
}
