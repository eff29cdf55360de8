// HiSLIP connections (see hislip.h and docs/guide/simulator.md). Message types,
// control codes and error codes are those of the IVI Foundation's IVI-6.1
// (HiSLIP 1.0/1.1). One thread serves a client session: the connection that
// sent Initialize, and the asynchronous one once its AsyncInitialize has
// handed it over, so the order of what goes out on the two is decided in one
// place.
#include "hislip.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace vxsim {

namespace {

using Clock = std::chrono::steady_clock;

enum : std::uint8_t {
    kInitialize = 0, kInitializeResponse, kFatalError, kError, kAsyncLock, kAsyncLockResponse, kData, kDataEnd,
    kDeviceClearComplete, kDeviceClearAcknowledge, kAsyncRemoteLocalControl, kAsyncRemoteLocalResponse, kTrigger,
    kInterrupted, kAsyncInterrupted, kAsyncMaximumMessageSize, kAsyncMaximumMessageSizeResponse, kAsyncInitialize,
    kAsyncInitializeResponse, kAsyncDeviceClear, kAsyncServiceRequest, kAsyncStatusQuery, kAsyncStatusResponse,
    kAsyncDeviceClearAcknowledge, kAsyncLockInfo, kAsyncLockInfoResponse,
};
// FatalError and Error codes.
enum : std::uint8_t { kFatalUnidentified = 0, kFatalBadHeader, kFatalNoBothChannels, kFatalBadInit };
constexpr std::uint8_t kFatalSecureFailed = 5;  // HiSLIP 2.0: secure connection failed
enum : std::uint8_t { kErrUnidentified = 0, kErrBadType, kErrBadControl, kErrBadVendor, kErrTooLarge };
constexpr std::uint8_t kErrDeviceDefined = 128;  // 128-255: the device's own

constexpr std::size_t kHeader = 16;
constexpr std::uint32_t kMaxLockWaitMs = 60000;  // AsyncLock request timeouts are capped here
constexpr std::uint32_t kFirstMessageId = 0xFFFFFF00u;
constexpr std::uint16_t kVendorId = 0x5658;            // "VX"
constexpr std::size_t kMaxControlPayload = 64 * 1024;  // payload of anything but Data/DataEnd
constexpr std::size_t kMaxChunk = 1024 * 1024;         // most payload one Data message carries
constexpr std::size_t kOutLimit = 4 * 1024 * 1024;     // queued for the client before pulling more
constexpr std::size_t kReadAhead = 2 * (kHeader + kMaxChunk);  // most one read of a channel takes
constexpr int kHoldMs = 1000;                          // interrupt and stb-early holds, status catch-up
constexpr int kLateMs = 200;                           // interrupted-late
constexpr std::uint64_t kHugeLength = 1ull << 63;      // badlen: what a header declares
constexpr int kFloodSeconds = 15;                      // flood: how long at most

struct Header {
    std::uint8_t type = 0, control = 0;
    std::uint32_t param = 0;
    std::uint64_t length = 0;
};

std::string header_bytes(std::uint8_t type, std::uint8_t control, std::uint32_t param, std::uint64_t length) {
    std::string h(kHeader, '\0');
    h[0] = 'H';
    h[1] = 'S';
    h[2] = static_cast<char>(type);
    h[3] = static_cast<char>(control);
    for (int i = 0; i < 4; ++i) h[4 + i] = static_cast<char>(param >> (24 - 8 * i));
    for (int i = 0; i < 8; ++i) h[8 + i] = static_cast<char>(length >> (56 - 8 * i));
    return h;
}

std::string message(std::uint8_t type, std::uint8_t control, std::uint32_t param, const std::string& payload = "") {
    return header_bytes(type, control, param, payload.size()) + payload;
}

bool parse_header(const char* b, Header& h) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(b);
    h.type = p[2];
    h.control = p[3];
    h.param = 0;
    h.length = 0;
    for (int i = 0; i < 4; ++i) h.param = (h.param << 8) | p[4 + i];
    for (int i = 0; i < 8; ++i) h.length = (h.length << 8) | p[8 + i];
    return p[0] == 'H' && p[1] == 'S';
}

// Sends all of it on a blocking socket (bounded by its send timeout).
bool send_all(int fd, const std::string& data) {
    std::size_t at = 0;
    while (at < data.size()) {
        ssize_t n = ::send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
        if (n > 0) {
            at += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
    return true;
}

enum class First { Ok, Gone, BadHeader, TooLong };

// The first message of a new connection, read with a bound.
First read_first(int fd, Header& h, std::string& payload) {
    std::string buf;
    auto until = Clock::now() + std::chrono::seconds(30);
    auto need = [&](std::size_t n) {
        char tmp[4096];
        while (buf.size() < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p = {fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000))) < 0 && errno != EINTR) return false;
            if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t r = ::recv(fd, tmp, std::min(sizeof tmp, n - buf.size()), 0);
            if (r <= 0) {
                if (r < 0 && errno == EINTR) continue;
                return false;
            }
            buf.append(tmp, static_cast<std::size_t>(r));
        }
        return true;
    };
    if (!need(kHeader)) return First::Gone;
    if (!parse_header(buf.data(), h)) return First::BadHeader;
    if (h.length > 256) return First::TooLong;  // a sub-address is short; nothing else has a payload
    if (!need(kHeader + h.length)) return First::Gone;
    payload = buf.substr(kHeader);
    return First::Ok;
}

void send_fatal(int fd, std::uint8_t code, const std::string& text) {
    send_all(fd, message(kFatalError, code, 0, text));
}

// Bytes on their way to the client: the engine's own, or a span of the
// shared stream buffer it handed over (sent from there, never copied).
struct Piece {
    std::string own;
    const std::uint8_t* ref = nullptr;  // when set, the bytes are ref[0, len)
    std::size_t len = 0;
    const char* data() const { return ref ? reinterpret_cast<const char*>(ref) : own.data(); }
    std::size_t size() const { return ref ? len : own.size(); }
};

// A framed message for the sync channel, header first.
struct OutMsg {
    std::vector<Piece> pieces;
    std::size_t size = 0;
};

// The engine's output not yet framed, in order.
class PieceQueue {
public:
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() {
        q_.clear();
        off_ = size_ = 0;
    }
    void append(const char* p, std::size_t n) {
        if (q_.empty() || q_.back().ref) q_.emplace_back();
        q_.back().own.append(p, n);
        size_ += n;
    }
    // Pattern positions pos..pos+n-1, as pieces of the shared stream buffer.
    void append_pattern(std::uint64_t pos, std::uint64_t n) {
        while (n > 0) {
            const std::size_t k = n < kStreamChunk ? static_cast<std::size_t>(n) : kStreamChunk;
            q_.push_back(Piece{std::string(), stream_at(pos), k});
            size_ += k;
            pos += k;
            n -= k;
        }
    }
    // Moves the first n bytes (n <= size()) onto out.
    void take(std::size_t n, std::vector<Piece>& out) {
        size_ -= n;
        while (n > 0) {
            Piece& f = q_.front();
            const std::size_t k = std::min(n, f.size() - off_);
            const bool rest = off_ + k == f.size();
            if (f.ref) {
                out.push_back(Piece{std::string(), f.ref + off_, k});
            } else if (off_ == 0 && rest) {
                out.push_back(std::move(f));
            } else {
                out.push_back(Piece{f.own.substr(off_, k)});
            }
            n -= k;
            if (rest) {
                q_.pop_front();
                off_ = 0;
            } else {
                off_ += k;
            }
        }
    }

private:
    std::deque<Piece> q_;
    std::size_t off_ = 0;  // bytes of the front piece already taken
    std::size_t size_ = 0;
};

// A client session as the registry sees it: the asynchronous connection's
// thread finds it by session id and hands its fd over.
struct Link {
    const HislipInstrument* hi = nullptr;
    std::uint16_t id = 0;
    int handed_fd = -1;     // an async connection waiting to be adopted
    bool has_async = false;
    int wake_fd = -1;       // eventfd: an async connection was handed over
};

std::mutex g_mutex;  // guards the registry and the locks
std::vector<std::shared_ptr<Link>> g_links;
std::uint16_t g_next_id = 0;
std::map<const Instrument*, const Link*> g_lock_owner;  // exclusive AsyncLock holder per instrument

class Connection {
public:
    Connection(int fd, const HislipInstrument& hi, std::shared_ptr<Link> link)
        : sync_(fd), hi_(hi), f_(hi.faults), link_(std::move(link)) {}
    ~Connection();
    void run(const Header& init, const std::string& sub_address);

private:
    struct Msg {
        Header h;
        std::string payload;
    };
    // Buffered reader of one channel; take() yields complete messages.
    // Bytes are received in place and taken from the front without moving
    // the rest.
    struct Reader {
        std::vector<char> buf;
        std::size_t head = 0, tail = 0;  // buf[head, tail) is unread
        std::uint64_t skip = 0;  // payload of a too-large message still to drop
        bool eof = false;
        std::size_t size() const { return tail - head; }
        const char* data() const { return buf.data() + head; }
        void consume(std::size_t n) {
            head += n;
            if (head == tail) head = tail = 0;
        }
    };
    enum class Take { None, Msg, Bad };

    bool start_engine();
    bool fill(int fd, Reader& r);
    Take take(Reader& r, bool sync, Msg& m);
    void queue(OutMsg m) {
        out_bytes_ += m.size;
        out_q_.push_back(std::move(m));
    }
    void queue(std::string bytes) {
        OutMsg m;
        m.size = bytes.size();
        m.pieces.push_back(Piece{std::move(bytes)});
        queue(std::move(m));
    }
    bool flush_sync();
    bool send_async(const std::string& bytes) { return async_ >= 0 && send_all(async_, bytes); }
    void fatal(std::uint8_t code, const std::string& text);
    void adopt_async();
    bool idle() const {
        return engine_.hook->idle.idle_at.load(std::memory_order_acquire) == written_;
    }
    // Pulls engine output; notes whether the engine was idle before the pull
    // (then all it sent is in pending_ once the pair is found empty).
    void observe();
    // The engine has taken and answered everything fed so far.
    bool settled() const { return settled_ && feed_at_ == feed_.size() && idle(); }
    bool reply_open() const { return !pending_.empty() || reply_started_; }
    void pull();
    bool take_run();
    void push_feed();
    void feed_direct();
    void emit_output();
    void send_reply_part(std::size_t n, bool end);
    void drop_reply();
    void handle_sync(Msg& m);
    bool sync_message_ready();
    void handle_async(const Msg& m);
    void answer_status();
    void flood(std::uint32_t id);
    bool status_caught_up() const;
    bool status_id_seen() const;
    void device_clear();
    // The status byte a status query answers; the query clears RQS (64),
    // as a serial poll does.
    std::uint8_t poll_stb();
    void start_watcher();
    void send_service_requests();
    std::size_t max_payload() const {
        std::uint64_t room = client_max_ > kHeader ? client_max_ - kHeader : 1;
        return static_cast<std::size_t>(std::min<std::uint64_t>(room, kMaxChunk));
    }

    int sync_;
    int async_ = -1;
    const HislipInstrument& hi_;
    const HislipFaults& f_;
    std::shared_ptr<Link> link_;
    bool overlapped_ = false;
    bool ended_ = false;
    std::uint64_t client_max_ = UINT64_MAX;

    Reader sync_in_, async_in_;
    bool have_next_ = false;  // next_ holds a sync message not yet processed
    Msg next_;
    std::deque<OutMsg> out_q_;  // framed messages for the sync channel
    std::size_t out_off_ = 0;   // bytes of out_q_.front() already sent
    std::size_t out_bytes_ = 0;

    // The engine and the message it works on.
    HookedSession engine_;
    std::uint64_t written_ = 0;  // bytes given to the engine (the pair and the handoff)
    std::uint64_t pulled_ = 0;   // bytes taken from the engine (the pair and the handoff)
    bool run_left_ = false;      // part of a handed-over run is still to take
    std::string feed_;
    std::size_t feed_at_ = 0;
    bool drained_ = true;  // the last pull found the socket pair empty
    bool settled_ = false;  // idle before the last pull, and that pull drained the pair
    PieceQueue pending_;  // engine output not yet framed
    std::uint32_t cur_id_ = kFirstMessageId;
    bool reply_started_ = false;  // Data of the current reply already framed
    bool rmt_pending_ = false;    // a reply went out whose delivery the client has not confirmed
    std::uint32_t data_ends_ = 0;
    Clock::time_point ready_at_{};       // slow: no output before this
    bool holding_ = false;               // the reply's last byte is held back
    Clock::time_point hold_until_{};
    bool clearing_ = false;              // between AsyncDeviceClear and DeviceClearComplete
    bool interrupted_due_ = false;       // interrupted-late: Interrupted still to send
    std::uint32_t interrupted_id_ = 0;
    Clock::time_point interrupted_at_{};
    bool status_waiting_ = false;        // an AsyncStatusQuery waits for the sync side
    std::uint32_t status_id_ = 0;        // its MessageID
    std::uint32_t expected_id_ = kFirstMessageId;  // the id after the last Data/DataEnd/Trigger read
    // Service requests: a watcher thread waits for the instrument's and
    // wakes the loop, which alone writes the channels and sends one
    // AsyncServiceRequest for each.
    int srq_fd_ = -1;  // eventfd
    std::uint64_t srq_sent_ = 0;  // the state's srqs sent (or passed) so far
    std::atomic<bool> watch_stop_{false};
    std::thread watcher_;
    Clock::time_point status_until_{};
    bool stb_late_done_ = false;
};

// Empty Data messages with the query's id, as fast as the client takes
// them, until it goes away or kFloodSeconds pass; the session then ends.
void Connection::flood(std::uint32_t id) {
    std::string many;
    for (int i = 0; i < 8192; ++i) many += header_bytes(kData, 0, id, 0);
    std::size_t at = 0;  // cycles through `many`, so a partial send never cuts a header
    const auto until = Clock::now() + std::chrono::seconds(kFloodSeconds);
    while (Clock::now() < until) {
        pollfd p = {sync_, POLLOUT, 0};
        if (::poll(&p, 1, 100) < 0 && errno != EINTR) break;
        if (p.revents & (POLLERR | POLLHUP)) break;
        ssize_t n = ::send(sync_, many.data() + at, many.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            at = (at + static_cast<std::size_t>(n)) % many.size();
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        break;
    }
    ended_ = true;
}

Connection::~Connection() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_links.erase(std::remove(g_links.begin(), g_links.end(), link_), g_links.end());
        auto it = g_lock_owner.find(hi_.inst);
        if (it != g_lock_owner.end() && it->second == link_.get()) g_lock_owner.erase(it);
        if (link_->handed_fd >= 0) {
            unregister_connection(link_->handed_fd);
            ::close(link_->handed_fd);
            link_->handed_fd = -1;
        }
    }
    if (link_->wake_fd >= 0) ::close(link_->wake_fd);
    watch_stop_.store(true);
    if (watcher_.joinable()) watcher_.join();
    if (srq_fd_ >= 0) ::close(srq_fd_);
    release_hooked_session(engine_);
    if (async_ >= 0) {
        unregister_connection(async_);
        ::close(async_);
    }
}

bool Connection::start_engine() {
    written_ = 0;
    pulled_ = 0;
    run_left_ = false;
    feed_.clear();
    feed_at_ = 0;
    pending_.clear();
    drained_ = false;
    settled_ = false;
    // The old engine, if any, sees its input end and finishes alone.
    return start_hooked_session(engine_, *hi_.inst, link_->id, "hislip session " + std::to_string(link_->id), true);
}

void Connection::fatal(std::uint8_t code, const std::string& text) {
    if (!g_settings.quiet) log_line("[hislip %s] session %u: FatalError %u: %s", hi_.inst->addr.c_str(), link_->id, code, text.c_str());
    // Whatever is framed for the sync channel goes first, so the error is
    // never cut into a message.
    if (flush_sync() && out_q_.empty()) {
        int flags = ::fcntl(sync_, F_GETFL);
        ::fcntl(sync_, F_SETFL, flags & ~O_NONBLOCK);
        send_fatal(sync_, code, text);
    }
    if (async_ >= 0) send_fatal(async_, code, text);
    ended_ = true;
}

bool Connection::fill(int fd, Reader& r) {
    constexpr std::size_t kRecvSize = 256 * 1024;
    std::size_t got_all = 0;
    // Up to two whole messages a call: one wake-up per message, not per recv.
    while (got_all < kReadAhead) {
        if (r.buf.size() - r.tail < kRecvSize) {
            if (r.head > 0 && r.head >= r.buf.size() / 2) {
                std::memmove(r.buf.data(), r.buf.data() + r.head, r.size());
                r.tail -= r.head;
                r.head = 0;
            } else {
                r.buf.resize(std::max(2 * r.buf.size(), r.tail + kRecvSize));
            }
            continue;
        }
        char* at = r.buf.data() + r.tail;
        ssize_t n = ::recv(fd, at, r.buf.size() - r.tail, MSG_DONTWAIT);
        if (n > 0) {
            std::size_t got = static_cast<std::size_t>(n);
            std::size_t dropped = static_cast<std::size_t>(std::min<std::uint64_t>(r.skip, got));
            r.skip -= dropped;
            if (dropped > 0) std::memmove(at, at + dropped, got - dropped);
            r.tail += got - dropped;
            got_all += got;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // The end is seen by the next call, once what came before it is read.
        if (got_all == 0 && (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))) r.eof = true;
        break;
    }
    return got_all > 0;
}

Connection::Take Connection::take(Reader& r, bool sync, Msg& m) {
    if (r.skip > 0 || r.size() < kHeader) return Take::None;
    Header h;
    if (!parse_header(r.data(), h)) {
        fatal(kFatalBadHeader, "message does not start with HS");
        return Take::Bad;
    }
    const bool data = sync && (h.type == kData || h.type == kDataEnd);
    if (data && h.length > f_.max_message) {
        // Too large for what we announced: refused and dropped, framing kept.
        std::uint64_t have = r.size() - kHeader;
        std::uint64_t now = std::min<std::uint64_t>(have, h.length);
        r.consume(kHeader + static_cast<std::size_t>(now));
        r.skip = h.length - now;
        const std::string text = "message of " + std::to_string(h.length) + " bytes is over the maximum of " +
                                 std::to_string(f_.max_message);
        queue(message(kError, kErrTooLarge, 0, text));
        return Take::None;
    }
    if (!data && h.length > kMaxControlPayload) {
        fatal(kFatalBadHeader, "payload length " + std::to_string(h.length) + " is not plausible");
        return Take::Bad;
    }
    if (r.size() - kHeader < h.length) return Take::None;
    m.h = h;
    m.payload.assign(r.data() + kHeader, static_cast<std::size_t>(h.length));
    r.consume(kHeader + static_cast<std::size_t>(h.length));
    return Take::Msg;
}

bool Connection::flush_sync() {
    while (!out_q_.empty()) {
        // One message per sendmsg, its header and pieces gathered: a Data
        // message goes out straight from the pattern buffer, and the client
        // still sees each message begin a send of its own.
        const OutMsg& m = out_q_.front();
        iovec iov[64];
        std::size_t count = 0;
        std::size_t skip = out_off_;
        for (const Piece& p : m.pieces) {
            const std::size_t sz = p.size();
            if (skip >= sz) {
                skip -= sz;
                continue;
            }
            iov[count++] = {const_cast<char*>(p.data()) + skip, sz - skip};
            skip = 0;
            if (count == sizeof iov / sizeof iov[0]) break;
        }
        msghdr mh{};
        mh.msg_iov = iov;
        mh.msg_iovlen = count;
        ssize_t n = ::sendmsg(sync_, &mh, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            out_off_ += static_cast<std::size_t>(n);
            if (out_off_ == m.size) {
                out_bytes_ -= m.size;
                out_q_.pop_front();
                out_off_ = 0;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;
    }
    return true;
}

void Connection::adopt_async() {
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        fd = link_->handed_fd;
        link_->handed_fd = -1;
    }
    drain_eventfd(link_->wake_fd);
    if (fd < 0) return;
    async_ = fd;
    timeval tv{5, 0};  // async messages are small; a client that never reads them is not waited for long
    ::setsockopt(async_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    send_async(message(kAsyncInitializeResponse, f_.encrypt ? 1 : 0, kVendorId));
}

void Connection::pull() {
    char tmp[64 * 1024];
    drained_ = false;
    while (pending_.size() < 2 * kMaxChunk) {
        ssize_t n = ::recv(engine_.fd, tmp, sizeof tmp, MSG_DONTWAIT);
        if (n > 0) {
            pending_.append(tmp, static_cast<std::size_t>(n));
            pulled_ += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && take_run()) continue;
        // EAGAIN, or the engine has ended (CLOSE, RESET): nothing more now.
        drained_ = true;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            // CLOSE or RESET ends the link as it ends a raw connection.
            if (!g_settings.quiet) log_line("[hislip %s] session %u: engine closed", hi_.inst->addr.c_str(), link_->id);
            ended_ = true;
        }
        return;
    }
}

// A run the engine hands over follows everything it sent through the pair
// before it: taken once the pair has been read up to there, as much as
// pending_ has room for.
bool Connection::take_run() {
    BulkHandoff& b = engine_.hook->bulk;
    std::lock_guard<std::mutex> lock(b.mutex);
    run_left_ = false;
    if (b.kind != BulkHandoff::Kind::Out || b.answered || b.cancelled || b.at + b.taken != pulled_) return false;
    const std::uint64_t room = 2 * kMaxChunk - pending_.size();
    const std::uint64_t k = std::min(b.len - b.taken, room);
    pending_.append_pattern(b.pos + b.taken, k);
    b.taken += k;
    pulled_ += k;
    if (b.taken == b.len) {
        b.answered = true;
        b.cv.notify_all();
    } else {
        run_left_ = true;  // nothing will wake us for it: taken as the queue empties
    }
    return true;
}

void Connection::observe() {
    push_feed();
    const bool was_idle = feed_at_ == feed_.size() && idle();
    if (out_bytes_ < kOutLimit) {
        pull();
    } else {
        drained_ = false;
    }
    settled_ = was_idle && drained_;
}

// The engine asks for raw input straight into its sink (an upload): given
// from the message payloads once it has read all the pair holds.
void Connection::feed_direct() {
    BulkHandoff& b = engine_.hook->bulk;
    std::lock_guard<std::mutex> lock(b.mutex);
    if (b.kind != BulkHandoff::Kind::In || b.answered || b.cancelled) return;
    std::atomic<std::uint64_t>& idle_at = engine_.hook->idle.idle_at;
    if (!b.accepted) {
        if (b.at != written_) {
            b.answered = true;  // refused: the pair holds bytes it has not read
            idle_at.store(IdleHook::kNotIdle, std::memory_order_release);
            b.cv.notify_all();
            return;
        }
        b.accepted = true;
    }
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(feed_.size() - feed_at_, b.want - b.fed));
    if (k > 0) {
        b.sink(b.ctx, reinterpret_cast<const std::uint8_t*>(feed_.data()) + feed_at_, k);
        feed_at_ += k;
        written_ += k;
        b.fed += k;
    }
    if (b.fed == b.want) {
        b.answered = true;
        idle_at.store(IdleHook::kNotIdle, std::memory_order_release);
        b.cv.notify_all();
    } else if (k > 0) {
        idle_at.store(written_, std::memory_order_release);  // still waiting for input
    }
}

void Connection::push_feed() {
    feed_direct();
    while (feed_at_ < feed_.size()) {
        ssize_t n = ::send(engine_.fd, feed_.data() + feed_at_, feed_.size() - feed_at_, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            feed_at_ += static_cast<std::size_t>(n);
            written_ += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) feed_at_ = feed_.size();  // engine gone
        return;
    }
}

void Connection::send_reply_part(std::size_t n, bool end) {
    // The RMT-delivered bit is the client's; the server's Data carry 0.
    OutMsg m;
    m.size = kHeader + n;
    m.pieces.push_back(Piece{header_bytes(end ? kDataEnd : kData, 0, cur_id_, n)});
    pending_.take(n, m.pieces);
    queue(std::move(m));
    if (end) {
        reply_started_ = false;
        rmt_pending_ = !overlapped_;
    } else {
        reply_started_ = true;
    }
}

void Connection::emit_output() {
    if (pending_.empty() || clearing_ || interrupted_due_) return;
    const auto now = Clock::now();
    if (now < ready_at_) return;
    if (holding_) {
        if (now < hold_until_) return;
        holding_ = false;
        send_reply_part(pending_.size(), true);
        return;
    }
    const std::size_t chunk = max_payload();
    while (pending_.size() > chunk && out_bytes_ < kOutLimit) send_reply_part(chunk, false);
    if (!settled() || pending_.size() > chunk) return;
    if ((f_.interrupt || f_.stb_early) && pending_.size() >= 1) {
        if (pending_.size() > 1) send_reply_part(pending_.size() - 1, false);
        holding_ = true;
        hold_until_ = now + std::chrono::milliseconds(kHoldMs);
        return;
    }
    send_reply_part(pending_.size(), true);
}

void Connection::drop_reply() {
    // The engine may still be producing it (a stream, a DELAY): a fresh one
    // takes over, as after a VXI-11 device_clear.
    if (!settled() || !pending_.empty()) start_engine();
    pending_.clear();
    reply_started_ = false;
    holding_ = false;
    rmt_pending_ = false;
}

std::uint8_t Connection::poll_stb() {
    const bool mav = reply_open() || (!overlapped_ && rmt_pending_);
    const unsigned before = hi_.inst->state->stb.fetch_and(~0x40u);
    return static_cast<std::uint8_t>((before & ~0x10u) | (mav ? 0x10u : 0u));
}

void Connection::start_watcher() {
    InstrumentState& state = *hi_.inst->state;
    srq_sent_ = state.srqs.load();
    srq_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (srq_fd_ < 0) return;
    const std::uint64_t from = srq_sent_;
    watcher_ = std::thread([this, &state, from] {
        std::uint64_t seen = from;
        while (!watch_stop_.load()) {
            const std::uint64_t now = state.wait_service(seen, 100);
            if (now == seen) continue;
            seen = now;
            std::uint64_t one = 1;
            ssize_t w = ::write(srq_fd_, &one, sizeof one);
            (void)w;
        }
    });
}

// Requests made before the asynchronous channel exists go once it does.
void Connection::send_service_requests() {
    if (async_ < 0) return;
    for (const std::uint64_t srqs = hi_.inst->state->srqs.load(); srq_sent_ < srqs; ++srq_sent_)
        send_async(message(kAsyncServiceRequest, 0, 0));
}

// Clients put either the id of their most recent message or the next id
// they will use into AsyncStatusQuery; only a value beyond both says a
// message is still on its way, so only that is waited for.
bool Connection::status_id_seen() const {
    const std::uint32_t ahead = status_id_ - expected_id_;
    return ahead == 0 || ahead >= 0x80000000u;
}

bool Connection::status_caught_up() const {
    // Everything the client sent before its query has been read and answered
    // (or the answer is framed): MAV then does not depend on our speed.
    int unread = 0;
    if (::ioctl(sync_, FIONREAD, &unread) != 0) unread = 0;
    return status_id_seen() && unread == 0 && !have_next_ && sync_in_.size() == 0 && settled();
}

void Connection::answer_status() {
    status_waiting_ = false;
    if (f_.bad_length == "stb") {
        send_async(message(kAsyncStatusResponse, poll_stb(), 0, "xxxx"));
        return;
    }
    if (f_.stb_late_ms != 0 && !stb_late_done_) {
        // The status as it is now, sent after the client gave up on it.
        stb_late_done_ = true;
        const std::string late = message(kAsyncStatusResponse, poll_stb(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(f_.stb_late_ms));
        send_async(late);
        return;
    }
    send_async(message(kAsyncStatusResponse, poll_stb(), 0));
    if (f_.stb_early && holding_) hold_until_ = Clock::now();  // the held DataEnd follows the status response
}

void Connection::device_clear() {
    hi_.inst->state->clears.fetch_add(1);
    // Framed messages not yet begun are dropped; one half sent is finished.
    if (!out_q_.empty()) {
        const bool begun = out_off_ > 0;
        OutMsg front = begun ? std::move(out_q_.front()) : OutMsg();
        out_q_.clear();
        out_bytes_ = 0;
        if (begun) queue(std::move(front));
    }
    start_engine();
    reply_started_ = false;
    holding_ = false;
    rmt_pending_ = false;
    have_next_ = false;
    interrupted_due_ = false;
    ready_at_ = Clock::time_point{};
    clearing_ = true;
}

// A sync message may be processed now (false: it waits in next_).
bool Connection::sync_message_ready() {
    if (!have_next_) return false;
    const Header& h = next_.h;
    const bool io = h.type == kData || h.type == kDataEnd || h.type == kTrigger;
    if (!io || clearing_) return true;
    if (interrupted_due_) return false;
    if (!overlapped_ && reply_open()) {
        // Synchronized mode: a new message abandons the reply still going out.
        drop_reply();
        if (!g_settings.quiet)
            log_line("[hislip %s] session %u: reply to 0x%08x interrupted by 0x%08x", hi_.inst->addr.c_str(), link_->id,
                     cur_id_, h.param);
        if (f_.interrupted_late) {
            send_async(message(kAsyncInterrupted, 0, h.param));
            interrupted_due_ = true;
            interrupted_id_ = h.param;
            interrupted_at_ = Clock::now() + std::chrono::milliseconds(kLateMs);
            return false;
        }
        // Interrupted goes out before AsyncInterrupted.
        queue(message(kInterrupted, 0, h.param));
        flush_sync();
        send_async(message(kAsyncInterrupted, 0, h.param));
    }
    return settled() && pending_.empty() && !holding_;
}

void Connection::handle_sync(Msg& m) {
    const Header& h = m.h;
    switch (h.type) {
    case kData:
    case kDataEnd:
    case kTrigger: {
        if (clearing_) return;  // sent before the client saw the clear: dropped
        if (async_ < 0) {
            fatal(kFatalNoBothChannels, "no asynchronous channel yet");
            return;
        }
        if (f_.encrypt) {
            fatal(kFatalSecureFailed, "this server requires an encrypted connection (HiSLIP 2.0 TLS)");
            return;
        }
        if (h.control & 1) rmt_pending_ = false;
        cur_id_ = h.param;
        if (h.type == kTrigger) {
            hi_.inst->state->triggers.fetch_add(1);
            return;
        }
        feed_ = std::move(m.payload);
        feed_at_ = 0;
        if (h.type == kDataEnd) {
            hi_.inst->state->ends.fetch_add(1);
            // END closes the program message, as the LF does on a raw connection.
            if (feed_.empty() || feed_.back() != '\n') feed_ += '\n';
            ready_at_ = Clock::now() + std::chrono::milliseconds(f_.slow_ms);
            ++data_ends_;
            if (f_.fatal_at != 0 && data_ends_ == f_.fatal_at) {
                fatal(128, "simulated fatal error");
                return;
            }
            if (f_.flood) {
                flood(h.param);
                return;
            }
            if (!f_.bad_length.empty() && f_.bad_length != "stb") {
                // The header alone: a client that believed it waits for ever.
                if (f_.bad_length == "over")
                    queue(header_bytes(kData, 0, h.param, kHislipMaxMessage + 1));
                else if (f_.bad_length == "error")
                    queue(header_bytes(kError, kErrDeviceDefined, 0, kHugeLength));
                else
                    queue(header_bytes(kDataEnd, 0, h.param, kHugeLength));
                feed_.clear();
                return;
            }
            if (f_.error_at != 0 && feed_.compare(0, 12, "HISLIPERROR ") == 0) {
                // The error instrument refuses this one with the code it names.
                const unsigned long code = std::strtoul(feed_.c_str() + 12, nullptr, 10);
                feed_.clear();
                queue(message(kError, static_cast<std::uint8_t>(code), 0, "simulated error " + std::to_string(code)));
                return;
            }
            if (f_.error_at != 0 && data_ends_ == f_.error_at) {
                // The message is refused and not answered; later ones are.
                feed_.clear();
                queue(message(kError, kErrDeviceDefined, 0, "simulated error"));
                return;
            }
        }
        push_feed();
        return;
    }
    case kDeviceClearComplete:
        overlapped_ = f_.overlap || (h.control & 1);
        clearing_ = false;
        cur_id_ = kFirstMessageId;
        expected_id_ = kFirstMessageId;
        queue(message(kDeviceClearAcknowledge, overlapped_ ? 1 : 0, 0));
        return;
    case kError:
        if (!g_settings.quiet)
            log_line("[hislip %s] session %u: client Error %u: %s", hi_.inst->addr.c_str(), link_->id, h.control,
                     m.payload.c_str());
        return;
    case kFatalError:
        if (!g_settings.quiet)
            log_line("[hislip %s] session %u: client FatalError %u: %s", hi_.inst->addr.c_str(), link_->id, h.control,
                     m.payload.c_str());
        ended_ = true;
        return;
    case kInitialize:
        fatal(kFatalBadInit, "Initialize on an initialized connection");
        return;
    default:
        queue(message(kError, kErrBadType, 0, "message type " + std::to_string(h.type) + " not served on this channel"));
        return;
    }
}

void Connection::handle_async(const Msg& m) {
    const Header& h = m.h;
    if (f_.encrypt && h.type != kAsyncInitialize) {
        fatal(kFatalSecureFailed, "this server requires an encrypted connection (HiSLIP 2.0 TLS)");
        return;
    }
    switch (h.type) {
    case kAsyncMaximumMessageSize: {
        if (m.payload.size() != 8) {
            send_async(message(kError, kErrUnidentified, 0, "AsyncMaximumMessageSize needs an 8-byte size"));
            return;
        }
        std::uint64_t v = 0;
        for (unsigned char c : m.payload) v = (v << 8) | c;
        client_max_ = v;
        std::string size(8, '\0');
        for (int i = 0; i < 8; ++i) size[i] = static_cast<char>(f_.max_message >> (56 - 8 * i));
        send_async(message(kAsyncMaximumMessageSizeResponse, 0, 0, size));
        return;
    }
    case kAsyncStatusQuery:
        if (h.control & 1) rmt_pending_ = false;
        status_id_ = h.param;
        status_waiting_ = true;
        status_until_ = Clock::now() + std::chrono::milliseconds(kHoldMs);
        if (status_caught_up()) answer_status();
        return;
    case kAsyncDeviceClear:
        device_clear();
        send_async(message(kAsyncDeviceClearAcknowledge, f_.overlap ? 1 : 0, 0));
        return;
    case kAsyncRemoteLocalControl: {
        auto& remote = hi_.inst->state->remote;
        switch (h.control) {
        case 0: case 2: case 6: remote.store(false); break;  // disable remote, go to local
        case 3: case 5: remote.store(true); break;           // go to remote
        case 1: case 4: break;                               // remote enable, local lockout: no state change
        default:
            send_async(message(kError, kErrBadControl, 0, "remote/local code " + std::to_string(h.control)));
            return;
        }
        send_async(message(kAsyncRemoteLocalResponse, 0, 0));
        return;
    }
    case kAsyncLock: {
        std::uint8_t result = 3;  // error
        {
            std::unique_lock<std::mutex> lock(g_mutex);
            auto it = g_lock_owner.find(hi_.inst);
            if (h.control == 1 && m.payload.empty()) {
                // Exclusive request: granted when free, else waited for up to
                // its timeout (capped; polled, as locks are rare here).
                const auto until = Clock::now() + std::chrono::milliseconds(std::min<std::uint32_t>(h.param, kMaxLockWaitMs));
                while (it != g_lock_owner.end() && it->second != link_.get() && Clock::now() < until) {
                    lock.unlock();
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    lock.lock();
                    it = g_lock_owner.find(hi_.inst);
                }
                if (it == g_lock_owner.end() || it->second == link_.get()) {
                    g_lock_owner[hi_.inst] = link_.get();
                    result = 1;
                } else {
                    result = 0;
                }
            } else if (h.control == 0 && it != g_lock_owner.end() && it->second == link_.get()) {
                g_lock_owner.erase(it);
                result = 1;
            }
            // Shared locks (a lock string) are not served: error.
        }
        send_async(message(kAsyncLockResponse, result, 0));
        return;
    }
    case kAsyncLockInfo: {
        bool held;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            held = g_lock_owner.count(hi_.inst) != 0;
        }
        send_async(message(kAsyncLockInfoResponse, held ? 1 : 0, held ? 1 : 0));
        return;
    }
    case kError:
        if (!g_settings.quiet)
            log_line("[hislip %s] session %u: client Error %u on the async channel", hi_.inst->addr.c_str(), link_->id,
                     h.control);
        return;
    case kFatalError:
        ended_ = true;
        return;
    case kAsyncInitialize:
        fatal(kFatalBadInit, "AsyncInitialize on an initialized connection");
        return;
    default:
        send_async(message(kError, kErrBadType, 0, "message type " + std::to_string(h.type) + " not served on this channel"));
        return;
    }
}

void Connection::run(const Header& init, const std::string& sub_address) {
    const std::uint16_t client_version = static_cast<std::uint16_t>(init.param >> 16);
    if (!g_settings.quiet)
        log_line("[hislip %s] session %u: Initialize version %u.%u vendor %c%c sub-address \"%s\"",
                 hi_.inst->addr.c_str(), link_->id, client_version >> 8, client_version & 0xFF,
                 static_cast<char>((init.param >> 8) & 0x7F), static_cast<char>(init.param & 0x7F),
                 sub_address.c_str());
    link_->wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (link_->wake_fd < 0 || !start_engine()) {
        send_fatal(sync_, kFatalUnidentified, "out of resources");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_links.push_back(link_);
    }
    overlapped_ = f_.overlap;
    // Encryption-mandatory (bit 1) and initial-encryption (bit 2) are HiSLIP 2.0's.
    const std::uint16_t version = f_.encrypt ? 0x0200 : 0x0100;
    const std::uint8_t control = static_cast<std::uint8_t>((overlapped_ ? 1 : 0) | (f_.encrypt ? 6 : 0));
    const std::uint32_t param = (std::uint32_t{version} << 16) | link_->id;
    if (f_.bad_length == "init") {
        send_all(sync_, header_bytes(kInitializeResponse, control, param, kHugeLength));
        return;
    }
    if (!send_all(sync_, message(kInitializeResponse, control, param))) return;
    ::fcntl(sync_, F_SETFL, ::fcntl(sync_, F_GETFL) | O_NONBLOCK);
    start_watcher();

    while (!ended_) {
        // An async connection handed over is adopted before any further sync message.
        adopt_async();
        send_service_requests();
        observe();
        if (!flush_sync()) break;
        // Sync messages: read while none waits, then process what may go.
        if (!have_next_) {
            Take t = take(sync_in_, true, next_);
            if (t == Take::Bad) break;
            have_next_ = t == Take::Msg;
            const std::uint8_t ty = next_.h.type;
            if (have_next_ && !clearing_ && (ty == kData || ty == kDataEnd || ty == kTrigger))
                expected_id_ = next_.h.param + 2;
        }
        if (sync_message_ready()) {
            have_next_ = false;
            handle_sync(next_);
            if (ended_) break;
            continue;
        }
        if (interrupted_due_ && Clock::now() >= interrupted_at_) {
            interrupted_due_ = false;
            queue(message(kInterrupted, 0, interrupted_id_));
                continue;
        }
        // Async messages one at a time; a status query waits for the sync side.
        if (async_ >= 0 && !status_waiting_) {
            Msg am;
            Take t = take(async_in_, false, am);
            if (t == Take::Bad) break;
            if (t == Take::Msg) {
                handle_async(am);
                continue;
            }
        }
        if (status_waiting_ && (status_caught_up() || Clock::now() >= status_until_)) {
            answer_status();
            continue;
        }
        observe();
        if (ended_) break;
        emit_output();
        if (!flush_sync()) break;
        // A waiting message may go now that the reply before it is out.
        if (have_next_ && !interrupted_due_ && settled() && pending_.empty() && !holding_) continue;
        if (run_left_ && pending_.size() < 2 * kMaxChunk && out_bytes_ < kOutLimit) continue;

        // Nothing to do at once: wait for the sockets or the next deadline.
        pollfd p[6];
        nfds_t n = 0;
        const bool want_sync = !have_next_;
        p[n++] = {sync_, static_cast<short>((want_sync ? POLLIN : 0) | (out_q_.empty() ? 0 : POLLOUT) | POLLRDHUP), 0};
        p[n++] = {link_->wake_fd, POLLIN, 0};
        p[n++] = {engine_.hook->idle.wake_fd, POLLIN, 0};
        const bool room = out_bytes_ < kOutLimit && pending_.size() < 2 * kMaxChunk;
        p[n++] = {engine_.fd, static_cast<short>((room ? POLLIN : 0) |
                                                (feed_at_ < feed_.size() ? POLLOUT : 0)), 0};
        if (async_ >= 0) p[n++] = {async_, static_cast<short>((status_waiting_ ? 0 : POLLIN) | POLLRDHUP), 0};
        const nfds_t srq_at = n;
        if (srq_fd_ >= 0) p[n++] = {srq_fd_, POLLIN, 0};
        int timeout = -1;
        auto consider = [&](bool on, Clock::time_point t) {
            if (!on) return;
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count() + 1;
            ms = std::max<long long>(0, std::min<long long>(ms, 1000));
            if (timeout < 0 || ms < timeout) timeout = static_cast<int>(ms);
        };
        consider(!pending_.empty() && Clock::now() < ready_at_, ready_at_);
        consider(holding_, hold_until_);
        consider(interrupted_due_, interrupted_at_);
        // The status catch-up looks at the sync socket's queue: poll it often.
        consider(status_waiting_, std::min(status_until_, Clock::now() + std::chrono::milliseconds(5)));
        if (::poll(p, n, timeout) < 0 && errno != EINTR) break;
        if (p[1].revents) drain_eventfd(link_->wake_fd);
        if (p[2].revents) drain_eventfd(engine_.hook->idle.wake_fd);
        if (srq_fd_ >= 0 && p[srq_at].revents) drain_eventfd(srq_fd_);
        if ((p[0].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) && want_sync) {
            fill(sync_, sync_in_);
            if (sync_in_.eof) break;
        } else if (p[0].revents & (POLLRDHUP | POLLHUP | POLLERR)) {
            break;  // the client is gone while a message of its waits
        }
        if (async_ >= 0 && (p[4].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))) {
            if (status_waiting_) {
                if (p[4].revents & (POLLRDHUP | POLLHUP | POLLERR)) break;
            } else {
                fill(async_, async_in_);
                if (async_in_.eof) break;
            }
        }
    }
    flush_sync();
    if (!g_settings.quiet) log_line("[hislip %s] session %u: closed", hi_.inst->addr.c_str(), link_->id);
}

// The asynchronous connection: find its session and hand the fd over.
// True when the session took it.
bool hand_over(int fd, const HislipInstrument& hi, std::uint16_t id) {
    std::lock_guard<std::mutex> lock(g_mutex);
    // Newest first: with the same-id fault several sessions share an id, and
    // the one still waiting for its async channel is the newest.
    for (auto it = g_links.rbegin(); it != g_links.rend(); ++it) {
        Link& l = **it;
        if (l.hi != &hi || l.id != id || l.has_async) continue;
        l.has_async = true;
        l.handed_fd = fd;
        std::uint64_t one = 1;
        ssize_t w = ::write(l.wake_fd, &one, sizeof one);
        (void)w;
        return true;
    }
    return false;
}

struct ConnStart {
    int fd;
    const HislipInstrument* hi;
};

void* connection_main(void* arg) {
    std::unique_ptr<ConnStart> start(static_cast<ConnStart*>(arg));
    const int fd = start->fd;
    const HislipInstrument& hi = *start->hi;
    Header h;
    std::string payload;
    bool keep_fd = false;
    const First first = read_first(fd, h, payload);
    if (first == First::BadHeader || first == First::TooLong) {
        send_fatal(fd, kFatalBadHeader, first == First::BadHeader ? "message does not start with HS" : "first message too long");
    } else if (first == First::Gone) {
        // The client went away or sent nothing for 30 s.
    } else if (h.type == kInitialize) {
        auto link = std::make_shared<Link>();
        link->hi = &hi;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            if (hi.faults.same_id) {
                link->id = 1;
            } else {
                if (++g_next_id == 0) ++g_next_id;
                link->id = g_next_id;
            }
        }
        Connection c(fd, hi, link);
        c.run(h, payload);
    } else if (h.type == kAsyncInitialize) {
        const auto id = static_cast<std::uint16_t>(h.param & 0xFFFF);
        if (hand_over(fd, hi, id)) {
            keep_fd = true;
        } else {
            send_fatal(fd, kFatalBadInit, "no session " + std::to_string(id) + " waits for its asynchronous channel");
        }
    } else {
        send_fatal(fd, kFatalBadInit, "a connection starts with Initialize or AsyncInitialize");
    }
    if (!keep_fd) {
        unregister_connection(fd);
        ::close(fd);
    }
    start.reset();
    session_thread_done();
    return nullptr;
}

}  // namespace

bool apply_hislip_fault(HislipFaults& f, const std::string& fault) {
    std::uint64_t v = 0;
    if (fault == "interrupt") f.interrupt = true;
    else if (fault == "fatal") f.fatal_at = 1;
    else if (fault == "encrypt") f.encrypt = true;
    else if (fault == "sameid") f.same_id = true;
    else if (fault == "overlap") f.overlap = true;
    else if (fault == "stb-early") f.stb_early = true;
    else if (fault == "interrupted-late") f.interrupted_late = true;
    else if (fault == "error") f.error_at = 1;
    else if (fault == "flood") f.flood = true;
    else if (fault == "badlen=init" || fault == "badlen=reply" || fault == "badlen=over" || fault == "badlen=error" ||
             fault == "badlen=stb")
        f.bad_length = fault.substr(7);
    else if (fault_number(fault, "stb-late=", 60000, v)) f.stb_late_ms = static_cast<std::uint32_t>(v);
    else if (fault_number(fault, "fatal=", 0xFFFFFFFFull, v) && v > 0) f.fatal_at = static_cast<std::uint32_t>(v);
    else if (fault_number(fault, "error=", 0xFFFFFFFFull, v) && v > 0) f.error_at = static_cast<std::uint32_t>(v);
    else if (fault_number(fault, "slow=", 3600000, v)) f.slow_ms = static_cast<std::uint32_t>(v);
    else if (fault_number(fault, "maxmsg=", UINT64_MAX, v) && v > 0) f.max_message = v;
    else return false;
    return true;
}

bool HislipServer::open(std::vector<HislipInstrument> instruments, unsigned port) {
    insts_ = std::move(instruments);
    for (const HislipInstrument& hi : insts_) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            log_line("hislip: cannot create a socket: %s", std::strerror(errno));
            close_all();
            return false;
        }
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<std::uint16_t>(port));
        sa.sin_addr = hi.addr;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, SOMAXCONN) != 0) {
            log_line("cannot bind TCP %s:%u for HiSLIP: %s (or use --no-hislip)", hi.inst->addr.c_str(), port,
                     std::strerror(errno));
            ::close(fd);
            close_all();
            return false;
        }
        fds_.push_back(fd);
    }
    return true;
}

void HislipServer::add_pollfds(std::vector<pollfd>& out) const {
    for (int fd : fds_) out.push_back({fd, POLLIN, 0});
}

void HislipServer::close_all() {
    for (int fd : fds_) ::close(fd);
    fds_.clear();
}

void HislipServer::on_readable(int fd, const void* thread_attr) {
    auto it = std::find(fds_.begin(), fds_.end(), fd);
    if (it == fds_.end()) return;
    const HislipInstrument& hi = insts_[static_cast<std::size_t>(it - fds_.begin())];
    // Bounded, so a flood cannot keep the main loop from its other sockets.
    for (int i = 0; i < 64; ++i) {
        int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR) continue;
            return;
        }
        int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        register_connection(c);
        auto* start = new ConnStart{c, &hi};
        pthread_t tid;
        int rc = pthread_create(&tid, static_cast<const pthread_attr_t*>(thread_attr), connection_main, start);
        if (rc != 0) {
            log_line("hislip: cannot start a connection thread: %s", std::strerror(rc));
            delete start;
            unregister_connection(c);
            ::close(c);
            session_thread_done();
            return;
        }
    }
}

}  // namespace vxsim
