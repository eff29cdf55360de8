// The VXI-11 server of the simulator: per instrument a core channel, an abort
// channel and (unless rpcbind does it) a portmapper on TCP and UDP port 111.
// Every link runs a Session on a socket pair, so a VXI-11 link sees the same
// command set and instrument state as a raw TCP connection.
#ifndef VXSIM_VXI11_H
#define VXSIM_VXI11_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <poll.h>

#include "session.h"

namespace vxsim {

inline constexpr unsigned kVxiCorePort = 1024;
inline constexpr unsigned kVxiAbortPort = 1025;
inline constexpr std::uint32_t kVxiMaxRecv = 1024 * 1024;

// What real instruments do that a client must tolerate (--vxi11-fault).
struct Vxi11Faults {
    std::size_t frag = 0;            // replies in record fragments of at most this many bytes
    bool pmap_nolast = false;        // TCP portmapper replies without the last-fragment bit
    std::uint32_t max_recv = kVxiMaxRecv;  // maxRecvSize in create_link's reply
    std::uint32_t refuse = 0;        // create_link answers this error (0: links are made)
    std::uint32_t slow_ms = 0;       // device_read hands nothing over before this
    bool no_answer = false;          // device_read gets no reply unless aborted
    bool close_drops = false;        // a link's session ending (CLOSE, RESET) ends the core connection
    bool no_controls = false;        // readstb, trigger, remote and local answer error 8
    bool no_lock_wait = false;       // a call with the waitlock flag or a lock_timeout answers error 5
    // Hostile or broken instruments:
    std::uint32_t error = 0;         // every call on a link answers this error code (0: none)
    std::uint32_t late_ms = 0;       // device_read answers this late whatever its io_timeout, the
                                     // reply's last 8 bytes 1000 ms after the rest (0: never)
    bool mute = false;               // no call after create_link gets a reply
    std::uint32_t pmap_delay_ms = 0; // broadcast GETPORT replies leave this late
    std::uint32_t forge = 0;         // each broadcast GETPORT reply comes with this many forged
                                     // ones from 127.77.x.y, naming port 1 (where nothing listens)
    bool no_intr = false;            // create_intr_chan answers error 8: no service requests
    bool lid0 = false;               // the first link gets id 0 (a valid id) when it is free
};
// Parses one --vxi11-fault value onto f; false when it is not one.
bool apply_vxi11_fault(Vxi11Faults& f, const std::string& fault);

struct Vxi11Instrument {
    const Instrument* inst = nullptr;  // lives as long as the server
    in_addr addr{};
    Vxi11Faults faults;
};

class Vxi11Server {
public:
    Vxi11Server() = default;
    ~Vxi11Server() { close_all(); }
    Vxi11Server(const Vxi11Server&) = delete;
    Vxi11Server& operator=(const Vxi11Server&) = delete;

    // Binds every listener (and the portmapper's sockets when `portmap`;
    // UDP also on 0.0.0.0:111, where broadcasts arrive). False after logging.
    bool open(std::vector<Vxi11Instrument> instruments, unsigned core_port, unsigned abort_port, bool portmap);
    void add_pollfds(std::vector<pollfd>& out) const;
    // Accepts connections (each served by a detached thread made with
    // thread_attr) or answers portmapper datagrams; ignores fds not its own.
    void on_readable(int fd, const void* thread_attr);
    void close_all();

private:
    struct Listener {
        int fd;
        std::size_t inst;  // index into insts_, or SIZE_MAX for 0.0.0.0:111
        enum Kind { Core, Abort, PmapTcp, PmapUdp } kind;
    };
    void answer_udp(const Listener& l);

    std::vector<Vxi11Instrument> insts_;
    std::vector<Listener> listeners_;
    unsigned core_port_ = kVxiCorePort;
    unsigned abort_port_ = kVxiAbortPort;
};

}  // namespace vxsim

#endif  // VXSIM_VXI11_H
