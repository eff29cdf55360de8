#include "fake_usb_driver.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

FakeUsbDriver* g_fake = nullptr;

FakeUsbDriver::Handle* handle_of(vxp_usb* d) { return reinterpret_cast<FakeUsbDriver::Handle*>(d); }

void f_list(bool (*each)(void*, const char*), void* ctx) {
  for (const std::string& p : g_fake->paths)
    if (!each(ctx, p.c_str())) break;
}
void f_describe(bool (*each)(void*, const vxp_usb_info*), void* ctx) {
  for (const FakeUsbInfo& f : g_fake->infos) {
    vxp_usb_info i = {f.path.c_str(), f.vendor,  f.product,       f.bcdDevice,    f.interfaceNumber,
                      f.protocol,     f.bulkOut, f.bulkIn,        f.interruptIn,  f.bulkOutPacket,
                      f.bulkInPacket, f.interruptPacket, f.speed, f.manufacturer.c_str(), f.productName.c_str(),
                      f.serial.c_str()};
    if (!each(ctx, &i)) break;
  }
}
vxp_usb* f_open(const char* path) {
  g_fake->opened = path;
  return reinterpret_cast<vxp_usb*>(g_fake->open());
}
void f_close(vxp_usb* d) { g_fake->close(handle_of(d)); }
void f_start(vxp_usb* d, const vxp_usb_op* op) { g_fake->start(handle_of(d), op); }
void f_wait(vxp_usb* d, uint32_t ms) { g_fake->wait(handle_of(d), ms); }
bool f_pending(vxp_usb* d) { return g_fake->pending(handle_of(d)); }
void f_cancel(vxp_usb* d) { g_fake->cancel(handle_of(d)); }
bool f_result(vxp_usb* d, uint32_t* bytes) { return g_fake->result(handle_of(d), bytes); }
void f_interrupt(vxp_usb* d) { g_fake->interrupt(handle_of(d)); }
void f_preempt(vxp_usb* d, bool on) { g_fake->preempt(handle_of(d), on); }

const UsbDriverOps kFakeOps = {f_list,    f_open,   f_close,     f_start,  f_wait,
                               f_pending, f_cancel, f_result,    f_interrupt, f_preempt, f_describe};

}  // namespace

FakeUsbDriver::FakeUsbDriver() {
  handles_.emplace_back();
  g_fake = this;
  vx_usb_driver = &kFakeOps;
}

FakeUsbDriver::~FakeUsbDriver() {
  vx_usb_driver = &vx_usb_platform_driver;
  g_fake = nullptr;
}

std::vector<FakeUsbOp> FakeUsbDriver::ops() const {
  std::lock_guard<std::mutex> hold(m_);
  return ops_;
}

int FakeUsbDriver::overlaps() const {
  std::lock_guard<std::mutex> hold(m_);
  return overlaps_;
}

int FakeUsbDriver::openHandles() const {
  std::lock_guard<std::mutex> hold(m_);
  int n = 0;
  for (size_t i = 1; i < handles_.size(); ++i) n += handles_[i].closed ? 0 : 1;
  return n;
}

void FakeUsbDriver::attach(UsbDevice* d) {
  {
    std::lock_guard<std::mutex> hold(m_);
    d->device = reinterpret_cast<vxp_usb*>(&handles_[0]);
  }
  d->deviceMutex = nullptr;
  d->timeout.store(VX_USB_OPEN_TIMEOUT_MS);
  d->path[0] = '\0';
  d->tag.store(1);
  d->checkCounter.store(0);
}

FakeUsbDriver::Handle* FakeUsbDriver::open() {
  std::lock_guard<std::mutex> hold(m_);
  handles_.emplace_back();
  handles_.back().index = (int)handles_.size() - 1;
  return &handles_.back();
}

void FakeUsbDriver::close(Handle* h) {
  std::lock_guard<std::mutex> hold(m_);
  h->closed = true;
}

void FakeUsbDriver::start(Handle* h, const vxp_usb_op* op) {
  std::unique_lock<std::mutex> hold(m_);
  if (h->busy) ++overlaps_;
  h->busy = true;
  FakeUsbOp rec;
  rec.kind = op->kind;
  rec.code = op->code;
  const uint8_t* in = static_cast<const uint8_t*>(op->in);
  if (op->kind != VXP_USB_BULK_IN && in) rec.in.assign(in, in + op->inLength);
  rec.outLength = op->kind == VXP_USB_BULK_OUT ? 0 : op->outLength;
  rec.cancelled = false;
  rec.handle = h->index;
  ops_.push_back(rec);
  FakeUsbAnswer a;
  if (respond) {
    hold.unlock();
    a = respond(rec);
    hold.lock();
  }
  if (h->interrupted) a.how = FakeUsbAnswer::FAIL;
  h->pending = a.how == FakeUsbAnswer::PENDING;
  h->ok = a.how == FakeUsbAnswer::DONE;
  h->bytes = 0;
  if (h->ok && op->kind == VXP_USB_BULK_OUT) {
    h->bytes = a.written < 0 ? op->inLength : (uint32_t)a.written;
  } else if (h->ok) {
    size_t n = a.data.size() < op->outLength ? a.data.size() : op->outLength;
    if (n > 0) memcpy(op->out, a.data.data(), n);
    h->bytes = (uint32_t)n;
  }
}

void FakeUsbDriver::wait(Handle* h, uint32_t ms) {
  if (waitMicros > 0) std::this_thread::sleep_for(std::chrono::microseconds(waitMicros));
  std::unique_lock<std::mutex> hold(m_);
  // Without a limit a pending operation ends only when interrupted.
  if (ms == 0xFFFFFFFFu) cv_.wait(hold, [&] { return !h->pending || h->interrupted || h->preempted; });
  if (h->pending && h->interrupted) {
    h->pending = false;
    h->ok = false;
  }
}

bool FakeUsbDriver::pending(Handle* h) {
  std::lock_guard<std::mutex> hold(m_);
  return h->pending;
}

void FakeUsbDriver::cancel(Handle* h) {
  std::lock_guard<std::mutex> hold(m_);
  for (auto it = ops_.rbegin(); it != ops_.rend(); ++it)
    if (it->handle == h->index) {
      it->cancelled = true;
      break;
    }
  h->pending = false;
  h->ok = false;
  h->busy = false;
}

bool FakeUsbDriver::result(Handle* h, uint32_t* bytes) {
  std::lock_guard<std::mutex> hold(m_);
  h->busy = false;
  *bytes = h->ok ? h->bytes : 0;
  return h->ok;
}

void FakeUsbDriver::preempt(Handle* h, bool on) {
  std::lock_guard<std::mutex> hold(m_);
  h->preempted = on;
  cv_.notify_all();
}

void FakeUsbDriver::interrupt(Handle* h) {
  std::lock_guard<std::mutex> hold(m_);
  h->interrupted = true;
  cv_.notify_all();
}

std::vector<uint8_t> usb_header(uint8_t msgId, uint8_t tag, uint32_t size, uint8_t attributes) {
  return {msgId, tag, (uint8_t)~tag, 0, (uint8_t)size, (uint8_t)(size >> 8), (uint8_t)(size >> 16),
          (uint8_t)(size >> 24), attributes, 0, 0, 0};
}

std::vector<uint8_t> usb_reply(uint8_t msgId, const std::string& payload, size_t fillTo) {
  std::vector<uint8_t> m = usb_header(msgId, 0, (uint32_t)payload.size(), 1);
  m.insert(m.end(), payload.begin(), payload.end());
  while (m.size() < fillTo) m.push_back(0);
  return m;
}
