// LAN search responder (see lan.h and docs/guide/simulator.md).
#include "lan.h"

#include "session.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vxsim {

std::vector<std::uint8_t> lan_reply(const std::string& model, const std::string& serial,
                                    std::size_t size) {
    std::vector<std::uint8_t> full(kLanMaxSize + 1, 0);
    static const char kTag[] = "VXSIM-LAN";
    std::memcpy(full.data(), kTag, sizeof kTag - 1);
    auto put = [&](std::size_t at, const std::string& text) {
        std::size_t n = text.size();
        if (n > kLanMaxSize - at) n = kLanMaxSize - at;
        std::memcpy(full.data() + at, text.data(), n);
        full[at + n] = 0;
    };
    put(kLanSerialAt, serial);
    put(kLanModelAt, model);
    full.resize(size);
    return full;
}

namespace {

std::string addr_text(const sockaddr_in& sa) {
    char ip[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(sa.sin_port));
}

int open_udp(in_addr addr, const std::string& text) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_line("cannot create a UDP socket: %s", std::strerror(errno));
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(kLanPort));
    sa.sin_addr = addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        log_line("cannot bind UDP %s:%u for the LAN search responder: %s (or use --no-lan)",
                 text.c_str(), kLanPort, std::strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

LanResponder::~LanResponder() { close_all(); }

bool LanResponder::open(std::vector<LanInstrument> instruments) {
    insts_ = std::move(instruments);
    in_addr any{};
    any.s_addr = htonl(INADDR_ANY);
    any_fd_ = open_udp(any, "0.0.0.0");
    if (any_fd_ < 0) return false;
    for (const LanInstrument& inst : insts_) {
        int fd = open_udp(inst.addr, inst.text);
        if (fd < 0) {
            close_all();
            return false;
        }
        fds_.push_back(fd);
    }
    return true;
}

void LanResponder::add_pollfds(std::vector<pollfd>& out) const {
    if (any_fd_ >= 0) out.push_back({any_fd_, POLLIN, 0});
    for (int fd : fds_) out.push_back({fd, POLLIN, 0});
}

void LanResponder::close_all() {
    if (any_fd_ >= 0) ::close(any_fd_);
    any_fd_ = -1;
    for (int fd : fds_) ::close(fd);
    fds_.clear();
}

void LanResponder::on_readable(int fd) {
    std::size_t first = 0, last = insts_.size();
    if (fd != any_fd_) {
        for (first = 0; first < fds_.size() && fds_[first] != fd; ++first) {
        }
        if (first == fds_.size()) return;
        last = first + 1;
    }
    // Bounded, so a flood cannot keep the main loop from accepting.
    for (int i = 0; i < 64; ++i) {
        std::uint8_t buf[1];
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ssize_t n = ::recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&from), &flen);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                log_line("LAN responder: receive failed: %s", std::strerror(errno));
            return;
        }
        if (n > 0) {
            if (!g_settings.quiet)
                log_line("LAN responder: ignored a non-empty datagram (%zd bytes) from %s", n,
                         addr_text(from).c_str());
            continue;
        }
        g_lan_requests.fetch_add(1);
        answer(from, first, last);
    }
}

void LanResponder::answer(const sockaddr_in& to, std::size_t first, std::size_t last) {
    std::size_t answered = 0;
    for (std::size_t k = first; k < last; ++k) {
        const LanInstrument& inst = insts_[k];
        if (!inst.answers) continue;
        ssize_t n = ::sendto(fds_[k], inst.reply.data(), inst.reply.size(), MSG_DONTWAIT,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (n < 0) {
            log_line("LAN responder: reply from %s to %s failed: %s", inst.text.c_str(),
                     addr_text(to).c_str(), std::strerror(errno));
            continue;
        }
        ++answered;
    }
    if (!g_settings.quiet)
        log_line("LAN search from %s: %zu repl%s", addr_text(to).c_str(), answered,
                 answered == 1 ? "y" : "ies");
}

}  // namespace vxsim
