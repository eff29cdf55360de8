// The USB instrument bus: simulated USB instruments served on the bus
// service's Unix socket (docs/guide/simulator.md). Each opened device connection
// speaks USBTMC bulk messages, control requests and the vendor echo, and
// runs the same SCPI command set as a TCP connection behind them.
#ifndef VXSIM_USB_H
#define VXSIM_USB_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "session.h"

namespace vxsim {

inline constexpr const char* kUsbBusSocket = "/run/vx_comm_lib/usb.sock";

// What one open connection has received from the device's interrupt-IN
// endpoint and not yet handed over: notifications that are not service
// requests (0) and service requests (1), at most kUsbNotifyQueue each.
inline constexpr std::size_t kUsbNotifyQueue = 16;
// Each is woken through its eventfd as a notification joins; the service
// requests it has been handed are counted up to the instrument's srqs.
struct UsbNotifyQueues {
    std::deque<std::vector<std::uint8_t>> q[2];
    std::uint64_t dropped = 0;
    std::uint64_t srq_seen = 0;
    int wake_fd = -1;
};

struct UsbInstrument {
    int index = 0;
    std::string serial;
    std::string path;  // the device path LIST reports and OPEN takes
    std::string idn;
    // Faults, each selectable per device.
    bool no_answer = false;        // bulk in never completes
    bool bad_echo = false;         // vendor echo comes back changed
    bool zero_fill = false;        // replies padded with zeros up to the size asked
    bool pending_forever = false;  // CHECK_CLEAR_STATUS always pending
    int pending_polls = 0;         // CHECK_CLEAR_STATUS pending this many times
    int empty_before = 0;          // empty replies before the data of each command
    int cut = 0;                   // at most this many reply bytes per bulk in (0: no limit)
    int slow_ms = 0;               // every bulk in completes this late
    std::uint64_t vanish_after = 0;  // gone after this many transfers on one handle (0: never)
    int late_cancel_ms = 0;          // a cancel of the pending bulk in completes this late
    bool stray = false;              // every completion follows one for an id never given
    bool clear_read = false;         // INITIATE_CLEAR leaves a message the host must read first
    std::atomic<bool> gone{false};

    // A USBTMC class device of another maker (--usb-class): vendor-specific
    // messages ignored, class and USB488 requests answered, a command run
    // only at the message with EOM. The maker's own device: false.
    bool class_device = false;
    std::uint16_t vendor = 0x03eb, product = 0xafff, bcd_device = 0x0100;
    std::uint8_t protocol = 0;  // bInterfaceProtocol: 0 USBTMC, 1 USB488
    std::uint8_t iface = 0;     // interface number (not 0: &mi_NN in the path)
    std::uint8_t bulk_out = 0x02, bulk_in = 0x81, interrupt_in = 0;  // 0: none
    std::uint16_t packet = 512;  // wMaxPacketSize of every endpoint
    std::uint8_t speed = 3;      // 2 full, 3 high
    bool cap_trigger = false, cap_ren = false;  // USB488 TRIGGER; REN_CONTROL/GO_TO_LOCAL/LOCAL_LOCKOUT
    // Quirks of real devices.
    bool quirk_rigol = false;  // whole reply in one message, whatever size was asked; EOM not set
    bool quirk_noeom = false;  // EOM never set in replies
    bool quirk_nopad = false;  // alignment zeros of a message taken as its data
    // Shared by its connections (trigger count, REN/remote/lockout, SRQs).
    std::shared_ptr<InstrumentState> state = std::make_shared<InstrumentState>();
    // Every open connection's notification queues, for the interrupt-IN
    // endpoint (under notify_mutex).
    std::mutex notify_mutex;
    std::vector<UsbNotifyQueues*> listeners;
};

// Parses one --usb-quirk value onto inst (a class device); false when it is not one.
bool apply_usb_quirk(UsbInstrument& inst, const std::string& quirk);
// Parses one --usb-caps list (comma-separated) onto inst; false when a word is unknown.
bool apply_usb_caps(UsbInstrument& inst, const std::string& caps);
// Makes inst a class device with these ids: USB488 with REN and trigger,
// interrupt-IN 0x83, the path from the ids and interface.
void make_usb_class_device(UsbInstrument& inst, std::uint16_t vendor, std::uint16_t product);
// The default path of inst from its ids, interface and serial.
std::string usb_class_path(const UsbInstrument& inst);

// Parses one --usb-fault value onto inst; false when it is not one.
bool apply_usb_fault(UsbInstrument& inst, const std::string& fault);

class UsbBus {
public:
    UsbBus() = default;
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;
    ~UsbBus() { close_all(); }
    // Binds the bus socket; false (with a log line) when it cannot.
    bool open(std::vector<UsbInstrument*> instruments);
    // Also serves the same protocol on 127.0.0.1:port (for a driver that
    // forwards a Wine prefix's device I/O to the bus).
    bool open_tcp(unsigned port);
    int fd() const { return fd_; }
    int tcp_fd() const { return tcp_fd_; }
    // Accepts pending connections, each served by a detached thread.
    void on_readable(int listener, const void* thread_attr);
    void close_all();

private:
    int fd_ = -1;
    int tcp_fd_ = -1;
    std::vector<UsbInstrument*> instruments_;
    std::uint64_t next_id_ = 1;
    // One per instrument with an interrupt-IN endpoint: its service
    // requests to the connections (usb.cpp), until close_all.
    std::vector<std::thread> watchers_;
    std::atomic<bool> stop_watching_{false};
};

}  // namespace vxsim

#endif
