// The LAN search responder: answers empty UDP datagrams on port 9998 with one
// reply per instrument, sent from that instrument's own address.
#ifndef VXSIM_LAN_H
#define VXSIM_LAN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <poll.h>

namespace vxsim {

inline constexpr unsigned kLanPort = 9998;
inline constexpr std::size_t kLanModelAt = 21;
inline constexpr std::size_t kLanSerialAt = 51;
inline constexpr int kLanDefaultSize = 80;
inline constexpr int kLanMaxSize = 512;

// The reply datagram: "VXSIM-LAN" zero-padded to 21 bytes, the serial
// NUL-terminated at 51, then the model NUL-terminated at 21 (written last, so
// a model of more than 29 characters runs over the serial), all zero-padded
// or cut to `size` bytes (0..kLanMaxSize).
std::vector<std::uint8_t> lan_reply(const std::string& model, const std::string& serial,
                                    std::size_t size);

struct LanInstrument {
    in_addr addr{};
    std::string text;                 // dotted quad, for logs
    bool answers = true;              // false for --lan-size -1
    std::vector<std::uint8_t> reply;  // sent as is (may be empty)
};

class LanResponder {
public:
    LanResponder() = default;
    ~LanResponder();
    LanResponder(const LanResponder&) = delete;
    LanResponder& operator=(const LanResponder&) = delete;

    // Binds 0.0.0.0:9998 (where requests to 255.255.255.255 arrive) and one
    // socket per instrument on <addr>:9998 (its replies' source; unicast
    // requests to that address arrive there and get only its answer). All
    // with SO_REUSEADDR. False (after logging) on failure.
    bool open(std::vector<LanInstrument> instruments);
    // Appends the sockets to poll for POLLIN.
    void add_pollfds(std::vector<pollfd>& out) const;
    // Takes every pending datagram on fd (one of those added) and answers.
    void on_readable(int fd);
    void close_all();

private:
    void answer(const sockaddr_in& to, std::size_t first, std::size_t last);

    int any_fd_ = -1;
    std::vector<LanInstrument> insts_;
    std::vector<int> fds_;  // per instrument
};

}  // namespace vxsim

#endif  // VXSIM_LAN_H
