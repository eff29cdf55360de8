// The VISA search: every USB INSTR resource the VISA library knows is asked
// for its identification (vx_visa_identify) in a worker thread of its own,
// and those made by the maker are listed under their resource names.
#include <cstring>

#include "find/find.h"
#include "platform/thread.h"
#include "transport/visa/visa_binding.h"
#include "transport/visa/visa_transport.h"

namespace {

const char kExpression[] = "?*USB?*INSTR";
const char kMaker[] = "Vextron AG";
const int kMaxProbes = 64;
const size_t kNameSize = 128;  // a name of up to 126 characters and its NUL
const size_t kMaxName = 126;
const size_t kReplySize = 128;
const size_t kWorkerStack = 2048;

void visa_probe_worker(void* arg) {
  const ProbeJob* job = static_cast<const ProbeJob*>(arg);
  char reply[kReplySize + 1];
  if (!vx_visa_identify(*job->visa, job->target, job->tmoMs, reply, sizeof reply)) return;
  char maker[VX_FIND_FIELD_SIZE] = {}, model[VX_FIND_FIELD_SIZE] = {}, serial[VX_FIND_FIELD_SIZE] = {};
  vx_find_take_field(vx_find_take_field(vx_find_take_field(reply, maker), model), serial);
  if (strcmp(maker, kMaker) == 0) vx_find_report(job->results, model, serial, job->target);
}

}  // namespace

ViStatus vx_visa_scan(char* text, int tmoMs, int capacity, int* length) {
  if (length) *length = 0;
  if (!text || capacity < 1) return VI_ERROR_SYSTEM_ERROR;
  text[0] = '\0';

  // Held for the whole search: a vx_comm_freeVisa meanwhile leaves the
  // module loaded until the last worker has ended.
  VisaUse use;
  if (!use) return VI_ERROR_SYSTEM_ERROR;
  const VisaFunctions& visa = use.fn();

  ViSession rm = 0;
  if (visa.viOpenDefaultRM(&rm) != VI_SUCCESS) return VI_ERROR_SYSTEM_ERROR;
  ViFindList list = 0;
  ViUInt32 matches = 0;
  char description[VI_FIND_BUFLEN + 1] = {};
  if (visa.viFindRsrc(rm, kExpression, &list, &matches, description) != VI_SUCCESS) {
    visa.viClose(rm);
    return VI_ERROR_SYSTEM_ERROR;
  }
  ProbeResults results;
  results.text = text;
  results.capacity = capacity;
  results.length = 0;
  results.cutShort = false;

  // Only the first kMaxProbes resources are probed; a name too long for
  // its table entry is not probed either, since a cut name would be another
  // resource's. Both leave the list short.
  bool skipped = matches > (ViUInt32)kMaxProbes;
  const int probes = skipped ? kMaxProbes : (int)matches;
  char names[kMaxProbes][kNameSize] = {};
  vxp_thread* threads[kMaxProbes] = {};
  ProbeJob jobs[kMaxProbes];
  for (int i = 0; i < probes; ++i) {
    description[VI_FIND_BUFLEN] = '\0';  // a library that fills the whole buffer
    const size_t nameLength = strlen(description);
    if (nameLength > kMaxName) {
      skipped = true;
    } else if (nameLength > 0) {
      memcpy(names[i], description, nameLength + 1);
      jobs[i] = ProbeJob{names[i], tmoMs, &results, &visa, 0, 0};
      threads[i] = vxp_thread_start(visa_probe_worker, &jobs[i], kWorkerStack);
    }
    visa.viFindNext(list, description);
  }
  for (int i = 0; i < probes; ++i) vxp_thread_join(threads[i]);

  visa.viClose(list);
  visa.viClose(rm);
  if (length) *length = results.length;
  return skipped || results.cutShort ? VI_SUCCESS_MAX_CNT : VI_SUCCESS;
}
