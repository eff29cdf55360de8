// USB instruments on the bus service's socket. A connection's first frame is
// LIST or OPEN; an opened connection is one device handle: transfers with
// ids, completed exactly once, at most one bulk in outstanding, cancels.
// Behind the USBTMC framing a Session on a socket pair runs the SCPI set.
#include "usb.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vxsim {

namespace {

constexpr std::uint32_t kMaxBody = 65536;
constexpr std::uint32_t kList = 1, kOpen = 2, kBulkOut = 16, kBulkIn = 17, kIoctl = 18,
                        kCancel = 19;
constexpr std::uint32_t kDone = 0, kFailed = 1, kCancelled = 2;
constexpr std::uint32_t kControlRequest = 0x80002080u, kPreClear = 0x80002004u,
                        kPostClear = 0x8000201Cu;
constexpr std::size_t kStreamCap = 256 * 1024;

using Clock = std::chrono::steady_clock;

void put32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::uint32_t get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool send_all(int fd, const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

bool send_frame(int fd, const std::vector<std::uint8_t>& body) {
    std::uint8_t len[4];
    put32(len, static_cast<std::uint32_t>(body.size()));
    return send_all(fd, len, 4) && (body.empty() || send_all(fd, body.data(), body.size()));
}

bool recv_exact(int fd, std::uint8_t* p, std::size_t n, int timeout_ms) {
    while (n > 0) {
        pollfd pfd{fd, POLLIN, 0};
        int r = ::poll(&pfd, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t k = ::recv(fd, p, n, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

// One open device handle.
class Device {
public:
    Device(int bus, int stream, UsbInstrument& inst) : bus_(bus), stream_(stream), inst_(inst) {}
    void run();

private:
    bool on_request(const std::uint8_t* body, std::uint32_t n);
    void take_out_messages();
    std::vector<std::uint8_t> control(const std::uint8_t* in, std::uint32_t n, bool& ok);
    void reset_for_clear();
    void read_stream();
    bool try_bulk_in();
    bool complete(std::uint32_t id, std::uint32_t result, std::uint32_t count,
                  const std::uint8_t* data = nullptr);
    void build_message(std::uint8_t msg_id, std::uint8_t tag, const std::uint8_t* payload,
                       std::uint32_t n, std::uint8_t attributes, std::uint32_t fill_to);

    int bus_, stream_;
    UsbInstrument& inst_;
    bool stream_open_ = true;
    std::vector<std::uint8_t> rx_;
    std::vector<std::uint8_t> out_asm_;   // bulk out bytes not yet a whole message
    std::string stream_buf_;              // instrument output not yet in a message
    std::vector<std::uint8_t> msg_;       // device message being handed over
    std::size_t msg_at_ = 0, msg_end_ = 0;  // payload end; the zeros after it go with its last piece
    bool dev_req_ = false, vendor_req_ = false;
    std::uint8_t dev_tag_ = 0, vendor_tag_ = 0;
    std::uint32_t dev_size_ = 0;
    std::uint8_t echo_[4] = {0, 0, 0, 0};
    int empty_left_ = 0;
    int pending_left_ = 0;
    std::uint64_t transfers_ = 0;  // on this handle, for vanish=N
    bool in_pending_ = false;
    std::uint32_t in_id_ = 0, in_len_ = 0;
    Clock::time_point in_ready_;
};

void Device::build_message(std::uint8_t msg_id, std::uint8_t tag, const std::uint8_t* payload,
                           std::uint32_t n, std::uint8_t attributes, std::uint32_t fill_to) {
    msg_.assign(12, 0);
    msg_[0] = msg_id;
    msg_[1] = tag;
    msg_[2] = static_cast<std::uint8_t>(~tag);
    put32(&msg_[4], n);
    msg_[8] = attributes;
    msg_.insert(msg_.end(), payload, payload + n);
    // Zeros after the payload (alignment, and the zero fill of a device that
    // fills up to the size asked) go out with the transfer that completes
    // the payload, as far as they fit; the rest is dropped.
    msg_end_ = msg_.size();
    while (msg_.size() < fill_to) msg_.push_back(0);
    while (msg_.size() % 4 != 0) msg_.push_back(0);
    msg_at_ = 0;
}

bool Device::complete(std::uint32_t id, std::uint32_t result, std::uint32_t count,
                      const std::uint8_t* data) {
    if (inst_.stray) {
        // An id the client never gave (its ids are small), with data.
        static const std::uint8_t junk[8] = {'S', 'T', 'R', 'A', 'Y', 0, 0xFF, '\n'};
        std::vector<std::uint8_t> odd(12);
        put32(&odd[0], id ^ 0x80000000u);
        put32(&odd[4], kDone);
        put32(&odd[8], sizeof junk);
        odd.insert(odd.end(), junk, junk + sizeof junk);
        if (!send_frame(bus_, odd)) return false;
    }
    std::vector<std::uint8_t> body(12);
    put32(&body[0], id);
    put32(&body[4], result);
    put32(&body[8], count);
    if (data && count > 0) body.insert(body.end(), data, data + count);
    return send_frame(bus_, body);
}

void Device::read_stream() {
    char buf[16384];
    while (stream_open_ && stream_buf_.size() < kStreamCap) {
        ssize_t k = ::recv(stream_, buf, sizeof buf, MSG_DONTWAIT);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) return;
        if (k == 0) {
            stream_open_ = false;
            return;
        }
        stream_buf_.append(buf, static_cast<std::size_t>(k));
    }
}

void Device::reset_for_clear() {
    msg_.clear();
    msg_at_ = msg_end_ = 0;
    dev_req_ = vendor_req_ = false;
    out_asm_.clear();
    read_stream();
    stream_buf_.clear();
    pending_left_ = inst_.pending_polls;
}

void Device::take_out_messages() {
    for (;;) {
        if (out_asm_.size() < 12) return;
        std::uint8_t id = out_asm_[0];
        std::uint32_t size = get32(&out_asm_[4]);
        std::size_t need = 12;
        if (id == 1) {
            if (size > 16u * 1024 * 1024) {
                out_asm_.clear();
                return;
            }
            need = (12 + static_cast<std::size_t>(size) + 3) / 4 * 4;
        } else if (id == 126) {
            need = 16;
        } else if (id != 2 && id != 127) {
            out_asm_.clear();  // not a message this device knows
            return;
        }
        if (out_asm_.size() < need) return;
        if (id == 1) {
            if (size > 0) send_all(stream_, &out_asm_[12], size);
            empty_left_ = inst_.empty_before;
        } else if (id == 2) {
            dev_req_ = true;
            dev_tag_ = out_asm_[1];
            dev_size_ = size;
        } else if (id == 126) {
            std::memcpy(echo_, &out_asm_[12], 4);
        } else {
            vendor_req_ = true;
            vendor_tag_ = out_asm_[1];
        }
        out_asm_.erase(out_asm_.begin(), out_asm_.begin() + static_cast<std::ptrdiff_t>(need));
    }
}

std::vector<std::uint8_t> Device::control(const std::uint8_t* in, std::uint32_t n, bool& ok) {
    ok = n >= 24;
    if (!ok) return {};
    std::uint8_t type = in[0], request = in[1];
    if (type == 0xA1 && request == 5) {  // INITIATE_CLEAR
        reset_for_clear();
        return {1};
    }
    if (type == 0xA1 && request == 6) {  // CHECK_CLEAR_STATUS
        if (inst_.pending_forever || pending_left_ > 0) {
            if (pending_left_ > 0) --pending_left_;
            return {2, 0};
        }
        return {1, 0};
    }
    if (type == 0x02 && request == 1) return {};  // CLEAR_FEATURE(ENDPOINT_HALT)
    ok = false;
    return {};
}

bool Device::try_bulk_in() {
    if (!in_pending_ || inst_.no_answer) return true;
    if (inst_.slow_ms > 0 && Clock::now() < in_ready_) return true;
    if (msg_at_ >= msg_end_) {
        msg_.clear();
        msg_at_ = msg_end_ = 0;
        if (vendor_req_) {
            std::uint8_t echo[4];
            std::memcpy(echo, echo_, 4);
            if (inst_.bad_echo) echo[1] = static_cast<std::uint8_t>(echo[1] ^ 0x5A);
            build_message(127, vendor_tag_, echo, 4, 0, 0);
            vendor_req_ = false;
        } else if (dev_req_ && empty_left_ > 0) {
            build_message(2, dev_tag_, nullptr, 0, 1, 0);
            --empty_left_;
            dev_req_ = false;
        } else if (dev_req_) {
            read_stream();
            if (stream_buf_.empty()) return true;  // nothing to say yet
            std::uint32_t n = static_cast<std::uint32_t>(
                stream_buf_.size() < dev_size_ ? stream_buf_.size() : dev_size_);
            bool last = n == stream_buf_.size();
            build_message(2, dev_tag_, reinterpret_cast<const std::uint8_t*>(stream_buf_.data()),
                          n, last ? 1 : 0, inst_.zero_fill ? 12 + dev_size_ : 0);
            stream_buf_.erase(0, n);
            dev_req_ = false;
        } else {
            return true;  // no request: the bulk in waits
        }
    }
    std::size_t n = msg_end_ - msg_at_;
    if (n > in_len_) n = in_len_;
    // Only replies are cut: the vendor echo is read in one transfer.
    if (inst_.cut > 0 && msg_[0] == 2 && n > static_cast<std::size_t>(inst_.cut))
        n = static_cast<std::size_t>(inst_.cut);
    std::size_t extra = 0;
    if (msg_at_ + n == msg_end_) {
        extra = msg_.size() - msg_end_;
        if (extra > in_len_ - n) extra = in_len_ - n;
    }
    in_pending_ = false;
    bool sent = complete(in_id_, kDone, static_cast<std::uint32_t>(n + extra), msg_.data() + msg_at_);
    msg_at_ += n;
    if (msg_at_ >= msg_end_) {
        msg_.clear();
        msg_at_ = msg_end_ = 0;
    }
    return sent;
}

bool Device::on_request(const std::uint8_t* body, std::uint32_t n) {
    if (n < 16) return false;
    std::uint32_t kind = get32(body), id = get32(body + 4), code = get32(body + 8),
                  out_len = get32(body + 12);
    const std::uint8_t* data = body + 16;
    std::uint32_t data_len = n - 16;
    if (kind == kCancel) {
        if (in_pending_ && id == in_id_) {
            in_pending_ = false;
            if (inst_.late_cancel_ms > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(inst_.late_cancel_ms));
            return complete(id, kCancelled, 0);
        }
        return true;
    }
    if (inst_.gone.load()) return false;
    if (inst_.vanish_after > 0 && ++transfers_ > inst_.vanish_after) {
        inst_.gone.store(true);
        return false;
    }
    switch (kind) {
        case kBulkOut:
            out_asm_.insert(out_asm_.end(), data, data + data_len);
            take_out_messages();
            return complete(id, kDone, data_len);
        case kBulkIn:
            if (in_pending_) complete(in_id_, kFailed, 0);
            in_pending_ = true;
            in_id_ = id;
            in_len_ = out_len;
            in_ready_ = Clock::now() + std::chrono::milliseconds(inst_.slow_ms);
            return true;
        case kIoctl: {
            bool ok = code == kPreClear || code == kPostClear;
            std::vector<std::uint8_t> out;
            if (code == kControlRequest) out = control(data, data_len, ok);
            if (out.size() > out_len) out.resize(out_len);
            return complete(id, ok ? kDone : kFailed, ok ? static_cast<std::uint32_t>(out.size()) : 0,
                            out.data());
        }
        default:
            return false;
    }
}

void Device::run() {
    std::uint8_t buf[65536];
    for (;;) {
        if (!try_bulk_in()) return;
        int timeout = 1000;  // also notices a device that vanished meanwhile
        if (in_pending_ && inst_.slow_ms > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(in_ready_ - Clock::now()).count();
            timeout = left < 0 ? 0 : static_cast<int>(left) + 1;
        }
        pollfd pfds[2] = {{bus_, POLLIN, 0}, {stream_, POLLIN, 0}};
        bool want_stream = stream_open_ && stream_buf_.size() < kStreamCap;
        int r = ::poll(pfds, want_stream ? 2 : 1, timeout);
        if (r < 0 && errno != EINTR) return;
        if (inst_.gone.load()) return;
        if (r <= 0) continue;
        if (want_stream && (pfds[1].revents & (POLLIN | POLLHUP | POLLERR))) read_stream();
        if (pfds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t k = ::recv(bus_, buf, sizeof buf, 0);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) return;
            rx_.insert(rx_.end(), buf, buf + k);
            while (rx_.size() >= 4) {
                std::uint32_t n = get32(rx_.data());
                if (n > kMaxBody) return;
                if (rx_.size() < 4 + static_cast<std::size_t>(n)) break;
                if (!on_request(rx_.data() + 4, n)) return;
                rx_.erase(rx_.begin(), rx_.begin() + 4 + n);
                if (!try_bulk_in()) return;
            }
        }
    }
}

struct ConnectionStart {
    int fd;
    std::vector<UsbInstrument*> instruments;
    std::uint64_t id;
};

void serve_open(int fd, UsbInstrument& inst, std::uint64_t id) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        log_line("usb: cannot make a socket pair: %s", std::strerror(errno));
        return;
    }
    if (!send_frame(fd, std::vector<std::uint8_t>{0, 0, 0, 0})) {
        ::close(pair[0]);
        ::close(pair[1]);
        return;
    }
    Instrument si;
    si.index = inst.index;
    si.addr = "usb:" + inst.serial;
    si.idn = inst.idn;
    if (!start_session_thread(pair[1], si, id, "usb bus", nullptr)) {
        ::close(pair[0]);
        return;
    }
    {
        Device dev(fd, pair[0], inst);
        dev.run();
    }
    // The instrument's side sees the end of its stream and finishes.
    ::close(pair[0]);
}

void* connection_main(void* arg) {
    std::unique_ptr<ConnectionStart> start(static_cast<ConnectionStart*>(arg));
    int fd = start->fd;
    std::uint8_t len[4];
    if (recv_exact(fd, len, 4, 5000)) {
        std::uint32_t n = get32(len);
        std::vector<std::uint8_t> body(n <= kMaxBody ? n : 0);
        if (n >= 4 && n <= kMaxBody && recv_exact(fd, body.data(), n, 5000)) {
            std::uint32_t what = get32(body.data());
            if (what == kList) {
                std::vector<std::uint8_t> reply(4);
                std::uint32_t count = 0;
                for (UsbInstrument* u : start->instruments) {
                    if (u->gone.load()) continue;
                    reply.insert(reply.end(), u->path.begin(), u->path.end());
                    reply.push_back(0);
                    ++count;
                }
                put32(reply.data(), count);
                send_frame(fd, reply);
            } else if (what == kOpen) {
                std::string path(body.begin() + 4, body.end());
                UsbInstrument* found = nullptr;
                for (UsbInstrument* u : start->instruments)
                    if (!u->gone.load() && u->path == path) found = u;
                if (found)
                    serve_open(fd, *found, start->id);
                else
                    send_frame(fd, std::vector<std::uint8_t>{1, 0, 0, 0});
            }
        }
    }
    ::close(fd);
    return nullptr;
}

}  // namespace

bool apply_usb_fault(UsbInstrument& inst, const std::string& fault) {
    std::uint64_t v = 0;
    if (fault == "noanswer") inst.no_answer = true;
    else if (fault == "badecho") inst.bad_echo = true;
    else if (fault == "zerofill") inst.zero_fill = true;
    else if (fault == "pending-forever") inst.pending_forever = true;
    else if (fault_number(fault, "pending=", 100000, v)) inst.pending_polls = static_cast<int>(v);
    else if (fault_number(fault, "empty=", 100000, v)) inst.empty_before = static_cast<int>(v);
    else if (fault_number(fault, "cut=", 1024, v) && v > 0) inst.cut = static_cast<int>(v);
    else if (fault_number(fault, "slow=", 600000, v)) inst.slow_ms = static_cast<int>(v);
    else if (fault_number(fault, "vanish=", 1000000000, v) && v > 0) inst.vanish_after = v;
    else if (fault_number(fault, "latecancel=", 60000, v) && v > 0) inst.late_cancel_ms = static_cast<int>(v);
    else if (fault == "stray") inst.stray = true;
    else return false;
    return true;
}

bool UsbBus::open(std::vector<UsbInstrument*> instruments) {
    instruments_ = std::move(instruments);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_line("usb: cannot create the bus socket: %s", std::strerror(errno));
        return false;
    }
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, kUsbBusSocket, sizeof sa.sun_path - 1);
    ::unlink(kUsbBusSocket);  // left by an earlier run in this /run
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        log_line("usb: cannot listen on %s: %s", kUsbBusSocket, std::strerror(errno));
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool UsbBus::open_tcp(unsigned port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        log_line("usb: cannot listen on 127.0.0.1:%u: %s", port, std::strerror(errno));
        ::close(fd);
        return false;
    }
    tcp_fd_ = fd;
    return true;
}

void UsbBus::on_readable(int listener, const void* thread_attr) {
    for (;;) {
        int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (listener == tcp_fd_) {
            int one = 1;
            ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        auto* start = new ConnectionStart{c, instruments_, next_id_++};
        pthread_t tid;
        if (pthread_create(&tid, static_cast<const pthread_attr_t*>(thread_attr), connection_main, start) != 0) {
            log_line("usb: cannot start a connection thread");
            delete start;
            ::close(c);
            return;
        }
    }
}

void UsbBus::close_all() {
    if (tcp_fd_ >= 0) {
        ::close(tcp_fd_);
        tcp_fd_ = -1;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(kUsbBusSocket);
        fd_ = -1;
    }
}

}  // namespace vxsim
