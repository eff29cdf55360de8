#include "fake_transport.h"

#include <algorithm>
#include <cstring>

#include "link/link_table.h"

namespace {

ViStatus fake_open(const char*, ViInt32, LinkSlot*) { return VI_ERROR_SYSTEM_ERROR; }

ViStatus fake_close(void* context) {
  FakeLink* f = static_cast<FakeLink*>(context);
  std::lock_guard<std::mutex> hold(f->m);
  f->closeCalls++;
  f->srqSink = nullptr;
  return VI_SUCCESS;
}

ViStatus fake_read(void* context, void* buffer, ViInt32 count, ViInt32* retCount) {
  FakeLink* f = static_cast<FakeLink*>(context);
  if (retCount) *retCount = 0;
  if (f->onRead) f->onRead();
  std::lock_guard<std::mutex> hold(f->m);
  f->readCounts.push_back(count);
  if (f->reads.empty()) return VI_ERROR_TMO;
  FakeRead& r = f->reads.front();
  size_t n = std::min(r.data.size(), count > 0 ? (size_t)count : 0);
  memcpy(buffer, r.data.data(), n);
  if (retCount) *retCount = (ViInt32)n;
  f->served += n;
  ViStatus status = r.status;
  r.data.erase(0, n);
  if (r.data.empty()) f->reads.pop_front();
  return status;
}

ViStatus fake_write(void* context, const void* buffer, ViInt32 count, ViInt32* retCount) {
  FakeLink* f = static_cast<FakeLink*>(context);
  if (retCount) *retCount = 0;
  if (count <= 0) return VI_SUCCESS;
  std::lock_guard<std::mutex> hold(f->m);
  size_t n = (size_t)count;
  if (f->writeChunk && n > f->writeChunk) n = f->writeChunk;
  f->writes.push_back(std::string(static_cast<const char*>(buffer), n));
  if (retCount) *retCount = (ViInt32)n;
  return VI_SUCCESS;
}

ViStatus fake_settmo(void* context, ViInt32 tmoMs) {
  FakeLink* f = static_cast<FakeLink*>(context);
  std::lock_guard<std::mutex> hold(f->m);
  f->timeouts.push_back(tmoMs);
  return VI_SUCCESS;
}

ViStatus fake_clear(void* context) {
  FakeLink* f = static_cast<FakeLink*>(context);
  std::lock_guard<std::mutex> hold(f->m);
  f->clearCalls++;
  return f->clearStatus;
}

void fake_abort(void* context) {
  FakeLink* f = static_cast<FakeLink*>(context);
  std::lock_guard<std::mutex> hold(f->m);
  f->abortCalls++;
}

ViStatus fake_readstb(void* context, ViUInt16* stb) {
  FakeLink* f = static_cast<FakeLink*>(context);
  std::lock_guard<std::mutex> hold(f->m);
  f->controls.push_back("readStb");
  *stb = f->stb;
  return f->controlStatus;
}

ViStatus fake_trigger(void* context) {
  FakeLink* f = static_cast<FakeLink*>(context);
  std::lock_guard<std::mutex> hold(f->m);
  f->controls.push_back("trigger");
  return f->controlStatus;
}

ViStatus fake_remote(void* context, ViUInt16 mode) {
  FakeLink* f = static_cast<FakeLink*>(context);
  std::lock_guard<std::mutex> hold(f->m);
  f->controls.push_back("remote " + std::to_string(mode));
  return f->controlStatus;
}

ViStatus fake_lock(void* context, ViInt32 tmoMs) {
  FakeLink* f = static_cast<FakeLink*>(context);
  std::lock_guard<std::mutex> hold(f->m);
  f->controls.push_back("lock " + std::to_string(tmoMs));
  return f->controlStatus;
}

ViStatus fake_unlock(void* context) {
  FakeLink* f = static_cast<FakeLink*>(context);
  std::lock_guard<std::mutex> hold(f->m);
  f->controls.push_back("unlock");
  return f->controlStatus;
}

ViStatus fake_srq(void* context, SrqSink* sink) {
  FakeLink* f = static_cast<FakeLink*>(context);
  std::lock_guard<std::mutex> hold(f->m);
  f->controls.push_back(sink ? "srq on" : "srq off");
  if (f->controlStatus == VI_SUCCESS) f->srqSink = sink;
  return f->controlStatus;
}

const TransportOps fake_ops = {fake_open,    fake_close,  fake_read,   fake_write,
                               fake_settmo,  fake_clear,  fake_abort,  fake_readstb,
                               fake_trigger, fake_remote, vx_transport_stream_end, fake_write,
                               fake_lock,    fake_unlock, fake_srq};

}  // namespace

std::string FakeLink::written() const {
  std::string all;
  for (const std::string& w : writes) all += w;
  return all;
}

ViInt32 fake_attach(FakeLink* fake, bool useLock) {
  for (LinkSlot& s : vx_link_table) {
    if (!vx_gate_reserve(&s.gate)) continue;
    s.context = fake;
    s.ops = fake_ops;
    s.pendingData = nullptr;
    s.pendingLength = 0;
    s.blockSize = 0;
    s.blockConsumed = 0;
    s.blockOwed = 0;
    s.useLock = useLock ? 1 : 0;
    s.lockMutex = useLock ? vxp_mutex_create() : nullptr;
    vx_gate_open(&s.gate);
    return vx_link_id(&s);
  }
  return -1;
}
