// The USB instrument bus: simulated USB instruments served on the bus
// service's Unix socket (docs/guide/simulator.md). Each opened device connection
// speaks USBTMC bulk messages, control requests and the vendor echo, and
// runs the same SCPI command set as a TCP connection behind them.
#ifndef VXSIM_USB_H
#define VXSIM_USB_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "session.h"

namespace vxsim {

inline constexpr const char* kUsbBusSocket = "/run/vx_comm_lib/usb.sock";

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
    std::atomic<bool> gone{false};
};

// Parses one --usb-fault value onto inst; false when it is not one.
bool apply_usb_fault(UsbInstrument& inst, const std::string& fault);

class UsbBus {
public:
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
};

}  // namespace vxsim

#endif
