// Connection handling and the command set of the simulator.
#include "session.h"

#include "pattern.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <charconv>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vxsim {

Settings g_settings;

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

// ---------------------------------------------------------------- session

static constexpr std::size_t kBufSize = 256 * 1024;
static_assert(kBufSize > Session::kMaxLine + 2, "a whole line must fit the buffer");

Session::Session(int fd, const Instrument& inst, std::uint64_t id, std::string peer)
    : fd_(fd), inst_(inst), id_(id), peer_(std::move(peer)), buf_(new char[kBufSize]) {}

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
    while (next_line(line)) {
        if (line.empty()) continue;
        if (dispatch(line) == Next::End) break;
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
    for (;;) {
        ssize_t n = ::recv(fd_, buf_ + tail_, kBufSize - tail_, 0);
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

bool Session::next_line(std::string& out) {
    for (;;) {
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
                return true;
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
        if (!fill()) return false;
    }
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
        if (!fill()) return false;
    }
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

// Sends pattern positions 0..n-1 straight out of the shared buffer.
bool send_pattern(Session& s, std::uint64_t n) {
    const std::uint8_t* base = stream_buffer().data();
    std::uint64_t pos = 0;
    while (pos < n) {
        std::uint64_t left = n - pos;
        size_t len = left < kStreamChunk ? static_cast<size_t>(left) : kStreamChunk;
        if (!s.send_all(base + pos % kPatternPeriod, len)) return false;
        pos += len;
    }
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

Next cmd_close(Session& s, std::string_view) {
    s.close_now("closed by CLOSE");
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
    return send_pattern(s, n) ? Next::Continue : Next::End;
}

Next cmd_streamcut(Session& s, std::string_view args) {
    std::uint64_t n = 0, cut = 0;
    if (!take_number(s, args, "STREAMCUT?", "n", 0, kMaxStream, n)) return Next::Continue;
    if (!take_number(s, args, "STREAMCUT?", "cutAt", 0, kMaxStream, cut)) return Next::Continue;
    if (!send_pattern(s, cut < n ? cut : n)) return Next::End;
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

const Command kCommands[] = {
    {"*IDN?", cmd_idn, "*IDN?", "identification line"},
    {"*RST", cmd_accept, "*RST", "accepted, no reply"},
    {"*CLS", cmd_accept, "*CLS", "accepted, no reply"},
    {"ECHO", cmd_echo, "ECHO <text>", "reply <text> exactly"},
    {"SPLIT", cmd_split, "SPLIT <pieces> <pauseMs> <text>",
     "reply <text> in <pieces> sends, <pauseMs> apart"},
    {"HANG", cmd_hang, "HANG", "never reply again on this connection (input is still read)"},
    {"CLOSE", cmd_close, "CLOSE", "close this connection at once"},
    {"RAWHEX", cmd_rawhex, "RAWHEX <hex>", "send the decoded bytes in one send, nothing added"},
    {"CHUNKS", cmd_chunks, "CHUNKS <pauseMs> <hex>...",
     "send each decoded group in its own send, <pauseMs> apart"},
    {"STREAM?", cmd_stream, "STREAM? <n>", "send pattern bytes 0..n-1 (n <= 2^40), unframed"},
    {"STREAMCUT?", cmd_streamcut, "STREAMCUT? <n> <cutAt>",
     "like STREAM? but close after min(n, cutAt) bytes"},
    {"SINK", cmd_sink, "SINK <n>", "read n raw bytes, reply <n>,<fnv1a64 as 16 hex digits>"},
    {"COUNT?", cmd_count, "COUNT?", "bytes received so far, this line included"},
    {"DELAY", cmd_delay, "DELAY <ms> <command...>", "wait, then run the command"},
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

}  // namespace vxsim
