// The VISA search: every USB INSTR resource the VISA library knows is asked
// for its identification in a worker thread of its own, and those made by
// the maker are listed under their resource names.
#include <cstring>

#include "find/find.h"
#include "platform/mutex.h"
#include "platform/thread.h"
#include "transport/visa/visa_binding.h"

namespace {

const char kExpression[] = "?*USB?*INSTR";
const char kMaker[] = "Vextron AG";
const char kIdentify[] = "*IDN?\n";
const int kMaxProbes = 64;
const size_t kNameSize = 128;  // a name of up to 126 characters and its NUL
const size_t kMaxName = 126;
const size_t kReplySize = 128;
const size_t kFieldSize = 32;  // up to 31 characters and a NUL
const size_t kWorkerStack = 2048;

// What one worker needs; everything but `target` is shared by the search.
// The USB search hands its workers a record of the same shape.
struct VisaProbeJob {
  const char* target;  // the resource name, the worker's own copy
  char* text;
  int capacity;
  int* sharedLength;
  bool* cutShort;  // an entry did not fit
  vxp_mutex* discoveryMutex;
  int tmoMs;
  const VisaFunctions* visa;  // the search holds the module loaded
};

// Copies the text from `from` up to the next comma into a field of
// kFieldSize bytes, cut to 31 characters. Returns the position after that
// comma, or null when there is none (the field then stays empty).
const char* take_field(const char* from, char* field) {
  if (!from) return nullptr;
  const char* comma = strchr(from, ',');
  if (!comma) return nullptr;
  size_t n = (size_t)(comma - from);
  if (n > kFieldSize - 1) n = kFieldSize - 1;
  memcpy(field, from, n);
  field[n] = '\0';
  return comma + 1;
}

void vx_visa_probe(void* arg) {
  const VisaProbeJob* job = static_cast<const VisaProbeJob*>(arg);
  const VisaFunctions& visa = *job->visa;
  ViSession rm = 0, device = 0;
  if (visa.viOpenDefaultRM(&rm) < 0) return;
  if (visa.viOpen(rm, job->target, VI_NO_LOCK, 0, &device) != VI_SUCCESS) {
    visa.viClose(rm);
    return;
  }
  visa.viClear(device);
  ViStatus s = visa.viSetAttribute(device, VI_ATTR_TMO_VALUE, (ViAttrState)(uint32_t)job->tmoMs);
  // Zeroed: a library that reports more bytes than it wrote must not hand
  // the fields whatever the stack held.
  char reply[kReplySize + 1] = {};
  ViUInt32 got = 0;
  if (s == VI_SUCCESS)
    s = visa.viWrite(device, reinterpret_cast<const ViByte*>(kIdentify), (ViUInt32)(sizeof kIdentify - 1), &got);
  got = 0;
  if (s == VI_SUCCESS) s = visa.viRead(device, reinterpret_cast<ViByte*>(reply), (ViUInt32)kReplySize, &got);
  // A reply that fills the buffer may have been cut: not used.
  if (got >= kReplySize) got = 0;
  reply[got] = '\0';

  if (s == VI_SUCCESS && got > 0) {
    char maker[kFieldSize] = {}, model[kFieldSize] = {}, serial[kFieldSize] = {};
    const char* rest = take_field(reply, maker);
    rest = take_field(rest, model);
    take_field(rest, serial);
    if (strcmp(maker, kMaker) == 0) {
      vxp_mutex_lock(job->discoveryMutex);
      if (*job->sharedLength >= job->capacity ||
          !vx_find_append_entry(job->text, job->capacity, job->sharedLength, model, serial, job->target))
        *job->cutShort = true;
      vxp_mutex_unlock(job->discoveryMutex);
    }
  }
  visa.viClose(device);
  visa.viClose(rm);
}

}  // namespace

ViStatus vx_visa_scan(char* text, int tmoMs, int capacity, int* length) {
  int sharedLength = 0;
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
  // Workers must not append without mutual exclusion: no mutex, no search.
  vxp_mutex* discoveryMutex = vxp_mutex_create();
  if (!discoveryMutex) {
    visa.viClose(list);
    visa.viClose(rm);
    return VI_ERROR_SYSTEM_ERROR;
  }

  // Only the first kMaxProbes resources are probed; a name too long for
  // its table entry is not probed either, since a cut name would be another
  // resource's. Both leave the list short.
  bool skipped = matches > (ViUInt32)kMaxProbes;
  bool cutShort = false;  // written by the workers, under the mutex
  const int probes = skipped ? kMaxProbes : (int)matches;
  char names[kMaxProbes][kNameSize] = {};
  vxp_thread* threads[kMaxProbes] = {};
  VisaProbeJob jobs[kMaxProbes];
  for (int i = 0; i < probes; ++i) {
    description[VI_FIND_BUFLEN] = '\0';  // a library that fills the whole buffer
    const size_t nameLength = strlen(description);
    if (nameLength > kMaxName) {
      skipped = true;
    } else if (nameLength > 0) {
      memcpy(names[i], description, nameLength + 1);
      jobs[i] = VisaProbeJob{names[i], text, capacity, &sharedLength, &cutShort, discoveryMutex, tmoMs, &visa};
      threads[i] = vxp_thread_start(vx_visa_probe, &jobs[i], kWorkerStack);
    }
    visa.viFindNext(list, description);
  }
  for (int i = 0; i < probes; ++i) vxp_thread_join(threads[i]);

  vxp_mutex_destroy(discoveryMutex);
  visa.viClose(list);
  visa.viClose(rm);
  if (length) *length = sharedLength;
  return skipped || cutShort ? VI_SUCCESS_MAX_CNT : VI_SUCCESS;
}
