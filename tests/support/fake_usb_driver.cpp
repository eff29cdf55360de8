#include "fake_usb_driver.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

FakeUsbDriver* g_fake = nullptr;
vxp_usb* const kHandle = reinterpret_cast<vxp_usb*>(&g_fake);

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
  return kHandle;
}
void f_close(vxp_usb*) {}
void f_start(vxp_usb*, const vxp_usb_op* op) { g_fake->start(op); }
void f_wait(vxp_usb*, uint32_t ms) { g_fake->wait(ms); }
bool f_pending(vxp_usb*) { return g_fake->pending(); }
void f_cancel(vxp_usb*) { g_fake->cancel(); }
bool f_result(vxp_usb*, uint32_t* bytes) { return g_fake->result(bytes); }
void f_interrupt(vxp_usb*) { g_fake->interrupt(); }
void f_preempt(vxp_usb*, bool on) { g_fake->preempt(on); }

const UsbDriverOps kFakeOps = {f_list,    f_open,   f_close,     f_start,  f_wait,
                               f_pending, f_cancel, f_result,    f_interrupt, f_preempt, f_describe};

}  // namespace

FakeUsbDriver::FakeUsbDriver() {
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

void FakeUsbDriver::attach(UsbDevice* d) {
  d->device = kHandle;
  d->deviceMutex = nullptr;
  d->timeout.store(VX_USB_OPEN_TIMEOUT_MS);
  d->path[0] = '\0';
  d->tag.store(1);
  d->checkCounter.store(0);
}

void FakeUsbDriver::start(const vxp_usb_op* op) {
  std::unique_lock<std::mutex> hold(m_);
  if (busy_) ++overlaps_;
  busy_ = true;
  FakeUsbOp rec;
  rec.kind = op->kind;
  rec.code = op->code;
  const uint8_t* in = static_cast<const uint8_t*>(op->in);
  if (op->kind != VXP_USB_BULK_IN && in) rec.in.assign(in, in + op->inLength);
  rec.outLength = op->kind == VXP_USB_BULK_OUT ? 0 : op->outLength;
  rec.cancelled = false;
  ops_.push_back(rec);
  FakeUsbAnswer a;
  if (respond) {
    hold.unlock();
    a = respond(rec);
    hold.lock();
  }
  if (interrupted_) a.how = FakeUsbAnswer::FAIL;
  pending_ = a.how == FakeUsbAnswer::PENDING;
  ok_ = a.how == FakeUsbAnswer::DONE;
  bytes_ = 0;
  if (ok_ && op->kind == VXP_USB_BULK_OUT) {
    bytes_ = a.written < 0 ? op->inLength : (uint32_t)a.written;
  } else if (ok_) {
    size_t n = a.data.size() < op->outLength ? a.data.size() : op->outLength;
    if (n > 0) memcpy(op->out, a.data.data(), n);
    bytes_ = (uint32_t)n;
  }
}

void FakeUsbDriver::wait(uint32_t ms) {
  if (waitMicros > 0) std::this_thread::sleep_for(std::chrono::microseconds(waitMicros));
  std::unique_lock<std::mutex> hold(m_);
  // Without a limit a pending operation ends only when interrupted.
  if (ms == 0xFFFFFFFFu) cv_.wait(hold, [&] { return !pending_ || interrupted_ || preempted_; });
  if (pending_ && interrupted_) {
    pending_ = false;
    ok_ = false;
  }
}

bool FakeUsbDriver::pending() {
  std::lock_guard<std::mutex> hold(m_);
  return pending_;
}

void FakeUsbDriver::cancel() {
  std::lock_guard<std::mutex> hold(m_);
  if (!ops_.empty()) ops_.back().cancelled = true;
  pending_ = false;
  ok_ = false;
  busy_ = false;
}

bool FakeUsbDriver::result(uint32_t* bytes) {
  std::lock_guard<std::mutex> hold(m_);
  busy_ = false;
  *bytes = ok_ ? bytes_ : 0;
  return ok_;
}

void FakeUsbDriver::preempt(bool on) {
  std::lock_guard<std::mutex> hold(m_);
  preempted_ = on;
  cv_.notify_all();
}

void FakeUsbDriver::interrupt() {
  std::lock_guard<std::mutex> hold(m_);
  interrupted_ = true;
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
