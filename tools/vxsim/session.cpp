// Connection handling and the command set of the simulator.
#include "session.h"

#include "pattern.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <charconv>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vxsim {

Settings g_settings;
std::atomic<std::uint64_t> g_lan_requests{0};

// ---------------------------------------------------------------- logging

static void vlog_line(const char* prefix, const char* fmt, va_list ap) {
    char line[1024];
    int n = std::snprintf(line, sizeof line, "vxsim: %s", prefix);
    if (n < 0) return;
    int m = std::vsnprintf(line + n, sizeof line - static_cast<size_t>(n), fmt, ap);
    if (m < 0) return;
    size_t len = static_cast<size_t>(n) + static_cast<size_t>(m);
    if (len > sizeof line - 2) len = sizeof line - 2;  // truncated
    line[len++] = '\n';
    // One write per line keeps concurrent sessions' lines whole.
    ssize_t w = ::write(2, line, len);
    (void)w;
}

void log_line(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vlog_line("", fmt, ap);
    va_end(ap);
}

bool fault_number(const std::string& fault, const char* prefix, std::uint64_t max, std::uint64_t& out) {
    const std::size_t n = std::strlen(prefix);
    if (fault.compare(0, n, prefix) != 0 || fault.size() == n) return false;
    std::uint64_t v = 0;
    for (std::size_t i = n; i < fault.size(); ++i) {
        if (fault[i] < '0' || fault[i] > '9') return false;
        const std::uint64_t d = static_cast<std::uint64_t>(fault[i] - '0');
        if (v > (max - d) / 10) return false;  // beyond max, checked before it could wrap
        v = v * 10 + d;
    }
    out = v;
    return true;
}

// Printable rendering of client bytes for log lines.
static std::string printable(std::string_view s, size_t max_in = 80) {
    std::string out;
    size_t n = s.size() < max_in ? s.size() : max_in;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        }
    }
    if (s.size() > n) out += "...";
    return out;
}

// ---------------------------------------------------------------- stream buffer

static std::vector<std::uint8_t>& stream_buffer() {
    static std::vector<std::uint8_t> buf = [] {
        std::vector<std::uint8_t> b(kStreamChunk + kPatternPeriod);
        pattern_fill(0, b.data(), b.size());
        return b;
    }();
    return buf;
}

void prepare_stream_buffer() { (void)stream_buffer(); }

const std::uint8_t* stream_at(std::uint64_t pos) { return stream_buffer().data() + pos % kPatternPeriod; }

// ---------------------------------------------------------------- registry

namespace {
std::mutex g_reg_mutex;
std::condition_variable g_reg_cv;
std::set<int> g_reg_fds;
std::size_t g_reg_threads = 0;
bool g_reg_stopping = false;
}  // namespace

void register_connection(int fd) {
    std::lock_guard<std::mutex> lock(g_reg_mutex);
    g_reg_fds.insert(fd);
    ++g_reg_threads;
}

// Must happen before the fd is closed, so shutdown_all never hits a reused fd.
// Returns true if the simulator is shutting down (for the close log line).
static bool unregister_fd(int fd) {
    std::lock_guard<std::mutex> lock(g_reg_mutex);
    g_reg_fds.erase(fd);
    return g_reg_stopping;
}

void unregister_connection(int fd) { (void)unregister_fd(fd); }

void session_thread_done() {
    std::lock_guard<std::mutex> lock(g_reg_mutex);
    --g_reg_threads;
    g_reg_cv.notify_all();
}

void shutdown_all_connections() {
    std::lock_guard<std::mutex> lock(g_reg_mutex);
    g_reg_stopping = true;
    // Wakes every blocked recv/send/poll in the session threads.
    for (int fd : g_reg_fds) ::shutdown(fd, SHUT_RDWR);
}

bool wait_for_sessions(int timeout_ms) {
    std::unique_lock<std::mutex> lock(g_reg_mutex);
    return g_reg_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [] { return g_reg_threads == 0; });
}

std::size_t active_sessions() {
    std::lock_guard<std::mutex> lock(g_reg_mutex);
    return g_reg_threads;
}

// ---------------------------------------------------------------- hooked sessions

SessionHook::SessionHook() { idle.wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

SessionHook::~SessionHook() {
    if (idle.wake_fd >= 0) ::close(idle.wake_fd);
}

void drain_eventfd(int fd) {
    std::uint64_t v;
    while (::read(fd, &v, sizeof v) > 0) {
    }
}

namespace {

struct HookedStart {
    int fd;
    Instrument inst;
    std::uint64_t id;
    std::string peer;
    std::shared_ptr<SessionHook> hook;
};

void* hooked_main(void* arg) {
    std::unique_ptr<HookedStart> start(static_cast<HookedStart*>(arg));
    {
        Session s(start->fd, start->inst, start->id, start->peer);
        if (start->hook) s.set_idle_hook(&start->hook->idle);
        s.run();
    }
    start.reset();
    session_thread_done();
    return nullptr;
}

}  // namespace

void release_hooked_session(HookedSession& hs) {
    if (hs.hook) {
        std::lock_guard<std::mutex> lock(hs.hook->bulk.mutex);
        hs.hook->bulk.cancelled = true;
        hs.hook->bulk.cv.notify_all();
    }
    if (hs.fd >= 0) ::close(hs.fd);
    hs.fd = -1;
}

bool start_session_thread(int fd, const Instrument& inst, std::uint64_t id, const std::string& peer,
                          std::shared_ptr<SessionHook> hook) {
    register_connection(fd);
    auto* start = new HookedStart{fd, inst, id, peer, std::move(hook)};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 512 * 1024);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, hooked_main, start);
    pthread_attr_destroy(&attr);
    if (rc == 0) return true;
    log_line("%s: cannot start a session thread: %s", peer.c_str(), std::strerror(rc));
    delete start;
    { Session s(fd, inst, 0, std::string()); }
    session_thread_done();
    return false;
}

bool start_hooked_session(HookedSession& hs, const Instrument& inst, std::uint64_t id, const std::string& peer,
                          bool bulk) {
    release_hooked_session(hs);
    auto hook = std::make_shared<SessionHook>();
    if (bulk) hook->idle.bulk = &hook->bulk;
    int pair[2];
    if (hook->idle.wake_fd < 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        log_line("%s: cannot make a session's socket pair: %s", peer.c_str(), std::strerror(errno));
        return false;
    }
    if (!start_session_thread(pair[1], inst, id, peer, hook)) {
        ::close(pair[0]);
        return false;
    }
    ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
    hs.fd = pair[0];
    hs.hook = std::move(hook);
    return true;
}

// ---------------------------------------------------------------- session

static constexpr std::size_t kBufSize = 256 * 1024;
static_assert(kBufSize > Session::kMaxLine + 2, "a whole line must fit the buffer");

Session::Session(int fd, const Instrument& inst, std::uint64_t id, std::string peer)
    : fd_(fd), inst_(inst), id_(id), peer_(std::move(peer)), buf_(new char[kBufSize]) {
    if (!inst_.state) inst_.state = std::make_shared<InstrumentState>();
}

Session::~Session() {
    finish();
    delete[] buf_;
}

void Session::note(const char* fmt, ...) {
    if (g_settings.quiet) return;
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "[#%llu %s] ", static_cast<unsigned long long>(id_),
                  inst_.addr.c_str());
    va_list ap;
    va_start(ap, fmt);
    vlog_line(prefix, fmt, ap);
    va_end(ap);
}

void Session::finish() {
    if (fd_ >= 0) {
        if (unregister_fd(fd_)) end_reason_ = "simulator exiting";
        ::close(fd_);
        fd_ = -1;
    }
}

void Session::run() {
    note("open from %s", peer_.c_str());
    std::string line;
    for (;;) {
        Input in = next_input(line);
        if (in == Input::End) break;
        Next r = Next::Continue;
        if (in == Input::Upload) {
            r = run_upload();
        } else if (!line.empty()) {
            r = dispatch(line);
        }
        if (r == Next::End) break;
    }
    finish();
    note("closed: %s (received %llu, sent %llu bytes)", end_reason_.c_str(),
         static_cast<unsigned long long>(received_), static_cast<unsigned long long>(sent_));
}

bool Session::fill() {
    if (fd_ < 0) return false;
    if (head_ > 0) {
        std::memmove(buf_, buf_ + head_, tail_ - head_);
        tail_ -= head_;
        head_ = 0;
    }
    // Everything sent so far is in the peer's queue: tell the owner before
    // blocking (release order, so it sees the bytes after the flag).
    if (idle_hook_) {
        idle_hook_->idle_at.store(received_, std::memory_order_release);
        std::uint64_t one = 1;
        ssize_t w = ::write(idle_hook_->wake_fd, &one, sizeof one);
        (void)w;
    }
    for (;;) {
        ssize_t n = ::recv(fd_, buf_ + tail_, kBufSize - tail_, 0);
        if (idle_hook_) idle_hook_->idle_at.store(IdleHook::kNotIdle, std::memory_order_release);
        if (n > 0) {
            tail_ += static_cast<size_t>(n);
            received_ += static_cast<std::uint64_t>(n);
            return true;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        end_reason_ = std::string("receive failed: ") + std::strerror(errno);
        return false;
    }
}

int Session::upload_at_head() const {
    static constexpr char kWord[] = "UPLOAD";
    constexpr size_t kLen = sizeof kWord - 1;
    size_t avail = tail_ - head_;
    size_t n = avail < kLen ? avail : kLen;
    if (std::memcmp(buf_ + head_, kWord, n) != 0) return 0;
    if (avail <= kLen) return -1;
    // UPLOADARGS? and the like are ordinary commands: the word must end here.
    unsigned char c = static_cast<unsigned char>(buf_[head_ + kLen]);
    bool word_char = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '_' || c == '?';
    return word_char ? 0 : 1;
}

Session::Input Session::next_input(std::string& out) {
    for (;;) {
        // head_ is at the start of a line here unless an over-long one is
        // being discarded. An upload's data is not line-structured, so it
        // must be recognised before looking for an LF.
        if (!discarding_) {
            int up = upload_at_head();
            if (up > 0) return Input::Upload;
            if (up < 0) {
                if (!fill()) return Input::End;
                continue;
            }
        }
        if (tail_ > head_ + scanned_) {
            const char* from = buf_ + head_ + scanned_;
            const char* nl =
                static_cast<const char*>(std::memchr(from, '\n', tail_ - head_ - scanned_));
            if (nl) {
                size_t len = static_cast<size_t>(nl - (buf_ + head_));
                const char* start = buf_ + head_;
                head_ += len + 1;
                scanned_ = 0;
                consumed_ += len + 1;
                if (discarding_) {
                    discarding_ = false;
                    continue;
                }
                if (len > 0 && start[len - 1] == '\r') --len;
                if (len > kMaxLine) {
                    note("line of %zu bytes is longer than %zu: discarded", len, kMaxLine);
                    continue;
                }
                out.assign(start, len);
                return Input::Line;
            }
            scanned_ = tail_ - head_;
        }
        // No LF in what is buffered.
        if (discarding_) {
            consumed_ += tail_ - head_;
            head_ = tail_ = scanned_ = 0;
        } else if (tail_ - head_ > kMaxLine + 1) {
            note("line longer than %zu bytes: discarded up to the next LF", kMaxLine);
            discarding_ = true;
            consumed_ += tail_ - head_;
            head_ = tail_ = scanned_ = 0;
        }
        if (!fill()) return Input::End;
    }
}

bool Session::take_byte(char& c) {
    while (head_ == tail_) {
        head_ = tail_ = scanned_ = 0;
        if (!fill()) return false;
    }
    c = buf_[head_++];
    ++consumed_;
    scanned_ = 0;
    return true;
}

bool Session::discard_to_lf() {
    for (;;) {
        if (tail_ > head_) {
            const char* from = buf_ + head_;
            const char* nl = static_cast<const char*>(std::memchr(from, '\n', tail_ - head_));
            if (nl) {
                size_t len = static_cast<size_t>(nl - from) + 1;
                head_ += len;
                consumed_ += len;
                scanned_ = 0;
                return true;
            }
            consumed_ += tail_ - head_;
        }
        head_ = tail_ = scanned_ = 0;
        if (!fill()) return false;
    }
}

// UPLOAD<args>#<D><D digits><data>: the header is parsed byte by byte, the
// data goes through the checksum as it arrives (never held whole), and the
// bytes after it are command lines again.
Next Session::run_upload() {
    head_ += 6;  // "UPLOAD", checked by upload_at_head
    consumed_ += 6;
    scanned_ = 0;
    auto bad_header = [&](const char* why, char last) {
        note("UPLOAD: %s: replying ERR header", why);
        if (last != '\n' && !discard_to_lf()) return Next::End;
        return send_line("ERR header") ? Next::Continue : Next::End;
    };
    std::string args;
    char c = 0;
    for (;;) {
        if (!take_byte(c)) return Next::End;
        if (c == '#') break;
        if (c == '\n' || args.size() >= kMaxLine) {
            upload_args = args;
            return bad_header(c == '\n' ? "LF before the '#' of the header"
                                         : "no '#' in the first 64 KiB",
                              c);
        }
        args += c;
    }
    upload_args = args;
    if (!take_byte(c)) return Next::End;
    if (c < '1' || c > '9') return bad_header("length digit count is not 1..9", c);
    int digits = c - '0';
    std::uint64_t len = 0;
    for (int i = 0; i < digits; ++i) {
        if (!take_byte(c)) return Next::End;
        if (c < '0' || c > '9') return bad_header("non-digit in the length", c);
        len = len * 10 + static_cast<std::uint64_t>(c - '0');
    }
    Checksum sum;
    auto add = [](void* ctx, const std::uint8_t* p, std::size_t n) {
        static_cast<Checksum*>(ctx)->update(p, n);
    };
    if (!read_raw(len, add, &sum)) return Next::End;
    char reply[64];
    std::snprintf(reply, sizeof reply, "%llu,%016llx", static_cast<unsigned long long>(len),
                  static_cast<unsigned long long>(sum.value()));
    return send_line(reply) ? Next::Continue : Next::End;
}

bool Session::read_raw(std::uint64_t n,
                       void (*sink)(void* ctx, const std::uint8_t*, std::size_t), void* ctx) {
    while (n > 0) {
        if (tail_ > head_) {
            std::uint64_t avail = tail_ - head_;
            size_t take = static_cast<size_t>(avail < n ? avail : n);
            sink(ctx, reinterpret_cast<const std::uint8_t*>(buf_ + head_), take);
            head_ += take;
            consumed_ += take;
            n -= take;
            scanned_ = 0;
            continue;
        }
        head_ = tail_ = scanned_ = 0;
        if (n >= kBulkMin && idle_hook_ && idle_hook_->bulk) {
            int r = read_direct(n, sink, ctx);
            if (r < 0) return false;
            if (r > 0) continue;
        }
        if (!fill()) return false;
    }
    return true;
}

int Session::read_direct(std::uint64_t& n, void (*sink)(void*, const std::uint8_t*, std::size_t), void* ctx) {
    if (fd_ < 0) return -1;
    BulkHandoff& b = *idle_hook_->bulk;
    std::unique_lock<std::mutex> lock(b.mutex);
    b.kind = BulkHandoff::Kind::In;
    b.accepted = b.answered = false;
    b.at = received_;
    b.want = n;
    b.fed = 0;
    b.sink = sink;
    b.ctx = ctx;
    // Waiting for input, as in fill(): the owner may now pass its next message.
    idle_hook_->idle_at.store(received_, std::memory_order_release);
    std::uint64_t one = 1;
    ssize_t w = ::write(idle_hook_->wake_fd, &one, sizeof one);
    (void)w;
    if (!await_owner(b, lock)) {
        idle_hook_->idle_at.store(IdleHook::kNotIdle, std::memory_order_release);
        end_reason_ = "let go during a handoff";
        return -1;
    }
    // Refused when the pair still held bytes for us: they are read first.
    if (b.fed == 0) return 0;
    received_ += b.fed;
    consumed_ += b.fed;
    n -= b.fed;
    return 1;
}

bool Session::await_owner(BulkHandoff& b, std::unique_lock<std::mutex>& lock) {
    while (!b.answered) {
        if (b.cancelled) return false;
        b.cv.wait_for(lock, std::chrono::milliseconds(100));
        if (b.answered || b.cancelled) continue;
        // Shut down at exit: the owner's loop ends too, but do not count on it.
        pollfd p = {fd_, 0, 0};
        if (::poll(&p, 1, 0) > 0) return false;
    }
    b.kind = BulkHandoff::Kind::None;
    return true;
}

bool Session::send_pattern(std::uint64_t pos, std::uint64_t len) {
    BulkHandoff* b = idle_hook_ ? idle_hook_->bulk : nullptr;
    if (b == nullptr || len < kBulkMin) {
        while (len > 0) {
            const std::size_t n = len < kStreamChunk ? static_cast<std::size_t>(len) : kStreamChunk;
            if (!send_all(stream_at(pos), n)) return false;
            pos += n;
            len -= n;
        }
        return true;
    }
    if (fd_ < 0) return false;
    std::unique_lock<std::mutex> lock(b->mutex);
    // Everything sent before is in the pair: the owner takes the run once
    // it has read up to `at`, as much at a time as it has room for.
    b->kind = BulkHandoff::Kind::Out;
    b->answered = false;
    b->at = sent_;
    b->pos = pos;
    b->len = len;
    b->taken = 0;
    std::uint64_t one = 1;
    ssize_t w = ::write(idle_hook_->wake_fd, &one, sizeof one);
    (void)w;
    if (!await_owner(*b, lock)) {
        end_reason_ = "let go during a handoff";
        return false;
    }
    sent_ += len;
    return true;
}

void Session::drain_until_eof() {
    do {
        consumed_ += tail_ - head_;
        head_ = tail_ = scanned_ = 0;
    } while (fill());
}

bool Session::send_all(const void* data, std::size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        if (fd_ < 0) return false;
        ssize_t n = ::send(fd_, p, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            end_reason_ = std::string("send failed: ") + std::strerror(errno);
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
        sent_ += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool Session::send_line(std::string_view text) {
    std::string msg;
    msg.reserve(text.size() + 1);
    msg.append(text);
    msg += '\n';
    return send_all(msg.data(), msg.size());
}

bool Session::pause_ms(std::uint64_t ms) {
    if (ms == 0) return fd_ >= 0;
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (fd_ < 0) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now())
                        .count();
        if (left <= 0) return true;
        // No events requested: poll only reports HUP/ERR, i.e. a reset by the
        // client or our own shutdown at exit, and otherwise just times out.
        struct pollfd pfd = {fd_, 0, 0};
        int r = ::poll(&pfd, 1, left > 1000 ? 1000 : static_cast<int>(left) + 1);
        if (r > 0) {
            end_reason_ = "connection shut down during a pause";
            return false;
        }
    }
}

void Session::reset_now(const char* why) {
    if (fd_ < 0) return;
    unregister_fd(fd_);
    // A zero linger time makes close() abort the connection with RST.
    struct linger lg = {1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(fd_);
    fd_ = -1;
    end_reason_ = why;
}

void Session::close_now(const char* why) {
    if (fd_ < 0) return;
    unregister_fd(fd_);
    ::shutdown(fd_, SHUT_RDWR);
    // Unread input at close() would make the kernel send RST instead of a
    // plain FIN; take what has already arrived so the client sees EOF.
    char scratch[4096];
    for (int i = 0; i < 256; ++i) {
        ssize_t n = ::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n <= 0) break;
        received_ += static_cast<std::uint64_t>(n);
    }
    ::close(fd_);
    fd_ = -1;
    end_reason_ = why;
}

// ---------------------------------------------------------------- parsing helpers

namespace {

constexpr std::uint64_t kMaxPauseMs = 3600ull * 1000;  // an hour is plenty for any test
constexpr std::uint64_t kMaxStream = 1ull << 40;
constexpr int kMaxNesting = 16;

// Takes the next space-separated token. Leading spaces are skipped; exactly one
// space after the token is eaten, so `rest` can be used as verbatim text.
bool take_token(std::string_view& rest, std::string_view& tok) {
    size_t i = 0;
    while (i < rest.size() && rest[i] == ' ') ++i;
    rest.remove_prefix(i);
    if (rest.empty()) return false;
    size_t sp = rest.find(' ');
    if (sp == std::string_view::npos) {
        tok = rest;
        rest = std::string_view();
    } else {
        tok = rest.substr(0, sp);
        rest.remove_prefix(sp + 1);
    }
    return true;
}

// Reads a decimal number argument; notes and fails on anything odd.
bool take_number(Session& s, std::string_view& rest, const char* cmd, const char* what,
                 std::uint64_t min, std::uint64_t max, std::uint64_t& out) {
    std::string_view tok;
    if (!take_token(rest, tok)) {
        s.note("%s: missing <%s> (command ignored)", cmd, what);
        return false;
    }
    std::uint64_t v = 0;
    auto res = std::from_chars(tok.data(), tok.data() + tok.size(), v, 10);
    if (res.ec != std::errc() || res.ptr != tok.data() + tok.size() || v < min || v > max) {
        s.note("%s: bad <%s> '%s', expected %llu..%llu (command ignored)", cmd, what,
               printable(tok, 40).c_str(), static_cast<unsigned long long>(min),
               static_cast<unsigned long long>(max));
        return false;
    }
    out = v;
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool decode_hex(std::string_view hex, std::string& out) {
    if (hex.empty() || hex.size() % 2 != 0) return false;
    out.clear();
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hex_digit(hex[i]), lo = hex_digit(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

// ---------------------------------------------------------------- block replies

// Largest n per header form: def has one digit for the length of n, bin a
// 32-bit length that readers often take as signed.
constexpr std::uint64_t kMaxBlockDef = 999999999;
constexpr std::uint64_t kMaxBlockBin = 2147483647;
constexpr size_t kMaxBlockPauses = 64;
constexpr size_t kFragPiece = 64;
// frag: after every kFragNapEvery pieces (and after every piece that starts
// inside the header) the writer sleeps kFragNapUs, so the reader wakes up
// between pieces and really sees them apart.
constexpr unsigned kFragNapEvery = 32;
constexpr long kFragNapUs = 100;

void nap_us(long us) {
    struct timespec ts = {0, us * 1000};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Sends a block reply: header bytes, pattern data, the optional LF. Without
// frag, small parts are gathered into one send and big data goes straight
// out of the shared stream buffer. With frag, everything is cut into pieces
// of 1..64 bytes, each its own send: piece i (from 0) is
// 1 + splitmix64(seed + i) % 64 bytes, or 1 + splitmix64(seed + i) % 2 while
// it starts inside the header, so the header always arrives cut.
class BlockWriter {
public:
    BlockWriter(Session& s, bool frag, std::uint64_t seed, size_t header_len)
        : s_(s), frag_(frag), seed_(seed), header_len_(header_len) {
        if (!frag_) gather_.reserve(kGather);
    }

    bool bytes(const std::uint8_t* p, size_t len) {
        if (frag_) return frag_bytes(p, len, 0, false);
        gather_.insert(gather_.end(), p, p + len);
        return gather_.size() < kGather || flush();
    }

    bool pattern(std::uint64_t pos, std::uint64_t len) {
        if (frag_) return frag_bytes(nullptr, static_cast<size_t>(len), pos, true);
        if (!gather_.empty()) {
            size_t room = kGather - gather_.size();
            size_t take = len < room ? static_cast<size_t>(len) : room;
            size_t old = gather_.size();
            gather_.resize(old + take);
            pattern_fill(pos, gather_.data() + old, take);
            pos += take;
            len -= take;
            if (len == 0 && gather_.size() < kGather) return true;
            if (!flush()) return false;
        }
        return s_.send_pattern(pos, len);
    }

    // Sends whatever is gathered or the partial piece (before a pause, a
    // drop or at the end).
    bool flush() {
        if (frag_) {
            if (have_ == 0) return true;
            return send_piece();
        }
        if (gather_.empty()) return true;
        bool ok = s_.send_all(gather_.data(), gather_.size());
        gather_.clear();
        return ok;
    }

private:
    static constexpr size_t kGather = 64 * 1024;

    bool frag_bytes(const std::uint8_t* p, size_t len, std::uint64_t pos, bool from_pattern) {
        while (len > 0) {
            if (want_ == 0) {
                std::uint64_t r = detail::splitmix64(seed_ + index_++);
                want_ = 1 + static_cast<size_t>(r % (piece_start_ < header_len_ ? 2 : kFragPiece));
            }
            size_t take = want_ - have_;
            if (take > len) take = len;
            if (from_pattern) {
                pattern_fill(pos, piece_ + have_, take);
                pos += take;
            } else {
                std::memcpy(piece_ + have_, p, take);
                p += take;
            }
            have_ += take;
            len -= take;
            if (have_ == want_ && !send_piece()) return false;
        }
        return true;
    }

    bool send_piece() {
        bool in_header = piece_start_ < header_len_;
        if (!s_.send_all(piece_, have_)) return false;
        piece_start_ += have_;
        have_ = want_ = 0;
        if (in_header || ++pieces_ % kFragNapEvery == 0) nap_us(kFragNapUs);
        return true;
    }

    Session& s_;
    bool frag_;
    std::uint64_t seed_;
    size_t header_len_;
    std::vector<std::uint8_t> gather_;
    std::uint8_t piece_[kFragPiece];
    size_t have_ = 0, want_ = 0;
    std::uint64_t index_ = 0, pieces_ = 0, piece_start_ = 0;
};

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

bool parse_u64(std::string_view t, std::uint64_t max, std::uint64_t& out) {
    std::uint64_t v = 0;
    auto r = std::from_chars(t.data(), t.data() + t.size(), v, 10);
    if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size() || v > max) return false;
    out = v;
    return true;
}

// ---------------------------------------------------------------- commands

Next cmd_idn(Session& s, std::string_view) {
    return s.send_line(s.instrument().idn) ? Next::Continue : Next::End;
}

Next cmd_accept(Session&, std::string_view) { return Next::Continue; }

Next cmd_echo(Session& s, std::string_view args) {
    return s.send_line(args) ? Next::Continue : Next::End;
}

Next cmd_split(Session& s, std::string_view args) {
    std::uint64_t pieces = 0, pause = 0;
    if (!take_number(s, args, "SPLIT", "pieces", 1, 1000000, pieces)) return Next::Continue;
    if (!take_number(s, args, "SPLIT", "pauseMs", 0, kMaxPauseMs, pause)) return Next::Continue;
    std::string msg(args);
    msg += '\n';
    size_t total = msg.size();
    size_t p = pieces < total ? static_cast<size_t>(pieces) : total;
    size_t base = total / p, extra = total % p, off = 0;
    for (size_t i = 0; i < p; ++i) {
        size_t len = base + (i < extra ? 1 : 0);
        if (!s.send_all(msg.data() + off, len)) return Next::End;
        off += len;
        if (i + 1 < p && !s.pause_ms(pause)) return Next::End;
    }
    return Next::Continue;
}

Next cmd_hang(Session& s, std::string_view) {
    s.note("HANG: no more replies on this connection");
    s.drain_until_eof();
    return Next::End;
}

// The client's writes back up in the socket buffers until they block: a
// peer that has stopped reading.
Next cmd_deaf(Session& s, std::string_view args) {
    std::uint64_t pause = 0;
    if (!take_number(s, args, "DEAF", "ms", 0, kMaxPauseMs, pause)) return Next::Continue;
    s.note("DEAF: reading nothing for %llu ms", static_cast<unsigned long long>(pause));
    if (!s.pause_ms(pause)) return Next::End;
    s.drain_until_eof();
    return Next::End;
}

Next cmd_close(Session& s, std::string_view) {
    s.close_now("closed by CLOSE");
    return Next::End;
}

Next cmd_reset(Session& s, std::string_view) {
    s.reset_now("reset by RESET");
    return Next::End;
}

Next cmd_rawhex(Session& s, std::string_view args) {
    std::string_view tok;
    std::string bytes;
    if (!take_token(args, tok) || !decode_hex(tok, bytes)) {
        s.note("RAWHEX: needs an even number of hex digits (command ignored)");
        return Next::Continue;
    }
    return s.send_all(bytes.data(), bytes.size()) ? Next::Continue : Next::End;
}

Next cmd_chunks(Session& s, std::string_view args) {
    std::uint64_t pause = 0;
    if (!take_number(s, args, "CHUNKS", "pauseMs", 0, kMaxPauseMs, pause)) return Next::Continue;
    std::vector<std::string> chunks;
    std::string_view tok;
    while (take_token(args, tok)) {
        chunks.emplace_back();
        if (!decode_hex(tok, chunks.back())) {
            s.note("CHUNKS: group %zu is not an even number of hex digits (command ignored)",
                   chunks.size());
            return Next::Continue;
        }
    }
    if (chunks.empty()) {
        s.note("CHUNKS: no hex groups given (command ignored)");
        return Next::Continue;
    }
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (!s.send_all(chunks[i].data(), chunks[i].size())) return Next::End;
        if (i + 1 < chunks.size() && !s.pause_ms(pause)) return Next::End;
    }
    return Next::Continue;
}

Next cmd_stream(Session& s, std::string_view args) {
    std::uint64_t n = 0;
    if (!take_number(s, args, "STREAM?", "n", 0, kMaxStream, n)) return Next::Continue;
    return s.send_pattern(0, n) ? Next::Continue : Next::End;
}

Next cmd_streamcut(Session& s, std::string_view args) {
    std::uint64_t n = 0, cut = 0;
    if (!take_number(s, args, "STREAMCUT?", "n", 0, kMaxStream, n)) return Next::Continue;
    if (!take_number(s, args, "STREAMCUT?", "cutAt", 0, kMaxStream, cut)) return Next::Continue;
    if (!s.send_pattern(0, cut < n ? cut : n)) return Next::End;
    s.close_now("closed by STREAMCUT?");
    return Next::End;
}

Next cmd_sink(Session& s, std::string_view args) {
    std::uint64_t n = 0;
    if (!take_number(s, args, "SINK", "n", 0, kMaxStream, n)) return Next::Continue;
    Checksum sum;
    auto add = [](void* ctx, const std::uint8_t* p, std::size_t len) {
        static_cast<Checksum*>(ctx)->update(p, len);
    };
    if (!s.read_raw(n, add, &sum)) return Next::End;
    char reply[64];
    std::snprintf(reply, sizeof reply, "%llu,%016llx", static_cast<unsigned long long>(n),
                  static_cast<unsigned long long>(sum.value()));
    return s.send_line(reply) ? Next::Continue : Next::End;
}

Next cmd_count(Session& s, std::string_view) {
    return s.send_line(std::to_string(s.consumed())) ? Next::Continue : Next::End;
}

Next cmd_delay(Session& s, std::string_view args) {
    std::uint64_t ms = 0;
    if (!take_number(s, args, "DELAY", "ms", 0, kMaxPauseMs, ms)) return Next::Continue;
    while (!args.empty() && args.front() == ' ') args.remove_prefix(1);
    if (args.empty()) {
        s.note("DELAY: missing command (ignored)");
        return Next::Continue;
    }
    if (s.nesting >= kMaxNesting) {
        s.note("DELAY: nested more than %d deep (ignored)", kMaxNesting);
        return Next::Continue;
    }
    if (!s.pause_ms(ms)) return Next::End;
    ++s.nesting;
    Next r = s.dispatch(args);
    --s.nesting;
    return r;
}

Next cmd_block(Session& s, std::string_view args) {
    std::uint64_t n = 0;
    if (!take_number(s, args, "BLOCK?", "n", 0, UINT64_MAX, n)) return Next::Continue;
    bool bin = false, form_set = false, lf = false, binbad = false;
    bool has_drop = false, has_frag = false, has_mark = false, has_digit = false;
    std::uint64_t drop = 0, seed = 0;
    unsigned char mark = 0, digit = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pauses;  // (after k bytes, ms)
    std::string_view tok;
    auto bad = [&](const char* why) {
        s.note("BLOCK?: %s '%s' (command ignored)", why, printable(tok, 40).c_str());
        return Next::Continue;
    };
    while (take_token(args, tok)) {
        if (tok == "def" || tok == "bin") {
            if (form_set) return bad("second form");
            form_set = true;
            bin = tok == "bin";
        } else if (tok == "lf") {
            if (lf) return bad("repeated option");
            lf = true;
        } else if (tok == "binbad") {
            if (binbad) return bad("repeated option");
            binbad = true;
        } else if (starts_with(tok, "drop=")) {
            if (has_drop) return bad("repeated option");
            if (!parse_u64(tok.substr(5), kMaxStream, drop)) return bad("bad byte count in");
            has_drop = true;
        } else if (starts_with(tok, "pause=")) {
            std::string_view v = tok.substr(6);
            size_t colon = v.find(':');
            std::uint64_t k = 0, ms = 0;
            if (colon == std::string_view::npos || !parse_u64(v.substr(0, colon), kMaxStream, k) ||
                !parse_u64(v.substr(colon + 1), kMaxPauseMs, ms))
                return bad("expected pause=<k>:<ms> (ms <= 3600000), not");
            if (pauses.size() >= kMaxBlockPauses) return bad("more than 64 pauses at");
            pauses.emplace_back(k, ms);
        } else if (starts_with(tok, "frag=")) {
            if (has_frag) return bad("repeated option");
            if (!parse_u64(tok.substr(5), UINT64_MAX, seed)) return bad("bad seed in");
            has_frag = true;
        } else if (starts_with(tok, "mark=")) {
            if (has_mark) return bad("repeated option");
            std::string byte;
            if (tok.size() != 7 || !decode_hex(tok.substr(5), byte))
                return bad("expected mark=<two hex digits>, not");
            mark = static_cast<unsigned char>(byte[0]);
            has_mark = true;
        } else if (starts_with(tok, "digit=")) {
            if (has_digit) return bad("repeated option");
            if (tok.size() != 7) return bad("expected digit=<one character>, not");
            digit = static_cast<unsigned char>(tok[6]);
            has_digit = true;
        } else {
            return bad("unknown option");
        }
    }
    if (n > (bin ? kMaxBlockBin : kMaxBlockDef)) {
        s.note("BLOCK?: n %llu is more than the %s form allows (%llu) (command ignored)",
               static_cast<unsigned long long>(n), bin ? "bin" : "def",
               static_cast<unsigned long long>(bin ? kMaxBlockBin : kMaxBlockDef));
        return Next::Continue;
    }
    if (bin ? has_digit : binbad) {
        s.note("BLOCK?: %s (command ignored)",
               bin ? "digit= needs the def form" : "binbad needs the bin form");
        return Next::Continue;
    }

    std::uint8_t header[16];
    size_t hlen = 0;
    if (bin) {
        std::memset(header, 0, 4);
        for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<std::uint8_t>(n >> (8 * i));
        if (binbad) header[2] = 1;
        hlen = 8;
    } else {
        char digits[24];
        int nd = std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(n));
        header[0] = '#';
        header[1] = static_cast<std::uint8_t>('0' + nd);
        std::memcpy(header + 2, digits, static_cast<size_t>(nd));
        hlen = 2 + static_cast<size_t>(nd);
        if (has_digit) header[1] = digit;
    }
    if (has_mark) header[0] = mark;

    // Data offsets where something happens, in order; a pause and a drop at
    // the same offset: the pause comes first.
    std::stable_sort(pauses.begin(), pauses.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    ++s.blocks_started;
    BlockWriter w(s, has_frag, seed, hlen);
    if (!w.bytes(header, hlen)) return Next::End;
    std::uint64_t pos = 0;
    const std::uint64_t drop_at = has_drop ? (drop < n ? drop : n) : 0;
    for (const auto& p : pauses) {
        if (p.first > n) break;
        if (has_drop && p.first > drop_at) break;
        if (!w.pattern(pos, p.first - pos) || !w.flush()) return Next::End;
        pos = p.first;
        if (!s.pause_ms(p.second)) return Next::End;
    }
    if (has_drop) {
        if (!w.pattern(pos, drop_at - pos) || !w.flush()) return Next::End;
        s.close_now("closed by BLOCK? drop=");
        return Next::End;
    }
    if (!w.pattern(pos, n - pos)) return Next::End;
    if (lf) {
        const std::uint8_t nl = '\n';
        if (!w.bytes(&nl, 1)) return Next::End;
    }
    return w.flush() ? Next::Continue : Next::End;
}

Next cmd_blocksum(Session& s, std::string_view args) {
    std::uint64_t n = 0;
    if (!take_number(s, args, "BLOCKSUM?", "n", 0, kMaxBlockBin, n)) return Next::Continue;
    char reply[64];
    std::snprintf(reply, sizeof reply, "%llu,%016llx", static_cast<unsigned long long>(n),
                  static_cast<unsigned long long>(pattern_checksum(0, n)));
    return s.send_line(reply) ? Next::Continue : Next::End;
}

Next cmd_blockcount(Session& s, std::string_view) {
    return s.send_line(std::to_string(s.blocks_started)) ? Next::Continue : Next::End;
}

Next cmd_upload(Session& s, std::string_view) {
    // Only reached through DELAY: a line-start UPLOAD is taken by the reader.
    s.note("UPLOAD works only at the start of a line, not after DELAY (ignored)");
    return Next::Continue;
}

Next cmd_uploadargs(Session& s, std::string_view) {
    return s.send_line(s.upload_args) ? Next::Continue : Next::End;
}

Next cmd_lancount(Session& s, std::string_view) {
    return s.send_line(std::to_string(g_lan_requests.load())) ? Next::Continue : Next::End;
}

Next reply_number(Session& s, std::uint64_t v) {
    return s.send_line(std::to_string(v)) ? Next::Continue : Next::End;
}

// The IEEE 488.2 trigger command counts like a VXI-11 device_trigger.
Next cmd_trg(Session& s, std::string_view) {
    s.state().triggers.fetch_add(1);
    return Next::Continue;
}

Next cmd_stb_query(Session& s, std::string_view) { return reply_number(s, s.state().stb.load()); }

Next cmd_stb_set(Session& s, std::string_view args) {
    std::uint64_t v = 0;
    if (!take_number(s, args, "STB", "value", 0, 255, v)) return Next::Continue;
    s.state().stb.store(static_cast<unsigned>(v));
    return Next::Continue;
}

Next cmd_trigcount(Session& s, std::string_view) { return reply_number(s, s.state().triggers.load()); }
Next cmd_remote(Session& s, std::string_view) { return reply_number(s, s.state().remote.load() ? 1 : 0); }
Next cmd_clearcount(Session& s, std::string_view) { return reply_number(s, s.state().clears.load()); }
Next cmd_abortcount(Session& s, std::string_view) { return reply_number(s, s.state().aborts.load()); }
Next cmd_endcount(Session& s, std::string_view) { return reply_number(s, s.state().ends.load()); }

// A service request: RQS joins the status byte, and each route sends it
// (VXI-11 device_intr_srq, HiSLIP AsyncServiceRequest, the USB488
// notification on each open connection).
Next cmd_srq(Session& s, std::string_view) {
    s.state().request_service();
    return Next::Continue;
}

Next cmd_sre_set(Session& s, std::string_view args) {
    std::uint64_t v = 0;
    if (take_number(s, args, "*SRE", "value", 0, 255, v)) s.state().sre.store(static_cast<unsigned>(v) & ~0x40u);
    return Next::Continue;
}
Next cmd_sre_query(Session& s, std::string_view) { return reply_number(s, s.state().sre.load()); }

Next cmd_ese_set(Session& s, std::string_view args) {
    std::uint64_t v = 0;
    if (take_number(s, args, "*ESE", "value", 0, 255, v)) s.state().ese.store(static_cast<unsigned>(v));
    return Next::Continue;
}

// Reading the event status register empties it, and ESB leaves the status byte.
Next cmd_esr_query(Session& s, std::string_view) {
    const unsigned esr = s.state().esr.exchange(0);
    s.state().stb.fetch_and(~0x20u);
    return reply_number(s, esr);
}

// A measurement that ends after <ms>, on a thread of its own that keeps the
// instrument's state alive.
Next cmd_meas(Session& s, std::string_view args) {
    std::uint64_t ms = 0;
    if (!take_number(s, args, "MEAS", "ms", 0, kMaxPauseMs, ms)) return Next::Continue;
    std::thread([state = s.shared_state(), ms] {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        state->measurement_done();
    }).detach();
    return Next::Continue;
}

Next cmd_renstate(Session& s, std::string_view) {
    char reply[48];
    std::snprintf(reply, sizeof reply, "%d,%d,%d,%llu", s.state().ren.load() ? 1 : 0, s.state().remote.load() ? 1 : 0,
                  s.state().lockout.load() ? 1 : 0, static_cast<unsigned long long>(s.state().locals.load()));
    return s.send_line(reply) ? Next::Continue : Next::End;
}

const Command kCommands[] = {
    {"*IDN?", cmd_idn, "*IDN?", "identification line"},
    {"*RST", cmd_accept, "*RST", "accepted, no reply"},
    {"*CLS", cmd_accept, "*CLS", "accepted, no reply"},
    {"*TRG", cmd_trg, "*TRG", "count a trigger (as VXI-11 device_trigger does), no reply"},
    {"*STB?", cmd_stb_query, "*STB?", "the status byte set by STB, decimal"},
    {"STB", cmd_stb_set, "STB <n>", "set the status byte 0..255 (VXI-11 readstb adds MAV, 16)"},
    {"TRIGCOUNT?", cmd_trigcount, "TRIGCOUNT?", "triggers so far (*TRG and device_trigger)"},
    {"REMOTE?", cmd_remote, "REMOTE?", "1 after VXI-11 device_remote, 0 at start and after device_local"},
    {"CLEARCOUNT?", cmd_clearcount, "CLEARCOUNT?", "VXI-11 device_clear calls so far"},
    {"ABORTCOUNT?", cmd_abortcount, "ABORTCOUNT?", "VXI-11 device_abort calls so far"},
    {"ENDCOUNT?", cmd_endcount, "ENDCOUNT?",
     "messages ended by VXI-11 END, HiSLIP DataEnd or USBTMC EOM so far, this one included"},
    {"SRQ", cmd_srq, "SRQ", "request service now: RQS (64) joins the status byte and every route sends it"},
    {"*SRE", cmd_sre_set, "*SRE <n>", "service request enable: the status byte bits that request service"},
    {"*SRE?", cmd_sre_query, "*SRE?", "the service request enable, decimal"},
    {"*ESE", cmd_ese_set, "*ESE <n>", "event status enable: the event bits that set ESB (32)"},
    {"*ESR?", cmd_esr_query, "*ESR?", "the event status register, decimal; reading empties it and clears ESB"},
    {"MEAS", cmd_meas, "MEAS <ms>",
     "a measurement ending after <ms>: OPC (1) joins *ESR?; ESB (32) joins the status byte if *ESE has 1; "
     "service is requested if *SRE has 32"},
    {"RENSTATE?", cmd_renstate, "RENSTATE?", "USB488 <ren>,<remote>,<lockout> (each 0 or 1),<returns to local so far>"},
    {"ECHO", cmd_echo, "ECHO <text>", "reply <text> exactly"},
    {"SPLIT", cmd_split, "SPLIT <pieces> <pauseMs> <text>",
     "reply <text> in <pieces> sends, <pauseMs> apart"},
    {"HANG", cmd_hang, "HANG", "never reply again on this connection (input is still read)"},
    {"DEAF", cmd_deaf, "DEAF <ms>", "read nothing for ms, then discard input until the client closes"},
    {"CLOSE", cmd_close, "CLOSE", "close this connection at once"},
    {"RESET", cmd_reset, "RESET", "abort this connection at once (RST, no FIN)"},
    {"RAWHEX", cmd_rawhex, "RAWHEX <hex>", "send the decoded bytes in one send, nothing added"},
    {"CHUNKS", cmd_chunks, "CHUNKS <pauseMs> <hex>...",
     "send each decoded group in its own send, <pauseMs> apart"},
    {"STREAM?", cmd_stream, "STREAM? <n>", "send pattern bytes 0..n-1 (n <= 2^40), unframed"},
    {"STREAMCUT?", cmd_streamcut, "STREAMCUT? <n> <cutAt>",
     "like STREAM? but close after min(n, cutAt) bytes"},
    {"SINK", cmd_sink, "SINK <n>", "read n raw bytes, reply <n>,<fnv1a64 as 16 hex digits>"},
    {"COUNT?", cmd_count, "COUNT?", "bytes received so far, this line included"},
    {"DELAY", cmd_delay, "DELAY <ms> <command...>", "wait, then run the command"},
    {"BLOCK?", cmd_block, "BLOCK? <n> [def|bin] [options]",
     "pattern bytes 0..n-1 as a block (see below)"},
    {"BLOCKSUM?", cmd_blocksum, "BLOCKSUM? <n>", "reply <n>,<fnv1a64 of pattern bytes 0..n-1>"},
    {"BLOCKCOUNT?", cmd_blockcount, "BLOCKCOUNT?", "BLOCK? replies begun on this connection"},
    {"UPLOAD", cmd_upload, "UPLOAD<words><sep>#<D><len><data>",
     "take a definite-length block, reply <len>,<fnv1a64>"},
    {"UPLOADARGS?", cmd_uploadargs, "UPLOADARGS?",
     "text between UPLOAD and '#' of the last upload"},
    {"LANCOUNT?", cmd_lancount, "LANCOUNT?",
     "empty LAN search datagrams received (all instruments)"},
};

}  // namespace

const Command* command_table(std::size_t* count) {
    *count = sizeof kCommands / sizeof kCommands[0];
    return kCommands;
}

Next Session::dispatch(std::string_view line) {
    size_t sp = line.find(' ');
    std::string_view name = line.substr(0, sp);
    std::string_view args = sp == std::string_view::npos ? std::string_view() : line.substr(sp + 1);
    for (const Command& c : kCommands) {
        if (c.name == name) return c.run(*this, args);
    }
    note("unknown command '%s' (ignored)", printable(line).c_str());
    return Next::Continue;
}

void InstrumentState::request_service() {
    stb.fetch_or(0x40);
    {
        std::lock_guard<std::mutex> hold(srq_mutex_);
        srqs.fetch_add(1);
    }
    srq_cv_.notify_all();
}

std::uint64_t InstrumentState::wait_service(std::uint64_t seen, int ms) {
    std::unique_lock<std::mutex> hold(srq_mutex_);
    srq_cv_.wait_for(hold, std::chrono::milliseconds(ms < 0 ? 0 : ms), [&] { return srqs.load() > seen; });
    return srqs.load();
}

void InstrumentState::measurement_done() {
    esr.fetch_or(1);
    unsigned joined = 0;
    if (ese.load() & 1) {
        stb.fetch_or(0x20);
        joined = 0x20;
    }
    if (sre.load() & joined) request_service();
}

}  // namespace vxsim
