// A USB driver that reaches no device: it records every operation the
// transport starts and answers each from a scripted responder, so that the
// USBTMC framing and the clear can be checked as byte transcripts.
#ifndef VX_FAKE_USB_DRIVER_H
#define VX_FAKE_USB_DRIVER_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "transport/usb/usb_device.h"

struct FakeUsbOp {
  vxp_usb_kind kind;
  uint32_t code;
  std::vector<uint8_t> in;
  uint32_t outLength;
  bool cancelled;
  int handle;  // 0: attach's; 1, 2, ...: the opens', in order
};

struct FakeUsbAnswer {
  enum How { DONE, FAIL, PENDING } how = DONE;
  std::vector<uint8_t> data;  // bulk in and I/O control output
  int64_t written = -1;       // bulk out: bytes reported written (-1: all)
};

// One described interface; `path` is also what the open takes.
struct FakeUsbInfo {
  std::string path;
  uint16_t vendor = 0, product = 0, bcdDevice = 0;
  uint8_t interfaceNumber = 0, protocol = 1;
  uint8_t bulkOut = 0x01, bulkIn = 0x82, interruptIn = 0;
  uint16_t bulkOutPacket = 512, bulkInPacket = 512, interruptPacket = 0;
  uint8_t speed = 3;
  std::string manufacturer, productName, serial;
};

class FakeUsbDriver {
 public:
  // Installs itself as the transport's driver until destroyed.
  FakeUsbDriver();
  ~FakeUsbDriver();

  std::function<FakeUsbAnswer(const FakeUsbOp&)> respond;
  std::vector<std::string> paths;  // what list reports
  std::vector<FakeUsbInfo> infos;  // what describe reports
  std::string opened;              // the last path opened

  std::vector<FakeUsbOp> ops() const;
  // Starts that found the record in use by another operation.
  int overlaps() const;
  // Each wait that does not complete at once lasts this long (real time),
  // to widen race windows.
  int waitMicros = 0;

  // A device context on this driver, opened without a reservation.
  void attach(UsbDevice* d);
  // Handles opened and not closed yet (attach's not counted).
  int openHandles() const;

  // Driver side, for the operation table. Each handle has its own
  // overlapped record.
  struct Handle {
    int index = 0;
    bool busy = false;
    bool pending = false;
    bool ok = false;
    uint32_t bytes = 0;
    bool interrupted = false;
    bool preempted = false;
    bool closed = false;
  };
  Handle* open();
  void close(Handle* h);
  void start(Handle* h, const vxp_usb_op* op);
  void wait(Handle* h, uint32_t ms);
  bool pending(Handle* h);
  void cancel(Handle* h);
  bool result(Handle* h, uint32_t* bytes);
  void interrupt(Handle* h);
  void preempt(Handle* h, bool on);

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::vector<FakeUsbOp> ops_;
  std::deque<Handle> handles_;  // [0]: attach's
  int overlaps_ = 0;
};

// The 12-byte USBTMC header as the transport builds it.
std::vector<uint8_t> usb_header(uint8_t msgId, uint8_t tag, uint32_t size, uint8_t attributes);
// A device's reply message: header, payload, zeros up to fillTo bytes.
std::vector<uint8_t> usb_reply(uint8_t msgId, const std::string& payload, size_t fillTo = 0);

#endif
