// VXI-11 core and abort channels and the portmapper listeners (see vxi11.h
// and docs/guide/simulator.md). Procedure numbers and error codes are those of the
// VXIbus consortium's VXI-11 specification, rev 1.0.
#include "vxi11.h"

#include "portmap.h"
#include "onc_rpc.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vxsim {

namespace {

using Clock = std::chrono::steady_clock;

// Device_ErrorCode values.
enum : std::uint32_t {
    kErrNone = 0,
    kErrNotAccessible = 3,
    kErrInvalidLink = 4,
    kErrParameter = 5,
    kErrOutOfResources = 9,
    kErrLockedByAnother = 11,
    kErrNoLockHeld = 12,
    kErrTimeout = 15,
    kErrNotSupported = 8,
    kErrChannelNotEstablished = 6,
    kErrAbort = 23,
    kErrChannelEstablished = 29,
};

enum : std::uint32_t {
    kCreateLink = 10, kDeviceWrite, kDeviceRead, kDeviceReadstb, kDeviceTrigger, kDeviceClear,
    kDeviceRemote, kDeviceLocal, kDeviceLock, kDeviceUnlock, kDeviceEnableSrq,
    kDeviceDocmd = 22, kDestroyLink, kCreateIntrChan = 25, kDestroyIntrChan,
};

constexpr std::uint32_t kFlagWaitLock = 1, kFlagEnd = 8, kFlagTermChar = 128;
constexpr std::uint32_t kReasonReqcnt = 1, kReasonChr = 2, kReasonEnd = 4;
constexpr std::size_t kMaxReadChunk = 1024 * 1024;      // most bytes one device_read hands over
constexpr std::size_t kMaxRecordCap = 64 * 1024 * 1024;  // most bytes of one call we take
constexpr std::size_t kMaxLinksPerConnection = 64;
constexpr std::uint64_t kMaxWaitMs = 24ull * 3600 * 1000;  // io and lock timeouts are capped here
constexpr std::uint32_t kIntrProg = 0x0607B1, kIntrSrq = 30, kDeviceTcp = 0;
constexpr std::size_t kMaxHandle = 40;
constexpr int kIntrConnectMs = 2000;  // create_intr_chan's connection to the client
constexpr int kIntrSendMs = 2000;     // a device_intr_srq the client does not take in this long ends the channel

struct Link {
    std::uint32_t id = 0;
    const Vxi11Instrument* vi = nullptr;
    HookedSession session;  // the link's command engine
    int abort_fd = -1;      // eventfd written by device_abort
    std::string pending;       // session output read but not yet handed over
    std::uint64_t written = 0;  // bytes given to the current session
    bool ended = false;         // the session has closed its end (CLOSE, RESET)
    std::atomic<std::uint64_t> aborts{0};
    Link() { abort_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }
    ~Link() {
        release_hooked_session(session);
        if (abort_fd >= 0) ::close(abort_fd);
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
};

// Links by id, for the abort channel (another connection and thread).
std::mutex g_links_mutex;
std::map<std::uint32_t, std::shared_ptr<Link>> g_links;
std::uint32_t g_next_link = 1;
// Lock holder (a link id) per instrument, for device_lock.
std::map<const Vxi11Instrument*, std::uint32_t> g_lock_owner;

// Gives the link a fresh session (at create_link and device_clear); the old
// one, if any, sees its input end and finishes by itself.
bool start_session(Link& link) {
    link.pending.clear();
    link.written = 0;
    link.ended = false;
    return start_hooked_session(link.session, *link.vi->inst, link.id, "vxi-11 link " + std::to_string(link.id),
                                false);
}

Clock::time_point deadline_after(std::uint32_t ms) {
    return Clock::now() + std::chrono::milliseconds(std::min<std::uint64_t>(ms, kMaxWaitMs));
}

int ms_until(Clock::time_point t) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 1000 ? 1000 : static_cast<int>(left) + 1;
}

// The interrupt channel of one core connection (create_intr_chan): a
// connection to the client and a thread that sends device_intr_srq, the
// handle of each link with service requests on, once for every request of
// the instrument since that link's enable. It never reads: the call has no
// reply.
class IntrChannel {
public:
    IntrChannel(const Vxi11Instrument& vi) : vi_(vi) {}
    ~IntrChannel() { close(); }
    // Connects to the client and starts sending; error code for the reply.
    std::uint32_t open(std::uint32_t host_addr, std::uint32_t port);
    void close();
    bool is_open() const { return fd_ >= 0; }
    // device_enable_srq of a link: on with a handle, or off.
    void enable(std::uint32_t link, bool on, const std::string& handle);

private:
    void run();
    bool send_srq(const std::string& handle);

    const Vxi11Instrument& vi_;
    int fd_ = -1;
    std::thread sender_;
    std::atomic<bool> stop_{false};
    std::mutex m_;  // the links below
    struct Enabled {
        std::string handle;
        std::uint64_t sent;  // the instrument's request count this link has been told of
    };
    std::map<std::uint32_t, Enabled> links_;
    std::uint32_t xid_ = 0;
};

std::uint32_t IntrChannel::open(std::uint32_t host_addr, std::uint32_t port) {
    if (fd_ >= 0) return kErrChannelEstablished;
    if (port == 0 || port > 65535) return kErrParameter;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return kErrOutOfResources;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = htonl(host_addr);
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p = {fd, POLLOUT, 0};
        int err = ETIMEDOUT;
        socklen_t len = sizeof err;
        if (::poll(&p, 1, kIntrConnectMs) == 1) ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        rc = err == 0 ? 0 : -1;
    }
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    if (rc != 0) {
        if (!g_settings.quiet) log_line("[vxi-11 %s] create_intr_chan: cannot connect to %s:%u", vi_.inst->addr.c_str(), text, port);
        ::close(fd);
        return kErrChannelNotEstablished;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    timeval tv{kIntrSendMs / 1000, (kIntrSendMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!g_settings.quiet) log_line("[vxi-11 %s] create_intr_chan: connected to %s:%u", vi_.inst->addr.c_str(), text, port);
    fd_ = fd;
    stop_ = false;
    sender_ = std::thread([this] { run(); });
    return kErrNone;
}

void IntrChannel::close() {
    if (fd_ < 0) return;
    stop_ = true;
    if (sender_.joinable()) sender_.join();
    ::close(fd_);
    fd_ = -1;
}

void IntrChannel::enable(std::uint32_t link, bool on, const std::string& handle) {
    std::lock_guard<std::mutex> hold(m_);
    if (on)
        links_[link] = Enabled{handle, vi_.inst->state->srqs.load()};
    else
        links_.erase(link);
}

bool IntrChannel::send_srq(const std::string& handle) {
    XdrOut out;
    out.u32(++xid_);
    out.u32(0);  // CALL
    out.u32(2);
    out.u32(kIntrProg);
    out.u32(1);
    out.u32(kIntrSrq);
    out.u32(0);  // credential and verifier: AUTH_NONE
    out.u32(0);
    out.u32(0);
    out.u32(0);
    out.opaque(handle.data(), handle.size());
    return write_record(fd_, out.bytes(), RecordStyle{vi_.faults.frag, true});
}

void IntrChannel::run() {
    InstrumentState& state = *vi_.inst->state;
    std::uint64_t seen = state.srqs.load();
    while (!stop_.load()) {
        // Short waits, so a close is not held up.
        const std::uint64_t now = state.wait_service(seen, 100);
        std::lock_guard<std::mutex> hold(m_);
        for (auto& [id, e] : links_) {
            for (; e.sent < now; ++e.sent) {
                if (!send_srq(e.handle)) {
                    log_line("[vxi-11 %s] device_intr_srq to link %u failed: %s; interrupt channel ended",
                             vi_.inst->addr.c_str(), id, std::strerror(errno));
                    links_.clear();
                    return;
                }
            }
        }
        seen = now;
    }
}

// One core channel connection and the links it made.
class CoreConnection {
public:
    CoreConnection(int fd, const Vxi11Instrument& vi, unsigned abort_port)
        : fd_(fd), vi_(vi), abort_port_(abort_port), intr_(vi) {}
    ~CoreConnection();
    void run();

private:
    enum class Wait { Ready, Timeout, Aborted, Gone };
    // Waits for output, idleness, an abort or the client's hang-up.
    Wait wait(Link& link, std::uint64_t abort_gen, Clock::time_point until, short out_events);
    std::shared_ptr<Link> find(std::uint32_t id);
    // Pulls session output into link.pending (up to `want` + 1 bytes);
    // true when the socket pair was found empty.
    bool pull(Link& link, std::size_t want);
    bool idle(const Link& link) const {
        return link.session.hook->idle.idle_at.load(std::memory_order_acquire) == link.written;
    }
    // false: send no reply (and end the connection if gone_ is set).
    bool handle(const RpcCall& call, XdrOut& out);
    void create_link(XdrIn& in, XdrOut& out);
    std::uint32_t device_write(Link& link, XdrIn& in, std::uint32_t& size);
    bool device_read(Link& link, XdrIn& in, XdrOut& out);
    std::uint32_t lock(Link& link, std::uint32_t flags, std::uint32_t lock_timeout);
    // Before a call on the device: waits (waitlock flag) up to lock_timeout
    // while another link holds the lock; error 11 when it is still held.
    std::uint32_t await_lock(Link& link, std::uint32_t flags, std::uint32_t lock_timeout);
    // The same for a Device_GenericParms call, read from its arguments.
    std::uint32_t generic_lock(Link& link, XdrIn& in) {
        std::uint32_t flags = in.u32(), lock_timeout = in.u32();
        return await_lock(link, flags, lock_timeout);
    }
    std::uint32_t acquire(Link& link, std::uint32_t flags, std::uint32_t lock_timeout, bool take);
    void destroy(std::uint32_t id);

    int fd_;
    const Vxi11Instrument& vi_;
    unsigned abort_port_;
    std::vector<std::uint32_t> mine_;
    bool gone_ = false;
    bool split_reply_ = false;  // the reply goes in two fragments, the second 1000 ms late
    XdrOut res_;  // a call's results, kept from call to call with their memory
    IntrChannel intr_;
};

CoreConnection::~CoreConnection() {
    intr_.close();
    std::vector<std::uint32_t> ids = mine_;
    for (std::uint32_t id : ids) destroy(id);
}

std::shared_ptr<Link> CoreConnection::find(std::uint32_t id) {
    if (std::find(mine_.begin(), mine_.end(), id) == mine_.end()) return nullptr;
    std::lock_guard<std::mutex> lock(g_links_mutex);
    auto it = g_links.find(id);
    return it == g_links.end() ? nullptr : it->second;
}

void CoreConnection::destroy(std::uint32_t id) {
    std::shared_ptr<Link> link;
    {
        std::lock_guard<std::mutex> lock(g_links_mutex);
        auto it = g_links.find(id);
        if (it != g_links.end()) {
            link = it->second;
            g_links.erase(it);
        }
        auto owner = g_lock_owner.find(&vi_);
        if (owner != g_lock_owner.end() && owner->second == id) g_lock_owner.erase(owner);
    }
    mine_.erase(std::remove(mine_.begin(), mine_.end(), id), mine_.end());
    intr_.enable(id, false, std::string());
    // The session's input ends with our end of the pair; it finishes alone.
    if (link) release_hooked_session(link->session);
}

bool CoreConnection::pull(Link& link, std::size_t want) {
    char buf[64 * 1024];
    while (link.pending.size() <= want) {
        std::size_t room = std::min(sizeof buf, want + 1 - link.pending.size());
        ssize_t n = ::recv(link.session.fd, buf, room, MSG_DONTWAIT);
        if (n > 0) {
            link.pending.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // EAGAIN, or the session has ended: nothing more is coming now.
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) link.ended = true;
        return true;
    }
    return false;
}

CoreConnection::Wait CoreConnection::wait(Link& link, std::uint64_t abort_gen, Clock::time_point until,
                                          short out_events) {
    for (;;) {
        if (link.aborts.load() != abort_gen) return Wait::Aborted;
        pollfd p[4] = {{fd_, POLLRDHUP, 0},
                       {link.abort_fd, POLLIN, 0},
                       {link.session.hook->idle.wake_fd, POLLIN, 0},
                       {link.session.fd, out_events, 0}};
        int timeout = ms_until(until);
        if (timeout == 0) return Wait::Timeout;
        // An ended session's end of the pair is always readable.
        int r = ::poll(p, out_events && !link.ended ? 4 : 3, timeout);
        if (r < 0 && errno != EINTR) return Wait::Gone;
        if (p[0].revents & (POLLRDHUP | POLLHUP | POLLERR)) {
            gone_ = true;
            return Wait::Gone;
        }
        if (p[1].revents) drain_eventfd(link.abort_fd);
        if (link.aborts.load() != abort_gen) return Wait::Aborted;
        if (p[2].revents) {
            drain_eventfd(link.session.hook->idle.wake_fd);
            return Wait::Ready;
        }
        if (out_events && p[3].revents) return Wait::Ready;
    }
}

void CoreConnection::create_link(XdrIn& in, XdrOut& out) {
    in.i32();                     // clientId
    bool lock_device = in.boolean();
    std::uint32_t lock_timeout = in.u32();
    std::string device = in.opaque(256);
    std::uint32_t error = kErrNone, id = 0;
    if (!in.ok()) {
        error = kErrParameter;
    } else if (vi_.faults.refuse != 0) {
        error = vi_.faults.refuse;
    } else if (mine_.size() >= kMaxLinksPerConnection) {
        error = kErrOutOfResources;
    } else {
        auto link = std::make_shared<Link>();
        link->vi = &vi_;
        {
            std::lock_guard<std::mutex> lock(g_links_mutex);
            link->id = vi_.faults.lid0 && g_links.count(0) == 0 ? 0 : g_next_link++;
        }
        if (link->abort_fd < 0 || !start_session(*link)) {
            error = kErrOutOfResources;
        } else {
            id = link->id;
            {
                std::lock_guard<std::mutex> lock(g_links_mutex);
                g_links[id] = link;
            }
            mine_.push_back(id);
            if (lock_device && (error = lock(*link, kFlagWaitLock, lock_timeout)) != kErrNone) {
                destroy(id);
                id = 0;
            }
        }
    }
    if (!g_settings.quiet)
        log_line("[vxi-11 %s] create_link \"%s\": %s %u", vi_.inst->addr.c_str(), device.c_str(),
                 error ? "error" : "link", error ? error : id);
    out.u32(error);
    out.u32(id);
    out.u32(abort_port_);
    out.u32(vi_.faults.max_recv);
}

std::uint32_t CoreConnection::lock(Link& link, std::uint32_t flags, std::uint32_t lock_timeout) {
    return acquire(link, flags, lock_timeout, true);
}

std::uint32_t CoreConnection::await_lock(Link& link, std::uint32_t flags, std::uint32_t lock_timeout) {
    return acquire(link, flags, lock_timeout, false);
}

std::uint32_t CoreConnection::acquire(Link& link, std::uint32_t flags, std::uint32_t lock_timeout, bool take) {
    if (vi_.faults.no_lock_wait && ((flags & kFlagWaitLock) || lock_timeout != 0)) return kErrParameter;
    auto until = deadline_after((flags & kFlagWaitLock) ? lock_timeout : 0);
    // Bounded by the lock timeout (capped); polled, as locks are rare here.
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(g_links_mutex);
            auto it = g_lock_owner.find(&vi_);
            if (it == g_lock_owner.end() || it->second == link.id) {
                if (take) g_lock_owner[&vi_] = link.id;
                return kErrNone;
            }
        }
        if (Clock::now() >= until) return kErrLockedByAnother;
        pollfd p = {fd_, POLLRDHUP, 0};
        if (::poll(&p, 1, 10) > 0) return kErrLockedByAnother;
    }
}

std::uint32_t CoreConnection::device_write(Link& link, XdrIn& in, std::uint32_t& size) {
    std::uint32_t io_timeout = in.u32();
    std::uint32_t lock_timeout = in.u32();
    std::uint32_t flags = in.u32();
    std::string data = in.opaque(kMaxRecordCap);
    size = 0;
    if (!in.ok()) return kErrNone;
    if (std::uint32_t locked = await_lock(link, flags, lock_timeout)) return locked;
    const std::size_t given = data.size();
    // END closes the program message, as the LF does on a raw connection.
    if (flags & kFlagEnd) vi_.inst->state->ends.fetch_add(1);
    if ((flags & kFlagEnd) && (data.empty() || data.back() != '\n')) data += '\n';
    const std::uint64_t gen = link.aborts.load();
    auto until = deadline_after(io_timeout);
    std::size_t at = 0;
    std::uint32_t error = kErrNone;
    while (at < data.size()) {
        ssize_t n = ::send(link.session.fd, data.data() + at, data.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            at += static_cast<std::size_t>(n);
            link.written += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            error = kErrNone;  // the session has ended (CLOSE): the bytes are gone as on TCP
            at = data.size();
            break;
        }
        Wait w = wait(link, gen, until, POLLOUT);
        if (w == Wait::Timeout) error = kErrTimeout;
        if (w == Wait::Aborted) error = kErrAbort;
        if (w == Wait::Gone) return kErrNone;
        if (error) break;
    }
    size = static_cast<std::uint32_t>(std::min(at, given));
    return error;
}

bool CoreConnection::device_read(Link& link, XdrIn& in, XdrOut& out) {
    std::uint32_t request = in.u32(), io_timeout = in.u32();
    std::uint32_t lock_timeout = in.u32();
    std::uint32_t flags = in.u32();
    char term = static_cast<char>(in.u32() & 0xFF);
    if (std::uint32_t locked = await_lock(link, flags, lock_timeout)) {
        out.u32(locked);
        out.u32(0);
        out.opaque(nullptr, 0);
        return true;
    }
    const std::size_t want = std::min<std::size_t>(request, kMaxReadChunk);
    const std::uint64_t gen = link.aborts.load();
    const auto start = Clock::now();
    const auto until = deadline_after(io_timeout);
    const auto ready_at = start + std::chrono::milliseconds(vi_.faults.slow_ms);
    auto answer = [&](std::uint32_t error, std::size_t n, std::uint32_t reason) {
        out.u32(error);
        out.u32(reason);
        out.opaque(link.pending.data(), n);
        link.pending.erase(0, n);
        return true;
    };
    if (vi_.faults.late_ms != 0) {
        // Whatever the client's io_timeout: what the session has by then.
        const auto late = start + std::chrono::milliseconds(vi_.faults.late_ms);
        for (;;) {
            const int left = ms_until(late);
            if (left == 0) break;
            pollfd p = {fd_, POLLRDHUP, 0};
            if (::poll(&p, 1, left) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
                gone_ = true;
                return false;
            }
        }
        pull(link, want);
        split_reply_ = true;
        const std::size_t n = std::min(link.pending.size(), want);
        return answer(n ? kErrNone : kErrTimeout, n, n ? kReasonEnd : 0);
    }
    for (;;) {
        if (link.aborts.load() != gen) return answer(kErrAbort, 0, 0);
        if (!vi_.faults.no_answer && Clock::now() >= ready_at) {
            // Idle first, then pull: all the session sent before going idle
            // is in the pair by then.
            const bool was_idle = idle(link);
            const bool drained = pull(link, want);
            // An instrument that drops the connection when its session ends,
            // as a raw socket's CLOSE does: no reply, the connection closes.
            if (link.ended && vi_.faults.close_drops) {
                gone_ = true;
                return false;
            }
            std::size_t n = std::min(link.pending.size(), want);
            if (flags & kFlagTermChar) {
                std::size_t t = link.pending.find(term);
                if (t != std::string::npos && t < want) return answer(kErrNone, t + 1, kReasonChr);
            }
            const bool all = was_idle && drained;
            if (want == 0 || link.pending.size() >= want)
                // REQCNT only when the client got all it asked for; a reply
                // capped at kMaxReadChunk carries no reason, and more follows.
                return answer(kErrNone, n,
                              (n == request ? kReasonReqcnt : 0) | (all && link.pending.size() == n ? kReasonEnd : 0));
            if (all && n > 0) return answer(kErrNone, n, kReasonEnd);
        }
        Clock::time_point wake = vi_.faults.no_answer ? Clock::now() + std::chrono::hours(24) : until;
        if (!vi_.faults.no_answer && Clock::now() < ready_at && ready_at < wake) wake = ready_at;
        if (!vi_.faults.no_answer && Clock::now() >= until) return answer(kErrTimeout, 0, 0);
        Wait w = wait(link, gen, wake, POLLIN);
        if (w == Wait::Gone) return false;
        if (w == Wait::Aborted) return answer(kErrAbort, 0, 0);
    }
}

bool CoreConnection::handle(const RpcCall& call, XdrOut& out) {
    if (!call.rpc_v2) {
        denied_reply(out, call.xid);
        return true;
    }
    if (call.prog != kVxiCoreProg) {
        begin_reply(out, call.xid, Accept::ProgUnavail);
        return true;
    }
    if (call.vers != 1) {
        mismatch_reply(out, call.xid, 1, 1);
        return true;
    }
    XdrIn in(call.args, call.args_len);
    if (call.proc == 0) {
        begin_reply(out, call.xid, Accept::Success);
        return true;
    }
    if (call.proc == kCreateLink) {
        begin_reply(out, call.xid, Accept::Success);
        create_link(in, out);
        return true;
    }
    if (call.proc == kCreateIntrChan) {
        const std::uint32_t host_addr = in.u32(), host_port = in.u32(), prog = in.u32(), vers = in.u32(),
                            family = in.u32();
        std::uint32_t error = kErrNotSupported;
        if (!in.ok())
            error = kErrParameter;
        else if (!vi_.faults.no_intr && prog == kIntrProg && vers == 1 && family == kDeviceTcp)
            error = intr_.open(host_addr, host_port);
        begin_reply(out, call.xid, Accept::Success);
        out.u32(error);
        return true;
    }
    if (call.proc == kDestroyIntrChan) {
        begin_reply(out, call.xid, Accept::Success);
        out.u32(intr_.is_open() ? kErrNone : kErrChannelNotEstablished);
        if (!g_settings.quiet)
            log_line("[vxi-11 %s] destroy_intr_chan%s", vi_.inst->addr.c_str(), intr_.is_open() ? "" : ": none made");
        intr_.close();
        return true;
    }
    if (call.proc < kDeviceWrite || call.proc > kDestroyLink || call.proc == 21) {
        begin_reply(out, call.xid, Accept::ProcUnavail);
        return true;
    }
    if (vi_.faults.mute) return false;  // read, never answered
    // Every other procedure starts with the link id.
    const std::uint32_t id = in.u32();
    XdrOut& res = res_;
    res.clear();
    std::shared_ptr<Link> link = find(id);
    std::uint32_t error = link ? kErrNone : kErrInvalidLink;
    if (link && vi_.faults.no_controls &&
        (call.proc == kDeviceReadstb || call.proc == kDeviceTrigger || call.proc == kDeviceRemote ||
         call.proc == kDeviceLocal)) {
        // An instrument without these procedures: nothing happens.
        res.u32(kErrNotSupported);
        if (call.proc == kDeviceReadstb) res.u32(0);
        begin_reply(out, call.xid, Accept::Success);
        out.bytes().insert(out.bytes().end(), res.bytes().begin(), res.bytes().end());
        return true;
    }
    if (link && vi_.faults.error != 0 && call.proc >= kDeviceWrite && call.proc <= kDeviceLocal) {
        // A device that refuses every call on a link (one busy with another
        // link answers 11): nothing happens.
        res.u32(vi_.faults.error);
        if (call.proc == kDeviceWrite || call.proc == kDeviceReadstb) res.u32(0);
        if (call.proc == kDeviceRead) {
            res.u32(0);
            res.opaque(nullptr, 0);
        }
        begin_reply(out, call.xid, Accept::Success);
        out.bytes().insert(out.bytes().end(), res.bytes().begin(), res.bytes().end());
        return true;
    }
    switch (call.proc) {
    case kDeviceWrite: {
        std::uint32_t size = 0;
        if (link) error = device_write(*link, in, size);
        if (gone_) return false;
        res.u32(error);
        res.u32(size);
        break;
    }
    case kDeviceRead:
        if (!link) {
            res.u32(error);
            res.u32(0);
            res.u32(0);
        } else if (!device_read(*link, in, res)) {
            return false;
        }
        break;
    case kDeviceReadstb: {
        std::uint32_t stb = 0;
        std::uint32_t io_timeout = 0;
        if (link) {
            std::uint32_t flags = in.u32(), lock_timeout = in.u32();
            io_timeout = in.u32();
            error = await_lock(*link, flags, lock_timeout);
        }
        if (link && !error) {
            // MAV must not depend on how fast the session works: let it take
            // what was written first (while it works, up to io_timeout).
            const std::uint64_t gen = link->aborts.load();
            const auto until = deadline_after(io_timeout);
            while (!idle(*link) && wait(*link, gen, until, 0) == Wait::Ready) {
            }
            if (gone_) return false;
            pull(*link, 0);
            // The serial poll takes RQS away, as IEEE 488.2 has it.
            const unsigned now = link->vi->inst->state->stb.fetch_and(~0x40u);
            stb = (now & ~0x10u) | (link->pending.empty() ? 0 : 0x10u);
        }
        res.u32(error);
        res.u32(stb);
        break;
    }
    case kDeviceTrigger:
        if (link) error = generic_lock(*link, in);
        if (link && !error) vi_.inst->state->triggers.fetch_add(1);
        res.u32(error);
        break;
    case kDeviceClear:
        // Pending output and partial input go with the old session.
        if (link) error = generic_lock(*link, in);
        if (link && !error) {
            vi_.inst->state->clears.fetch_add(1);
            if (!start_session(*link)) error = kErrOutOfResources;
        }
        res.u32(error);
        break;
    case kDeviceRemote:
    case kDeviceLocal:
        if (link) error = generic_lock(*link, in);
        if (link && !error) vi_.inst->state->remote.store(call.proc == kDeviceRemote);
        res.u32(error);
        break;
    case kDeviceLock: {
        std::uint32_t flags = in.u32(), lock_timeout = in.u32();
        if (link) error = lock(*link, flags, lock_timeout);
        res.u32(error);
        break;
    }
    case kDeviceUnlock:
        if (link) {
            std::lock_guard<std::mutex> guard(g_links_mutex);
            auto it = g_lock_owner.find(&vi_);
            if (it != g_lock_owner.end() && it->second == id)
                g_lock_owner.erase(it);
            else
                error = kErrNoLockHeld;
        }
        res.u32(error);
        break;
    case kDeviceEnableSrq: {
        const bool on = in.boolean();
        const std::string handle = in.opaque(kMaxHandle);
        if (link && (!in.ok() || (on && handle.empty()))) {
            // Some instruments crash on an empty handle; this one refuses it.
            error = kErrParameter;
            log_line("[vxi-11 %s] device_enable_srq on link %u refused: %s", vi_.inst->addr.c_str(), id,
                     in.ok() ? "empty handle" : "malformed arguments");
        } else if (link) {
            intr_.enable(id, on, handle);
        }
        res.u32(error);
        break;
    }
    case kDeviceDocmd:
        res.u32(link ? kErrNotSupported : error);
        res.u32(0);  // empty data_out
        break;
    case kDestroyLink:
        if (link) destroy(id);
        res.u32(error);
        break;
    }
    if (gone_) return false;
    begin_reply(out, call.xid, Accept::Success);
    out.bytes().insert(out.bytes().end(), res.bytes().begin(), res.bytes().end());
    return true;
}

void CoreConnection::run() {
    // Clients that see maxRecvSize 0 or 2^32-1 may send larger writes than
    // the default size; anything up to the cap is taken.
    std::vector<std::uint8_t> rec;
    XdrOut out;  // kept, with its memory, from call to call
    while (read_record(fd_, kMaxRecordCap + 4096, rec)) {
        RpcCall call;
        if (!parse_call(rec.data(), rec.size(), call)) break;
        out.clear();
        if (!handle(call, out)) {
            if (gone_) break;
            continue;
        }
        if (split_reply_ && out.bytes().size() > 8) {
            // A reply that straddles the client's deadline.
            split_reply_ = false;
            const std::vector<std::uint8_t>& b = out.bytes();
            const std::vector<std::uint8_t> head(b.begin(), b.end() - 8), tail(b.end() - 8, b.end());
            if (!write_record(fd_, head, RecordStyle{0, false})) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            if (!write_record(fd_, tail, RecordStyle{0, true})) break;
            continue;
        }
        if (!write_record(fd_, out.bytes(), RecordStyle{vi_.faults.frag, true})) break;
    }
}

void serve_abort(int fd, const Vxi11Instrument& vi) {
    std::vector<std::uint8_t> rec;
    while (read_record(fd, 4096, rec)) {
        RpcCall call;
        if (!parse_call(rec.data(), rec.size(), call)) break;
        XdrOut out;
        if (!call.rpc_v2) {
            denied_reply(out, call.xid);
        } else if (call.prog != kVxiAbortProg) {
            begin_reply(out, call.xid, Accept::ProgUnavail);
        } else if (call.vers != 1) {
            mismatch_reply(out, call.xid, 1, 1);
        } else if (call.proc == 0) {
            begin_reply(out, call.xid, Accept::Success);
        } else if (call.proc == 1) {  // device_abort
            XdrIn in(call.args, call.args_len);
            std::uint32_t id = in.u32();
            std::shared_ptr<Link> link;
            {
                std::lock_guard<std::mutex> lock(g_links_mutex);
                auto it = g_links.find(id);
                if (it != g_links.end() && it->second->vi == &vi) link = it->second;
            }
            if (link) {
                link->aborts.fetch_add(1);
                vi.inst->state->aborts.fetch_add(1);
                std::uint64_t one = 1;
                ssize_t w = ::write(link->abort_fd, &one, sizeof one);
                (void)w;
            }
            begin_reply(out, call.xid, Accept::Success);
            out.u32(link ? kErrNone : kErrInvalidLink);
        } else {
            begin_reply(out, call.xid, Accept::ProcUnavail);
        }
        if (!write_record(fd, out.bytes(), RecordStyle{vi.faults.frag, true})) break;
    }
}

void serve_portmap_tcp(int fd, const Vxi11Instrument& vi, unsigned core_port) {
    std::vector<std::uint8_t> rec, reply;
    while (read_record(fd, 64 * 1024, rec)) {
        if (!portmap_answer(rec.data(), rec.size(), core_port, false, reply)) break;
        if (!write_record(fd, reply, RecordStyle{vi.faults.frag, !vi.faults.pmap_nolast})) break;
    }
}

struct ConnStart {
    int fd;
    const Vxi11Instrument* vi;
    int kind;
    unsigned core_port, abort_port;
};

void* connection_main(void* arg) {
    std::unique_ptr<ConnStart> start(static_cast<ConnStart*>(arg));
    const int fd = start->fd;
    if (start->kind == 0) {
        CoreConnection c(fd, *start->vi, start->abort_port);
        c.run();
    } else if (start->kind == 1) {
        serve_abort(fd, *start->vi);
    } else {
        serve_portmap_tcp(fd, *start->vi, start->core_port);
    }
    unregister_connection(fd);
    ::close(fd);
    start.reset();
    session_thread_done();
    return nullptr;
}

int open_socket(in_addr addr, unsigned port, bool udp) {
    int fd = ::socket(AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr = addr;
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &addr, text, sizeof text);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || (!udp && ::listen(fd, SOMAXCONN) != 0)) {
        log_line("cannot bind %s %s:%u for VXI-11: %s (or use --no-vxi11)", udp ? "UDP" : "TCP", text, port,
                 std::strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

// `count` copies of a GETPORT reply naming port 1, each from an address of
// its own (127.77.x.y: all of 127/8 is the loopback's), as a hostile host
// on the LAN could send them.
void send_forged(std::vector<std::uint8_t> reply, sockaddr_in to, std::uint32_t count) {
    if (reply.size() < 4) return;
    reply[reply.size() - 4] = reply[reply.size() - 3] = reply[reply.size() - 2] = 0;
    reply[reply.size() - 1] = 1;
    for (std::uint32_t i = 0; i < count; ++i) {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(0x7F4D0000u | ((i / 250) << 8) | (i % 250 + 1));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0)
            ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        ::close(fd);
    }
}

}  // namespace

bool apply_vxi11_fault(Vxi11Faults& f, const std::string& fault) {
    std::uint64_t v = 0;
    if (fault == "pmap-nolast") f.pmap_nolast = true;
    else if (fault == "noanswer") f.no_answer = true;
    else if (fault == "close-drops") f.close_drops = true;
    else if (fault == "nocontrols") f.no_controls = true;
    else if (fault == "nolockwait") f.no_lock_wait = true;
    else if (fault == "nointr") f.no_intr = true;
    else if (fault == "lid0") f.lid0 = true;
    else if (fault_number(fault, "frag=", 1u << 20, v) && v > 0) f.frag = static_cast<std::size_t>(v);
    else if (fault_number(fault, "maxrecv=", 0xFFFFFFFFull, v)) f.max_recv = static_cast<std::uint32_t>(v);
    else if (fault_number(fault, "refuse=", 0xFFFFFFFFull, v) && v > 0) f.refuse = static_cast<std::uint32_t>(v);
    else if (fault_number(fault, "slow=", 3600000, v)) f.slow_ms = static_cast<std::uint32_t>(v);
    else if (fault == "mute") f.mute = true;
    else if (fault_number(fault, "error=", 0xFFFFFFFFull, v) && v > 0) f.error = static_cast<std::uint32_t>(v);
    else if (fault_number(fault, "late=", 3600000, v) && v > 0) f.late_ms = static_cast<std::uint32_t>(v);
    else if (fault_number(fault, "pmap-delay=", 60000, v)) f.pmap_delay_ms = static_cast<std::uint32_t>(v);
    else if (fault_number(fault, "forge=", 4096, v)) f.forge = static_cast<std::uint32_t>(v);
    else return false;
    return true;
}

bool Vxi11Server::open(std::vector<Vxi11Instrument> instruments, unsigned core_port, unsigned abort_port,
                       bool portmap) {
    insts_ = std::move(instruments);
    core_port_ = core_port;
    abort_port_ = abort_port;
    auto add = [&](in_addr a, unsigned port, std::size_t inst, Listener::Kind kind) {
        int fd = open_socket(a, port, kind == Listener::PmapUdp);
        if (fd < 0) return false;
        listeners_.push_back({fd, inst, kind});
        return true;
    };
    bool ok = true;
    if (portmap) {
        in_addr any{};
        any.s_addr = htonl(INADDR_ANY);
        ok = add(any, kPmapPort, SIZE_MAX, Listener::PmapUdp);
    }
    for (std::size_t k = 0; ok && k < insts_.size(); ++k) {
        ok = add(insts_[k].addr, core_port, k, Listener::Core) && add(insts_[k].addr, abort_port, k, Listener::Abort);
        if (ok && portmap)
            ok = add(insts_[k].addr, kPmapPort, k, Listener::PmapTcp) && add(insts_[k].addr, kPmapPort, k, Listener::PmapUdp);
    }
    // rpcbind answers version 3 and 4 queries (libtirpc clients such as
    // liblxi ask those) with its own address, 127.0.0.1, not the one asked:
    // a host that registers with it serves on all its addresses.
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    if (ok && !portmap && !insts_.empty() && insts_[0].addr.s_addr != loopback.s_addr)
        ok = add(loopback, core_port, 0, Listener::Core) && add(loopback, abort_port, 0, Listener::Abort);
    if (!ok) close_all();
    return ok;
}

void Vxi11Server::add_pollfds(std::vector<pollfd>& out) const {
    for (const Listener& l : listeners_) out.push_back({l.fd, POLLIN, 0});
}

void Vxi11Server::close_all() {
    for (const Listener& l : listeners_) ::close(l.fd);
    listeners_.clear();
}

void Vxi11Server::on_readable(int fd, const void* thread_attr) {
    auto it = std::find_if(listeners_.begin(), listeners_.end(), [&](const Listener& l) { return l.fd == fd; });
    if (it == listeners_.end()) return;
    const Listener l = *it;
    if (l.kind == Listener::PmapUdp) {
        answer_udp(l);
        return;
    }
    // Bounded, so a flood cannot keep the main loop from its other sockets.
    for (int i = 0; i < 64; ++i) {
        int c = ::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR) continue;
            return;
        }
        int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        register_connection(c);
        int kind = l.kind == Listener::Core ? 0 : l.kind == Listener::Abort ? 1 : 2;
        auto* start = new ConnStart{c, &insts_[l.inst], kind, core_port_, abort_port_};
        pthread_t tid;
        int rc = pthread_create(&tid, static_cast<const pthread_attr_t*>(thread_attr), connection_main, start);
        if (rc != 0) {
            log_line("vxi-11: cannot start a connection thread: %s", std::strerror(rc));
            delete start;
            unregister_connection(c);
            ::close(c);
            session_thread_done();
            return;
        }
    }
}

void Vxi11Server::answer_udp(const Listener& l) {
    std::size_t first = 0, last = insts_.size();
    if (l.inst != SIZE_MAX) {
        first = l.inst;
        last = first + 1;
    }
    for (int i = 0; i < 64; ++i) {
        std::uint8_t buf[9000];
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ssize_t n = ::recvfrom(l.fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &flen);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        std::vector<std::uint8_t> reply;
        if (!portmap_answer(buf, static_cast<std::size_t>(n), core_port_, true, reply)) continue;
        // Each instrument answers from its own socket, so the requester sees
        // its address as the source (as the LAN search responder does).
        for (std::size_t k = first; k < last; ++k) {
            auto own = std::find_if(listeners_.begin(), listeners_.end(), [&](const Listener& o) {
                return o.inst == k && o.kind == Listener::PmapUdp;
            });
            if (own == listeners_.end()) continue;
            const Vxi11Faults& f = insts_[k].faults;
            if (f.forge != 0 || f.pmap_delay_ms != 0) {
                // Off the main loop: forged replies first, the true one late.
                std::thread([fd = own->fd, reply, from, f] {
                    send_forged(reply, from, f.forge);
                    std::this_thread::sleep_for(std::chrono::milliseconds(f.pmap_delay_ms));
                    ::sendto(fd, reply.data(), reply.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&from),
                             sizeof from);
                }).detach();
                continue;
            }
            if (::sendto(own->fd, reply.data(), reply.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                         sizeof from) < 0)
                log_line("portmapper: reply from %s failed: %s", insts_[k].inst->addr.c_str(), std::strerror(errno));
        }
    }
}

}  // namespace vxsim
