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
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vxsim {

namespace {

constexpr std::uint32_t kMaxBody = 65536;
constexpr std::uint32_t kList = 1, kOpen = 2, kDescribe = 3, kBulkOut = 16, kBulkIn = 17, kIoctl = 18,
                        kCancel = 19, kInterruptIn = 20;
constexpr std::uint32_t kDone = 0, kFailed = 1, kCancelled = 2;
constexpr std::uint32_t kControlRequest = 0x80002080u, kPreClear = 0x80002004u,
                        kPostClear = 0x8000201Cu;
constexpr std::size_t kStreamCap = 256 * 1024;
// A class device runs a command at the message with EOM; a message held
// longer than this goes to the instrument in parts (bounded memory).
constexpr std::size_t kMaxHeldMessage = 16 * 1024 * 1024;
// USBTMC status values.
constexpr std::uint8_t kStatusSuccess = 0x01, kStatusPending = 0x02, kStatusFailed = 0x80,
                       kStatusNotInProgress = 0x81;

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

// Hands a notification of the device's interrupt-IN endpoint to every open
// connection, as the bus service does: into the queue of its kind, the
// oldest dropped when full.
void notify_all(UsbInstrument& inst, const std::vector<std::uint8_t>& note);

void push_note(UsbNotifyQueues& nq, const std::vector<std::uint8_t>& note, int index) {
    auto& q = nq.q[!note.empty() && note[0] == 0x81 ? 1 : 0];
    if (q.size() >= kUsbNotifyQueue) {
        q.pop_front();
        if (nq.dropped++ == 0)
            log_line("usb: instrument %d: a connection's notification queue is full, the oldest dropped", index);
    }
    q.push_back(note);
    if (nq.wake_fd >= 0) {
        std::uint64_t one = 1;
        ssize_t w = ::write(nq.wake_fd, &one, sizeof one);
        (void)w;  // a counter that cannot grow already wakes the connection
    }
}

// The service requests each open connection has not been handed yet, as
// notifications 0x81 and the status byte with RQS (under notify_mutex).
void hand_out_srqs(UsbInstrument& inst) {
    if (inst.interrupt_in == 0) return;
    const std::uint64_t srqs = inst.state->srqs.load();
    const auto stb = static_cast<std::uint8_t>(inst.state->stb.load() | 0x40);
    for (UsbNotifyQueues* nq : inst.listeners)
        for (; nq->srq_seen < srqs; ++nq->srq_seen) push_note(*nq, {0x81, stb}, inst.index);
}

// Hands each service request to the connections as it is made, so that the
// notification carries the status byte of that moment and goes out at once;
// until `stop`, seen within 100 ms.
void watch_srqs(UsbInstrument* inst, const std::atomic<bool>* stop) {
    std::uint64_t seen = inst->state->srqs.load();
    while (!stop->load()) {
        const std::uint64_t now = inst->state->wait_service(seen, 100);
        if (now == seen) continue;
        seen = now;
        std::lock_guard<std::mutex> lock(inst->notify_mutex);
        hand_out_srqs(*inst);
    }
}

void notify_all(UsbInstrument& inst, const std::vector<std::uint8_t>& note) {
    std::lock_guard<std::mutex> lock(inst.notify_mutex);
    for (UsbNotifyQueues* nq : inst.listeners) push_note(*nq, note, inst.index);
}

// The instrument's session behind a socket pair: our end (blocking) in fd.
bool start_usb_session(const Instrument& si, std::uint64_t id, int& fd, std::shared_ptr<SessionHook>& hook) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        log_line("usb: cannot make a socket pair: %s", std::strerror(errno));
        return false;
    }
    hook = std::make_shared<SessionHook>();
    if (hook->idle.wake_fd < 0 || !start_session_thread(pair[1], si, id, "usb bus", hook)) {
        if (hook->idle.wake_fd < 0) ::close(pair[1]);
        ::close(pair[0]);
        return false;
    }
    fd = pair[0];
    return true;
}

// One open device handle.
class Device {
public:
    Device(int bus, int stream, UsbInstrument& inst, std::shared_ptr<SessionHook> hook, const Instrument& si,
           std::uint64_t id)
        : bus_(bus), stream_(stream), inst_(inst), state_(*inst.state), hook_(std::move(hook)), si_(si), id_(id) {
        notes_.wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        std::lock_guard<std::mutex> lock(inst_.notify_mutex);
        notes_.srq_seen = state_.srqs.load();
        inst_.listeners.push_back(&notes_);
    }
    ~Device() {
        // The instrument's side sees the end of its stream and finishes.
        ::close(stream_);
        std::lock_guard<std::mutex> lock(inst_.notify_mutex);
        for (auto it = inst_.listeners.begin(); it != inst_.listeners.end(); ++it)
            if (*it == &notes_) {
                inst_.listeners.erase(it);
                break;
            }
        if (notes_.wake_fd >= 0) ::close(notes_.wake_fd);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    void run();

private:
    bool on_request(const std::uint8_t* body, std::uint32_t n);
    void take_out_messages();
    void take_class_messages();
    void feed(const std::uint8_t* p, std::size_t n);
    void dev_msg_out(const std::uint8_t* payload, std::size_t n, bool eom);
    std::vector<std::uint8_t> control(const std::uint8_t* in, std::uint32_t n, bool& ok);
    std::vector<std::uint8_t> class_control(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                                            std::uint16_t index, bool& ok);
    std::uint8_t status_byte();
    void reset_for_clear();
    void read_stream();
    bool session_idle() const;
    bool try_bulk_in();
    bool try_interrupt_in();
    bool complete(std::uint32_t id, std::uint32_t result, std::uint32_t count,
                  const std::uint8_t* data = nullptr);
    void build_message(std::uint8_t msg_id, std::uint8_t tag, const std::uint8_t* payload,
                       std::uint32_t n, std::uint8_t attributes, std::uint32_t fill_to);

    int bus_, stream_;
    UsbInstrument& inst_;
    InstrumentState& state_;
    std::shared_ptr<SessionHook> hook_;  // tells when the session has said all it will
    Instrument si_;                      // what the session runs, for a fresh one at a clear
    std::uint64_t id_;
    std::uint64_t written_ = 0;          // bytes fed to the session
    std::string held_;                   // class device: the message until its EOM
    UsbNotifyQueues notes_;              // under inst_.notify_mutex
    std::uint8_t out_tag_ = 0;           // bTag of the last bulk-out message
    std::uint32_t out_received_ = 0;     // its bytes taken so far
    std::uint32_t aborted_in_ = 0, aborted_out_ = 0;  // NBYTES_RXD of the last aborts
    int abort_pending_left_ = 0;
    bool intr_pending_ = false;
    std::uint32_t intr_id_ = 0, intr_len_ = 0, intr_code_ = 0;
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
    if (inst_.class_device) {
        // As VXI-11's device_clear: a fresh session, so that a command still
        // running (a DELAY) ends and its late reply never comes.
        int fd = -1;
        std::shared_ptr<SessionHook> hook;
        if (start_usb_session(si_, id_, fd, hook)) {
            ::close(stream_);
            stream_ = fd;
            hook_ = std::move(hook);
            written_ = 0;
            stream_open_ = true;
        }
    }
    held_.clear();
    pending_left_ = inst_.pending_polls;
    if (inst_.clear_read) {
        // What a device had queued before the clear, which the host must read.
        static const std::uint8_t left[8] = {'L', 'E', 'F', 'T', 'O', 'V', 'E', 'R'};
        build_message(2, dev_tag_, left, sizeof left, 0, 0);
    }
}

void Device::feed(const std::uint8_t* p, std::size_t n) {
    if (n == 0) return;
    send_all(stream_, p, n);
    written_ += n;
}

bool Device::session_idle() const {
    return hook_->idle.idle_at.load(std::memory_order_acquire) == written_;
}

// A DEV_DEP_MSG_OUT of a class device: like a strict IEEE 488.2 device, the
// command runs only when the message with EOM has arrived (END terminates
// it, so a missing LF is added).
void Device::dev_msg_out(const std::uint8_t* payload, std::size_t n, bool eom) {
    if (state_.ren.load()) state_.remote.store(true);
    held_.append(reinterpret_cast<const char*>(payload), n);
    if (eom) {
        state_.ends.fetch_add(1);
        if (held_.empty() || held_.back() != '\n') held_.push_back('\n');
    }
    if (eom || held_.size() > kMaxHeldMessage) {
        feed(reinterpret_cast<const std::uint8_t*>(held_.data()), held_.size());
        held_.clear();
    }
    empty_left_ = inst_.empty_before;
}

void Device::take_class_messages() {
    for (;;) {
        if (out_asm_.size() < 12) return;
        const std::uint8_t id = out_asm_[0], tag = out_asm_[1];
        const std::uint32_t size = get32(&out_asm_[4]);
        if (out_asm_[2] != static_cast<std::uint8_t>(~tag)) {
            out_asm_.clear();  // not a header: a real device halts, this one drops it
            return;
        }
        std::size_t body = 0;
        if (id == 1 || id == 126) {
            if (size > 16u * 1024 * 1024) {
                out_asm_.clear();
                return;
            }
            body = size;
        } else if (id != 2 && id != 127 && id != 128) {
            out_asm_.clear();
            return;
        }
        const std::size_t need = 12 + body, aligned = (need + 3) / 4 * 4;
        out_tag_ = tag;
        out_received_ = static_cast<std::uint32_t>(out_asm_.size() < need ? out_asm_.size() - 12 : body);
        if (out_asm_.size() < need) return;  // the rest comes in later transfers
        // The alignment zeros may be left out at the end of a transfer.
        const std::size_t take = out_asm_.size() < aligned ? out_asm_.size() : aligned;
        if (id == 1) {
            dev_msg_out(&out_asm_[12], body, (out_asm_[8] & 1) != 0);
            // nopad: the zeros aligning the message are taken as data, in
            // front of the next command (which then fails).
            if (inst_.quirk_nopad) held_.append(take - need, '\0');
        } else if (id == 2) {
            dev_req_ = true;
            dev_tag_ = tag;
            dev_size_ = size;
        } else if (id == 128) {
            if (inst_.protocol == 1 && inst_.cap_trigger) state_.triggers.fetch_add(1);
        }
        // 126, 127: vendor-specific messages, which this device does not know.
        out_asm_.erase(out_asm_.begin(), out_asm_.begin() + static_cast<std::ptrdiff_t>(take));
        out_received_ = 0;
    }
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
            feed(&out_asm_[12], size);
            if (out_asm_[8] & 1) state_.ends.fetch_add(1);
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

std::uint8_t Device::status_byte() {
    read_stream();
    unsigned stb = state_.stb.load() & 0xFF;
    if (!stream_buf_.empty() || msg_at_ < msg_end_) stb |= 0x10;  // MAV
    return static_cast<std::uint8_t>(stb);
}

// USBTMC and USB488 class requests of a class device (bmRequestType 0xA1 to
// the interface, 0xA2 to an endpoint named by wIndex).
std::vector<std::uint8_t> Device::class_control(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                                                std::uint16_t index, bool& ok) {
    const std::uint8_t tag = static_cast<std::uint8_t>(value);
    const bool usb488 = inst_.protocol == 1;
    if (type == 0xA2 && (request == 1 || request == 2) && index != inst_.bulk_out) ok = false;
    if (type == 0xA2 && (request == 3 || request == 4) && index != inst_.bulk_in) ok = false;
    if (!ok) return {};
    if (type == 0xA2 && request == 1) {  // INITIATE_ABORT_BULK_OUT
        // A transfer in progress: a message only partly arrived.
        if (out_asm_.size() < 12) return {kStatusFailed, tag};
        if (out_asm_[1] != tag) return {kStatusNotInProgress, out_asm_[1]};
        aborted_out_ = out_received_;
        out_asm_.clear();
        held_.clear();
        abort_pending_left_ = inst_.pending_polls;
        return {kStatusSuccess, tag};
    }
    if (type == 0xA2 && (request == 2 || request == 4)) {  // CHECK_ABORT_BULK_OUT/IN_STATUS
        if (abort_pending_left_ > 0) {
            --abort_pending_left_;
            return {kStatusPending, 0, 0, 0, 0, 0, 0, 0};
        }
        std::vector<std::uint8_t> r(8, 0);
        r[0] = kStatusSuccess;
        put32(&r[4], request == 2 ? aborted_out_ : aborted_in_);
        return r;
    }
    if (type == 0xA2 && request == 3) {  // INITIATE_ABORT_BULK_IN
        // A transfer in progress: a request not yet answered, or a reply
        // not yet all read.
        const bool replying = msg_at_ < msg_end_ && msg_[0] == 2;
        if (!dev_req_ && !replying) return {kStatusFailed, tag};
        const std::uint8_t current = replying ? msg_[1] : dev_tag_;
        if (current != tag) return {kStatusNotInProgress, current};
        aborted_in_ = replying && msg_at_ > 12 ? static_cast<std::uint32_t>(msg_at_ - 12) : 0;
        msg_.clear();
        msg_at_ = msg_end_ = 0;
        dev_req_ = false;
        abort_pending_left_ = inst_.pending_polls;
        return {kStatusSuccess, tag};
    }
    if (type != 0xA1) {
        ok = false;
        return {};
    }
    switch (request) {
        case 7: {  // GET_CAPABILITIES
            std::vector<std::uint8_t> r(0x18, 0);
            r[0] = kStatusSuccess;
            r[2] = 0x00;  // bcdUSBTMC 1.00
            r[3] = 0x01;
            if (usb488) {
                r[12] = 0x00;  // bcdUSB488 1.00
                r[13] = 0x01;
                r[14] = static_cast<std::uint8_t>(0x04 | (inst_.cap_ren ? 0x02 : 0) | (inst_.cap_trigger ? 0x01 : 0));
                r[15] = static_cast<std::uint8_t>(0x08 | (inst_.interrupt_in ? 0x04 : 0) | (inst_.cap_ren ? 0x02 : 0) |
                                                  (inst_.cap_trigger ? 0x01 : 0));
            }
            return r;
        }
        case 128: {  // READ_STATUS_BYTE
            if (!usb488) break;
            if (tag < 2 || tag > 127) return {kStatusFailed, tag, 0};
            const std::uint8_t stb = status_byte();
            // A serial poll: the request it reports is withdrawn.
            state_.stb.fetch_and(~0x40u);
            if (inst_.interrupt_in == 0) return {kStatusSuccess, tag, stb};
            notify_all(inst_, {static_cast<std::uint8_t>(0x80 | tag), stb});
            return {kStatusSuccess, tag, 0};
        }
        case 160:  // REN_CONTROL
            if (!usb488 || !inst_.cap_ren) break;
            state_.ren.store((value & 0xFF) != 0);
            if ((value & 0xFF) == 0) {
                if (state_.remote.exchange(false)) state_.locals.fetch_add(1);
                state_.lockout.store(false);
            }
            return {kStatusSuccess};
        case 161:  // GO_TO_LOCAL
            if (!usb488 || !inst_.cap_ren) break;
            if (state_.remote.exchange(false)) state_.locals.fetch_add(1);
            return {kStatusSuccess};
        case 162:  // LOCAL_LOCKOUT
            if (!usb488 || !inst_.cap_ren) break;
            if (state_.ren.load()) state_.lockout.store(true);
            return {kStatusSuccess};
        default:
            break;
    }
    ok = false;  // a request the device does not take: it stalls
    return {};
}

std::vector<std::uint8_t> Device::control(const std::uint8_t* in, std::uint32_t n, bool& ok) {
    ok = n >= 24;
    if (!ok) return {};
    std::uint8_t type = in[0], request = in[1];
    if (type == 0xA1 && request == 6 && inst_.clear_read && msg_at_ < msg_end_)
        return {kStatusPending, 1};  // bmClear: read the bulk-in first
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
    if (inst_.class_device) {
        const std::uint16_t value = static_cast<std::uint16_t>(in[2] | in[3] << 8),
                            index = static_cast<std::uint16_t>(in[4] | in[5] << 8),
                            length = static_cast<std::uint16_t>(in[6] | in[7] << 8);
        std::vector<std::uint8_t> r = class_control(type, request, value, index, ok);
        if (r.size() > length) r.resize(length);
        return r;
    }
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
        } else if (dev_req_ && inst_.quirk_rigol) {
            // The whole reply in one message, whatever size was asked, once
            // the instrument has said all of it; EOM not set.
            const bool idle = session_idle();
            read_stream();
            if (stream_buf_.empty() || (!idle && stream_buf_.size() < kStreamCap)) return true;
            build_message(2, dev_tag_, reinterpret_cast<const std::uint8_t*>(stream_buf_.data()),
                          static_cast<std::uint32_t>(stream_buf_.size()), 0, 0);
            stream_buf_.clear();
            dev_req_ = false;
        } else if (dev_req_) {
            // A class device sets EOM only at the end of the reply: it waits
            // until the instrument has said all of it or enough to fill the
            // size asked.
            const bool idle = !inst_.class_device || session_idle();
            read_stream();
            if (stream_buf_.empty()) return true;  // nothing to say yet
            if (!idle && stream_buf_.size() < dev_size_ && stream_buf_.size() < kStreamCap) return true;
            std::uint32_t n = static_cast<std::uint32_t>(
                stream_buf_.size() < dev_size_ ? stream_buf_.size() : dev_size_);
            bool last = n == stream_buf_.size() && idle && !inst_.quirk_noeom;
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

// Kind 20: the next notification of the asked kind from this connection's
// queues; service requests asked for by SRQ join them here.
bool Device::try_interrupt_in() {
    std::vector<std::uint8_t> note;
    {
        std::lock_guard<std::mutex> lock(inst_.notify_mutex);
        hand_out_srqs(inst_);
        if (!intr_pending_) return true;
        auto& q = notes_.q[intr_code_];
        if (q.empty()) return true;
        note = std::move(q.front());
        q.pop_front();
    }
    intr_pending_ = false;
    std::uint32_t count = static_cast<std::uint32_t>(note.size() < intr_len_ ? note.size() : intr_len_);
    return complete(intr_id_, kDone, count, note.data());
}

bool Device::on_request(const std::uint8_t* body, std::uint32_t n) {
    if (n < 16) return false;
    std::uint32_t kind = get32(body), id = get32(body + 4), code = get32(body + 8),
                  out_len = get32(body + 12);
    const std::uint8_t* data = body + 16;
    std::uint32_t data_len = n - 16;
    if (kind == kCancel) {
        if (intr_pending_ && id == intr_id_) {
            intr_pending_ = false;
            return complete(id, kCancelled, 0);
        }
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
            if (inst_.class_device)
                take_class_messages();
            else
                take_out_messages();
            return complete(id, kDone, data_len);
        case kInterruptIn:
            if (inst_.interrupt_in == 0 || code > 1) return complete(id, kFailed, 0);
            if (in_pending_) {
                in_pending_ = false;
                complete(in_id_, kFailed, 0);
            }
            if (intr_pending_) complete(intr_id_, kFailed, 0);
            intr_pending_ = true;
            intr_id_ = id;
            intr_len_ = out_len;
            intr_code_ = code;
            return try_interrupt_in();
        case kBulkIn:
            if (intr_pending_) {
                intr_pending_ = false;
                complete(intr_id_, kFailed, 0);
            }
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
        if (!try_bulk_in() || !try_interrupt_in()) return;
        int timeout = 1000;  // also notices a device that vanished meanwhile
        if (in_pending_ && inst_.slow_ms > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(in_ready_ - Clock::now()).count();
            timeout = left < 0 ? 0 : static_cast<int>(left) + 1;
        }
        // A class device waits for the session's idleness (the end of a
        // reply) and for notifications (its own connection's, other
        // connections', service requests); the maker's own device never does.
        pollfd pfds[4] = {{bus_, POLLIN, 0}, {stream_, POLLIN, 0}, {hook_->idle.wake_fd, POLLIN, 0},
                          {notes_.wake_fd, POLLIN, 0}};
        bool want_stream = stream_open_ && stream_buf_.size() < kStreamCap;
        if (!want_stream) pfds[1].fd = -1;  // ignored by poll
        int r = ::poll(pfds, inst_.class_device ? 4 : 2, timeout);
        if (r < 0 && errno != EINTR) return;
        if (inst_.gone.load()) return;
        if (r <= 0) continue;
        if (inst_.class_device && (pfds[2].revents & POLLIN)) drain_eventfd(hook_->idle.wake_fd);
        if (inst_.class_device && (pfds[3].revents & POLLIN)) drain_eventfd(notes_.wake_fd);
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
                if (!try_bulk_in() || !try_interrupt_in()) return;
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
    Instrument si;
    si.index = inst.index;
    si.addr = "usb:" + inst.serial;
    si.idn = inst.idn;
    si.state = inst.state;
    int stream = -1;
    std::shared_ptr<SessionHook> hook;
    if (!start_usb_session(si, id, stream, hook)) return;
    // The handle takes notifications before the client hears it is open.
    Device dev(fd, stream, inst, hook, si, id);
    if (send_frame(fd, std::vector<std::uint8_t>{0, 0, 0, 0})) dev.run();
}

void put_text(std::vector<std::uint8_t>& out, const std::string& text) {
    for (char c : text) out.push_back(c >= 0x20 && c < 0x7F ? static_cast<std::uint8_t>(c) : '_');
    out.push_back(0);
}

std::string idn_field(const std::string& idn, int k) {
    std::size_t at = 0;
    for (int i = 0; i < k; ++i) {
        at = idn.find(',', at);
        if (at == std::string::npos) return {};
        ++at;
    }
    return idn.substr(at, idn.find(',', at) - at);
}

// DESCRIBE: one record per instrument present (each has one USBTMC
// interface); those that do not fit the frame are left out, with a log line.
std::vector<std::uint8_t> describe(const std::vector<UsbInstrument*>& instruments) {
    std::vector<std::uint8_t> reply(4);
    std::uint32_t count = 0;
    for (UsbInstrument* u : instruments) {
        if (u->gone.load()) continue;
        std::vector<std::uint8_t> rec(u->path.begin(), u->path.end());
        rec.push_back(0);
        const std::uint32_t fields[12] = {u->vendor,     u->product,   u->bcd_device,   u->iface,
                                          u->protocol,   u->bulk_out,  u->bulk_in,      u->interrupt_in,
                                          u->packet,     u->packet,    u->interrupt_in ? u->packet : 0u,
                                          u->speed};
        for (std::uint32_t f : fields) {
            std::uint8_t b[4];
            put32(b, f);
            rec.insert(rec.end(), b, b + 4);
        }
        put_text(rec, idn_field(u->idn, 0));
        put_text(rec, idn_field(u->idn, 1));
        put_text(rec, u->serial);
        if (reply.size() + rec.size() > kMaxBody) {
            log_line("usb: DESCRIBE lists only %u instruments: no room in one frame for more", count);
            break;
        }
        reply.insert(reply.end(), rec.begin(), rec.end());
        ++count;
    }
    put32(reply.data(), count);
    return reply;
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
            } else if (what == kDescribe) {
                send_frame(fd, describe(start->instruments));
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
    else if (fault == "clearread") inst.clear_read = true;
    else return false;
    return true;
}

std::string usb_class_path(const UsbInstrument& inst) {
    char ids[40];
    if (inst.iface != 0)
        std::snprintf(ids, sizeof ids, "vid_%04x&pid_%04x&mi_%02x", inst.vendor, inst.product, inst.iface);
    else
        std::snprintf(ids, sizeof ids, "vid_%04x&pid_%04x", inst.vendor, inst.product);
    return std::string("\\\\?\\usb#") + ids + "#" + inst.serial + "#{a9fdbb24-128a-11d5-9961-00108335e361}";
}

void make_usb_class_device(UsbInstrument& inst, std::uint16_t vendor, std::uint16_t product) {
    inst.class_device = true;
    inst.vendor = vendor;
    inst.product = product;
    inst.protocol = 1;
    inst.interrupt_in = 0x83;
    inst.cap_trigger = inst.cap_ren = true;
    inst.path = usb_class_path(inst);
}

bool apply_usb_quirk(UsbInstrument& inst, const std::string& quirk) {
    std::uint64_t v = 0;
    if (quirk == "rigol") inst.quirk_rigol = true;
    else if (quirk == "noeom") inst.quirk_noeom = true;
    else if (quirk == "nopad") inst.quirk_nopad = true;
    else if (quirk == "packet=64") {
        inst.packet = 64;
        inst.speed = 2;
    } else if (fault_number(quirk, "iface=", 255, v)) {
        inst.iface = static_cast<std::uint8_t>(v);
        inst.path = usb_class_path(inst);
    } else {
        return false;
    }
    return true;
}

bool apply_usb_caps(UsbInstrument& inst, const std::string& caps) {
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = caps.find(',', at);
        const std::string w = caps.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (w == "usbtmc") {
            inst.protocol = 0;
            inst.interrupt_in = 0;
            inst.cap_trigger = inst.cap_ren = false;
        } else if (w == "usb488") {
            inst.protocol = 1;
        } else if (w == "notrigger") {
            inst.cap_trigger = false;
        } else if (w == "noren") {
            inst.cap_ren = false;
        } else if (w == "nointr") {
            inst.interrupt_in = 0;
        } else {
            return false;
        }
        if (comma == std::string::npos) return true;
        at = comma + 1;
    }
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
    for (UsbInstrument* inst : instruments_)
        if (inst->interrupt_in != 0) watchers_.emplace_back(watch_srqs, inst, &stop_watching_);
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
    stop_watching_.store(true);
    for (std::thread& t : watchers_) t.join();
    watchers_.clear();
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
