#include "transport/visa/visa_transport.h"

#include <atomic>
#include <mutex>
#include <new>

#include "link/link_table.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "transport/visa/visa_binding.h"

namespace {

const uint32_t kSettleAfterOpenMs = 100;
// The service request thread waits on the library's event queue in slices
// this long, so that a disable or close ends it within one.
const uint32_t kSrqSliceMs = 100;
const size_t kSrqStack = 64 * 1024;

struct VisaLink {
  // The module whose sessions these are, held until they are closed: a host
  // that frees (and reloads) the library while the link is open must not
  // leave the sessions open inside it.
  VisaUse module;
  ViSession resourceManager = 0;
  ViSession device = 0;
  uint64_t generation = 0;
  // Set by abort; every later call fails at once.
  std::atomic<bool> aborted{false};
  // The device session is closed by abort or close, whichever comes first.
  std::atomic<bool> deviceClosed{false};
  // Service requests: while enabled, a thread takes them from the library's
  // event queue and posts them to srqSink. srqLock serialises starting and
  // joining it (srqEnable under the per-link lock, close without it).
  std::mutex srqLock;
  vxp_thread* srqThread = nullptr;
  SrqSink* srqSink = nullptr;
  std::atomic<bool> srqStop{false};
};

// Closing a session is how VISA ends the calls blocked on it: they return
// with an error.
void close_device(VisaLink* link) {
  if (!link->deviceClosed.exchange(true)) link->module.fn().viClose(link->device);
}

bool accepted(ViStatus s) { return s == VI_SUCCESS || s == VI_SUCCESS_TERM_CHAR || s == VI_SUCCESS_MAX_CNT; }

ViStatus vx_visa_open(const char* address, ViInt32, LinkSlot* slot) {
  VisaLink* link = new (std::nothrow) VisaLink();
  if (!link) return VI_ERROR_SYSTEM_ERROR;
  if (!link->module) {
    delete link;
    return VI_ERROR_SYSTEM_ERROR;
  }
  link->generation = link->module.generation();
  const VisaFunctions& fn = link->module.fn();
  if (!accepted(fn.viOpenDefaultRM(&link->resourceManager))) {
    delete link;
    return VI_ERROR_SYSTEM_ERROR;
  }
  if (!accepted(fn.viOpen(link->resourceManager, address, VI_NO_LOCK, 0, &link->device))) {
    fn.viClose(link->resourceManager);
    delete link;
    return VI_ERROR_SYSTEM_ERROR;
  }
  fn.viClear(link->device);
  // Instruments behind some VISA interfaces drop what arrives right after a
  // clear; give them a moment before the first command.
  vxp_sleep_ms(kSettleAfterOpenMs);
  slot->context = link;
  return VI_SUCCESS;
}

// Each service request event is taken and its context closed at once; the
// status byte is read by the waiter (viReadSTB), as VISA leaves it to the
// application. Every call holds a use of the link's own module, so a host
// that frees the library ends the thread, never a call into it.
void srq_reader(void* arg) {
  VisaLink* link = static_cast<VisaLink*>(arg);
  while (!link->srqStop.load() && !link->aborted.load()) {
    ViStatus status;
    {
      VisaUse use(link->generation);
      if (!use) return;
      ViEventType type = 0;
      ViEvent event = 0;
      status = use.fn().viWaitOnEvent(link->device, VI_EVENT_SERVICE_REQ, kSrqSliceMs, &type, &event);
      if (status >= VI_SUCCESS && event != 0) use.fn().viClose(event);
    }
    if (status >= VI_SUCCESS) {
      if (!link->srqStop.load()) link->srqSink->post(link->srqSink, -1);
    } else if (status != VI_ERROR_TMO && !link->srqStop.load() && !link->aborted.load()) {
      // A library that fails at once is asked again a slice later, not in
      // a busy loop.
      vxp_sleep_ms(kSrqSliceMs);
    }
  }
}

// Ends the thread and waits for it; true when one ran.
bool stop_srq(VisaLink* link) {
  std::lock_guard<std::mutex> hold(link->srqLock);
  if (!link->srqThread) return false;
  link->srqStop.store(true);
  vxp_thread_join(link->srqThread);
  link->srqThread = nullptr;
  return true;
}

// Also after the host freed the library: the link still holds its module,
// which is unloaded once the sessions are closed (if nothing else holds it).
ViStatus vx_visa_close(void* context) {
  VisaLink* link = static_cast<VisaLink*>(context);
  // The closed session ends the thread's wait at once, and the thread then
  // ends without waiting out a slice.
  link->srqStop.store(true);
  close_device(link);
  stop_srq(link);
  link->module.fn().viClose(link->resourceManager);
  delete link;
  return VI_SUCCESS;
}

// Data is never gathered over several viRead calls: the first call that
// returns bytes ends the read. Calls that return nothing with an accepted
// status are repeated, up to the idle bound.
ViStatus vx_visa_read(void* context, void* buffer, ViInt32 count, ViInt32* retCount) {
  VisaLink* link = static_cast<VisaLink*>(context);
  if (retCount) *retCount = 0;
  if (link->aborted.load()) return VI_ERROR_CONN_LOST;
  // A request for nothing would be answered with nothing for ever.
  if (count <= 0) return VI_SUCCESS;
  VisaUse use(link->generation);
  if (!use) return VI_ERROR_CONN_LOST;

  ViStatus status = VI_SUCCESS;
  ViUInt32 n = 0;
  for (int idle = 0; accepted(status) && n == 0; ++idle) {
    if (idle == VX_VISA_MAX_IDLE_CALLS) return VI_ERROR_TMO;
    if (link->aborted.load()) return VI_ERROR_CONN_LOST;
    n = 0;
    status = use.fn().viRead(link->device, static_cast<ViByte*>(buffer), (ViUInt32)count, &n);
    if (n > (ViUInt32)count) n = (ViUInt32)count;  // never report more than the buffer holds
  }
  if (!accepted(status)) return status;
  if (retCount) *retCount = (ViInt32)n;
  return VI_SUCCESS;
}

// The status of the last viWrite is returned as it is, so that a
// VI_SUCCESS_TERM_CHAR or VI_SUCCESS_MAX_CNT reaches the caller.
ViStatus vx_visa_write(void* context, const void* buffer, ViInt32 count, ViInt32* retCount) {
  VisaLink* link = static_cast<VisaLink*>(context);
  if (retCount) *retCount = 0;
  if (link->aborted.load()) return VI_ERROR_CONN_LOST;
  if (count <= 0) return VI_SUCCESS;
  VisaUse use(link->generation);
  if (!use) return VI_ERROR_CONN_LOST;

  const ViByte* bytes = static_cast<const ViByte*>(buffer);
  ViStatus status = VI_SUCCESS;
  ViUInt32 total = 0;
  const ViUInt32 wanted = (ViUInt32)count;
  int idle = 0;
  while (accepted(status) && total < wanted) {
    if (link->aborted.load()) return VI_ERROR_CONN_LOST;
    ViUInt32 moved = 0;
    status = use.fn().viWrite(link->device, bytes + total, wanted - total, &moved);
    if (moved > wanted - total) moved = wanted - total;
    total += moved;
    if (moved != 0) {
      idle = 0;
    } else if (accepted(status) && ++idle == VX_VISA_MAX_IDLE_CALLS) {
      return VI_ERROR_TMO;
    }
  }
  if (retCount && accepted(status)) *retCount = (ViInt32)total;
  return status;
}

ViStatus vx_visa_settmo(void* context, ViInt32 tmoMs) {
  VisaLink* link = static_cast<VisaLink*>(context);
  if (link->aborted.load()) return VI_ERROR_CONN_LOST;
  VisaUse use(link->generation);
  if (!use) return VI_ERROR_CONN_LOST;
  // Widened with its sign: -1 becomes the all-ones value.
  return use.fn().viSetAttribute(link->device, VI_ATTR_TMO_VALUE, (ViAttrState)(int64_t)tmoMs);
}

ViStatus vx_visa_clear(void* context) {
  VisaLink* link = static_cast<VisaLink*>(context);
  if (link->aborted.load()) return VI_ERROR_CONN_LOST;
  VisaUse use(link->generation);
  if (!use) return VI_ERROR_CONN_LOST;
  return use.fn().viClear(link->device);
}

// The controls and the lock: the library's function when it has it,
// otherwise VI_ERROR_NSUP_OPER; `call` runs it while the library is held.
template <typename Fn, typename Call>
ViStatus optional_call(void* context, Fn VisaFunctions::*member, Call call) {
  VisaLink* link = static_cast<VisaLink*>(context);
  if (link->aborted.load()) return VI_ERROR_CONN_LOST;
  VisaUse use(link->generation);
  if (!use) return VI_ERROR_CONN_LOST;
  const Fn fn = use.fn().*member;
  if (!fn) return VI_ERROR_NSUP_OPER;
  return call(fn, link->device);
}

ViStatus vx_visa_readstb(void* context, ViUInt16* stb) {
  return optional_call(context, &VisaFunctions::viReadSTB, [stb](viReadSTB_fn fn, ViSession device) {
    ViUInt16 value = 0;
    ViStatus status = fn(device, &value);
    if (accepted(status)) *stb = value;
    return status;
  });
}

ViStatus vx_visa_trigger(void* context) {
  return optional_call(context, &VisaFunctions::viAssertTrigger,
                       [](viAssertTrigger_fn fn, ViSession device) { return fn(device, VI_TRIG_PROT_DEFAULT); });
}

ViStatus vx_visa_remote(void* context, ViUInt16 mode) {
  return optional_call(context, &VisaFunctions::viGpibControlREN,
                       [mode](viGpibControlREN_fn fn, ViSession device) { return fn(device, mode); });
}

ViStatus vx_visa_lock(void* context, ViInt32 tmoMs) {
  return optional_call(context, &VisaFunctions::viLock, [tmoMs](viLock_fn fn, ViSession device) {
    return fn(device, VI_EXCLUSIVE_LOCK, (ViUInt32)tmoMs, nullptr, nullptr);
  });
}

ViStatus vx_visa_unlock(void* context) {
  return optional_call(context, &VisaFunctions::viUnlock, [](viUnlock_fn fn, ViSession device) { return fn(device); });
}

// Off disables the event and drops what the library still queues, so that
// a later enable starts afresh. A library without the four event calls, or
// whose resource has no service request event, answers VI_ERROR_NSUP_OPER.
ViStatus vx_visa_srq(void* context, SrqSink* sink) {
  VisaLink* link = static_cast<VisaLink*>(context);
  if (!sink) {
    if (!stop_srq(link) || link->aborted.load()) return VI_SUCCESS;
    VisaUse use(link->generation);
    if (!use) return VI_SUCCESS;
    use.fn().viDisableEvent(link->device, VI_EVENT_SERVICE_REQ, VI_QUEUE);
    use.fn().viDiscardEvents(link->device, VI_EVENT_SERVICE_REQ, VI_QUEUE);
    return VI_SUCCESS;
  }
  if (link->aborted.load()) return VI_ERROR_CONN_LOST;
  VisaUse use(link->generation);
  if (!use) return VI_ERROR_CONN_LOST;
  const VisaFunctions& fn = use.fn();
  if (!fn.viEnableEvent || !fn.viDisableEvent || !fn.viDiscardEvents || !fn.viWaitOnEvent) return VI_ERROR_NSUP_OPER;
  std::lock_guard<std::mutex> hold(link->srqLock);
  if (link->srqThread) return VI_SUCCESS;
  const ViStatus status = fn.viEnableEvent(link->device, VI_EVENT_SERVICE_REQ, VI_QUEUE, 0);
  if (status == VX_VISA_ERROR_INV_EVENT) return VI_ERROR_NSUP_OPER;
  if (status < VI_SUCCESS) return status;
  link->srqSink = sink;
  link->srqStop.store(false);
  link->srqThread = vxp_thread_start(srq_reader, link, kSrqStack);
  if (!link->srqThread) {
    fn.viDisableEvent(link->device, VI_EVENT_SERVICE_REQ, VI_QUEUE);
    return VI_ERROR_SYSTEM_ERROR;
  }
  return VI_SUCCESS;
}

// The service request thread is told to stop and its wait ends with the
// session; close joins it.
void vx_visa_abort(void* context) {
  VisaLink* link = static_cast<VisaLink*>(context);
  link->aborted.store(true);
  link->srqStop.store(true);
  close_device(link);
}

}  // namespace

const TransportOps vx_visa_ops = {
    vx_visa_open,     // open
    vx_visa_close,    // close
    vx_visa_read,     // read
    vx_visa_write,    // write
    vx_visa_settmo,   // setTimeout
    vx_visa_clear,    // clear
    vx_visa_abort,    // abort
    vx_visa_readstb,  // readStb
    vx_visa_trigger,  // trigger
    vx_visa_remote,   // remote
    vx_transport_stream_end,  // endMessage: each viWrite ends its own
    vx_visa_write,            // writeMore
    vx_visa_lock,             // lock
    vx_visa_unlock,           // unlock
    vx_visa_srq,              // srqEnable
};
