// The VISA binding: the VISA library loaded at run time on the host's
// request, its nine required functions and the optional ones, and the
// process-wide load state (0 not tried, 1 failed, 2 loaded).
//
// The host may unload the library while VISA links are open or a VISA
// search runs. So every use of the library is counted: a caller acquires
// the loaded module, calls through it and releases it. vx_comm_freeVisa
// retires the module at once (no new use can acquire it, state 0) but the
// module is unloaded only when its last use is released, by whoever releases
// it. Nothing ever waits for a use to end, so the host is never held up by
// a VISA call that blocks until its own timeout, and no call reaches an
// unloaded module. A use asks for one module by its generation: a link opened
// on a module that has since been retired fails its later calls, even after
// the host has loaded the library again. A VISA link also holds a use of its
// module from open to close, so that its sessions are closed in the module
// that opened them.
#ifndef VX_VISA_BINDING_H
#define VX_VISA_BINDING_H

#include <cstdint>

#include "transport/visa/visa_types.h"

// The functions, in the order they are resolved. Those after
// viSetAttribute are optional (null when the library lacks them): the library loads without
// them, and the calls that need them answer VI_ERROR_NSUP_OPER.
struct VisaFunctions {
  viOpenDefaultRM_fn viOpenDefaultRM;
  viFindRsrc_fn viFindRsrc;
  viFindNext_fn viFindNext;
  viOpen_fn viOpen;
  viClose_fn viClose;
  viRead_fn viRead;
  viWrite_fn viWrite;
  viClear_fn viClear;
  viSetAttribute_fn viSetAttribute;
  viReadSTB_fn viReadSTB;
  viAssertTrigger_fn viAssertTrigger;
  viGpibControlREN_fn viGpibControlREN;
  viLock_fn viLock;
  viUnlock_fn viUnlock;
  viEnableEvent_fn viEnableEvent;
  viDisableEvent_fn viDisableEvent;
  viDiscardEvents_fn viDiscardEvents;
  viWaitOnEvent_fn viWaitOnEvent;
};

struct VisaModule;

// A counted use of the loaded module; empty (false) when the load state is
// not 2, or when `generation` is not 0 and names a module other than the
// one loaded now.
class VisaUse {
 public:
  explicit VisaUse(uint64_t generation = 0);
  ~VisaUse();
  VisaUse(const VisaUse&) = delete;
  VisaUse& operator=(const VisaUse&) = delete;

  explicit operator bool() const { return module_ != nullptr; }
  const VisaFunctions& fn() const;
  uint64_t generation() const;

 private:
  VisaModule* module_;
};

// How the binding loads a library; the product uses the platform's loader,
// unit tests an in-process fake. Not to be changed while anything uses VISA.
struct VisaLoader {
  const char* fileName;
  void* (*open)(const char* fileName);
  void* (*sym)(void* lib, const char* name);
  void (*close)(void* lib);
};
void vx_visa_set_loader(const VisaLoader* loader);  // null: the platform's
const VisaLoader* vx_visa_loader();

// The load state as the last load or free left it.
int vx_visa_load_state();

#endif
