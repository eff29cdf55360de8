// The HiSLIP server of the simulator (IVI-6.1, port 4880): a synchronous and
// an asynchronous connection per client session. The synchronous channel's
// Data/DataEnd payloads run through a Session on a socket pair, so HiSLIP, raw
// SCPI and VXI-11 links see the same command set and instrument state; its
// block data and uploads bypass the pair (BulkHandoff in session.h).
#ifndef VXSIM_HISLIP_H
#define VXSIM_HISLIP_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <poll.h>

#include "session.h"

namespace vxsim {

inline constexpr unsigned kHislipPort = 4880;
// Largest Data/DataEnd payload the server takes (AsyncMaximumMessageSizeResponse).
inline constexpr std::uint64_t kHislipMaxMessage = 1024 * 1024;

// What real servers do that a client must tolerate (--hislip-fault).
struct HislipFaults {
    std::uint32_t slow_ms = 0;        // a reply goes out this long after its query at the earliest
    bool interrupt = false;           // a reply's last byte is held 1000 ms: a new message interrupts it
    std::uint32_t fatal_at = 0;       // FatalError instead of the reply to this DataEnd (1 = the first)
    std::uint32_t error_at = 0;       // Error instead of the reply to this DataEnd; the session goes on
    bool encrypt = false;             // HiSLIP 2.0 server that requires encryption
    bool same_id = false;             // every session gets session id 1
    bool overlap = false;             // offers overlapped mode only
    std::uint64_t max_message = kHislipMaxMessage;
    bool stb_early = false;           // a reply's last byte waits for the next status response
    bool interrupted_late = false;    // AsyncInterrupted first, Interrupted 200 ms later
    // Hostile habits, for the client's own checks.
    bool flood = false;               // a query gets endless empty Data with its id, no DataEnd
    std::string bad_length;           // init, reply, over, error: that header declares a length beyond
                                      // any maximum; stb: AsyncStatusResponse carries a payload
    std::uint32_t stb_late_ms = 0;    // the first status response goes out this much late
};
// Parses one --hislip-fault value onto f; false when it is not one.
bool apply_hislip_fault(HislipFaults& f, const std::string& fault);

struct HislipInstrument {
    const Instrument* inst = nullptr;  // lives as long as the server
    in_addr addr{};
    HislipFaults faults;
};

class HislipServer {
public:
    HislipServer() = default;
    ~HislipServer() { close_all(); }
    HislipServer(const HislipServer&) = delete;
    HislipServer& operator=(const HislipServer&) = delete;

    // Binds <addr>:port for every instrument. False after logging.
    bool open(std::vector<HislipInstrument> instruments, unsigned port);
    void add_pollfds(std::vector<pollfd>& out) const;
    // Accepts connections, each served by a detached thread made with
    // thread_attr; ignores fds not its own.
    void on_readable(int fd, const void* thread_attr);
    void close_all();

private:
    std::vector<HislipInstrument> insts_;
    std::vector<int> fds_;  // per instrument
};

}  // namespace vxsim

#endif  // VXSIM_HISLIP_H
