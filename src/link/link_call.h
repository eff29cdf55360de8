// The frame that every export on an open link follows: empty the thread's
// reason, validate the linkId and register the call, (entry line),
// per-link lock, the work, unlock, (result line), leave. The export writes its own log lines; this object
// does the rest, so a missing unlock or leave cannot happen.
//
//   LinkCall call(linkId);
//   if (!call) return VI_ERROR_CONN_LOST;
//   writeLog(entry line);
//   ViStatus status = call.locked("vx_comm_write", [&] { return ...; });
//   writeLog(result line);
//   return status;                  // leaves when `call` goes out of scope
#ifndef VX_LINK_CALL_H
#define VX_LINK_CALL_H

#include "link/link_table.h"
#include "log/call_log.h"
#include "log/last_error.h"

class LinkCall {
 public:
  explicit LinkCall(ViInt32 linkId) : slot_((vx_last_error_begin(), vx_link_enter(linkId))), linkId_(linkId) {}
  ~LinkCall() {
    if (slot_) vx_link_leave(slot_);
  }
  LinkCall(const LinkCall&) = delete;
  LinkCall& operator=(const LinkCall&) = delete;

  // False for an invalid linkId: a free slot, or one being closed.
  explicit operator bool() const { return slot_ != nullptr; }
  LinkSlot* slot() const { return slot_; }
  ViInt32 linkId() const { return linkId_; }

  // Runs work() holding the per-link lock under the export's `name`.
  template <typename Work>
  ViStatus locked(const char* name, Work work) {
    vx_link_lock(slot_, name);
    ViStatus status = work();
    vx_link_unlock(slot_, name);
    // The status alone does not say who ended the connection; a close of
    // our own is not news.
    if (status == VI_ERROR_CONN_LOST && !vx_link_closing(slot_))
      writeLog("%s() error: the connection is lost: the instrument closed it, or the network failed\n", name);
    status = vx_link_outcome(slot_, status);
    vx_last_error_end(name, status);
    return status;
  }

  // The same for the two exports that take no lock of their own.
  template <typename Work>
  ViStatus unlocked(Work work) {
    const ViStatus status = vx_link_outcome(slot_, work());
    vx_last_error_end(nullptr, status);
    return status;
  }

 private:
  LinkSlot* slot_;
  ViInt32 linkId_;
};

#endif
