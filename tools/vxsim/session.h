// One client connection of the simulator and the command table it runs.
#ifndef VXSIM_SESSION_H
#define VXSIM_SESSION_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace vxsim {

// What every link to one instrument shares (TCP, SOCKET and VXI-11 alike):
// the status byte, the trigger count, the remote state and counters.
struct InstrumentState {
    std::atomic<unsigned> stb{0};  // set by STB; MAV (bit 4) is added per VXI-11 link
    std::atomic<std::uint64_t> triggers{0};
    std::atomic<std::uint64_t> clears{0};  // VXI-11 device_clear calls
    std::atomic<std::uint64_t> aborts{0};  // VXI-11 device_abort calls that found their link
    std::atomic<std::uint64_t> ends{0};    // messages ended by VXI-11 END or HiSLIP DataEnd
    std::atomic<bool> remote{false};
    // USB488: REN asserted by REN_CONTROL, LOCAL_LOCKOUT in force; service
    // requests asked for by SRQ (each USB connection sends one per request).
    std::atomic<bool> ren{false};
    std::atomic<bool> lockout{false};
    std::atomic<std::uint64_t> locals{0};  // USB488: returns from remote to local
    std::atomic<std::uint64_t> srqs{0};

    // IEEE 488.2 status: *SRE's enable, *ESE's enable and the event status
    // register (operation complete, bit 0, set when a MEAS ends).
    std::atomic<unsigned> sre{0}, ese{0}, esr{0};
    // The instrument requests service: RQS (64) joins the status byte, srqs
    // counts it, and the routes waiting in wait_service wake up. Each route
    // keeps how many it has sent.
    void request_service();
    // Waits up to ms for srqs to pass `seen`; returns srqs.
    std::uint64_t wait_service(std::uint64_t seen, int ms);
    // A MEAS that ended: OPC joins the event register, ESB the status byte
    // where *ESE enables OPC, and service is requested where *SRE enables
    // what joined.
    void measurement_done();

private:
    std::mutex srq_mutex_;
    std::condition_variable srq_cv_;
};

// One simulated instrument: a listening address and what it says it is.
struct Instrument {
    int index = 0;
    std::string addr;  // dotted quad, for logs
    std::string idn;   // *IDN? answer without the LF
    std::shared_ptr<InstrumentState> state;  // shared by the copies; made by Session if null
};

// Lets a session's owner see when the session has sent all it will send until
// more input comes: it is then waiting in its receive. `idle_at` holds the
// bytes received so far while it waits, kNotIdle while it works; each change
// to idle also writes 1 to the eventfd `wake_fd`.
struct BulkHandoff;
struct IdleHook {
    static constexpr std::uint64_t kNotIdle = ~std::uint64_t{0};
    std::atomic<std::uint64_t> idle_at{kNotIdle};
    int wake_fd = -1;
    BulkHandoff* bulk = nullptr;  // null: every byte goes through the connection
};

// Lets a session hand large transfers to an owner that frames its bytes
// itself (HiSLIP) without copying them through the socket pair: a run of
// pattern bytes the owner sends from the shared stream buffer (Out), or raw
// input the owner feeds straight into the session's sink (In). One request
// at a time, under `mutex`; the session waits on `cv` until the owner has
// taken or fed all of it, or lets the session go. The owner takes an Out run
// piece by piece as its queue has room, and counts its bytes as pulled from
// the session; while an In request is accepted it keeps `idle_at` (the
// session is waiting for input) and counts fed bytes as written.
struct BulkHandoff {
    enum class Kind { None, Out, In };
    std::mutex mutex;
    std::condition_variable cv;
    Kind kind = Kind::None;
    bool accepted = false;   // In: the owner feeds the sink
    bool answered = false;   // Out: all taken; In: finished, or refused (fed 0)
    bool cancelled = false;  // the owner has let the session go
    std::uint64_t at = 0;    // Out: bytes the session sent before the run; In: bytes it received
    std::uint64_t pos = 0, len = 0, taken = 0;  // Out: pattern positions pos..pos+len-1, bytes taken
    std::uint64_t want = 0, fed = 0;  // In: bytes asked, bytes handed to the sink
    void (*sink)(void* ctx, const std::uint8_t*, std::size_t) = nullptr;
    void* ctx = nullptr;
};
// Transfers smaller than this go through the connection: the handoff costs
// two thread switches.
inline constexpr std::size_t kBulkMin = 64 * 1024;

// What a session run for an owner shares with it (the wake-up eventfd and
// the handoff). Both the owner and the session thread hold it, so a session
// still ending after its owner has let it go never writes to a closed fd.
struct SessionHook {
    IdleHook idle;
    BulkHandoff bulk;
    SessionHook();
    ~SessionHook();
    SessionHook(const SessionHook&) = delete;
    SessionHook& operator=(const SessionHook&) = delete;
};

// A session on a thread of its own behind a socket pair, for an owner that
// frames its input and output (VXI-11 links, HiSLIP sessions).
struct HookedSession {
    int fd = -1;  // the owner's end of the pair, non-blocking
    std::shared_ptr<SessionHook> hook;
};
// Runs a Session on fd (its end of a socket pair) on a detached thread of its
// own, with the hook if one is given; the session owns fd. False after
// logging (fd is closed then).
bool start_session_thread(int fd, const Instrument& inst, std::uint64_t id, const std::string& peer,
                          std::shared_ptr<SessionHook> hook);
// Lets the old session (if any) go and starts a fresh one; with `bulk` it
// hands large transfers over through hook->bulk. False after logging.
bool start_hooked_session(HookedSession& hs, const Instrument& inst, std::uint64_t id, const std::string& peer,
                          bool bulk);
// Closes the owner's end and cancels a handoff the session waits on: the
// session sees its input end and finishes by itself.
void release_hooked_session(HookedSession& hs);
// Empties a non-blocking eventfd.
void drain_eventfd(int fd);

// Process-wide settings the sessions read (set once before any thread starts).
struct Settings {
    bool quiet = false;
};
extern Settings g_settings;

// Empty LAN search datagrams the UDP responder has received since start
// (written by the main thread, read by LANCOUNT?).
extern std::atomic<std::uint64_t> g_lan_requests;

// Writes "vxsim: <message>\n" to stderr in one write so lines from different
// threads do not interleave.
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A fault option's number: true with `out` set when `fault` is `prefix`
// followed by decimal digits whose value is at most `max`.
bool fault_number(const std::string& fault, const char* prefix, std::uint64_t max, std::uint64_t& out);

// Shared read-only buffer holding pattern positions 0..kStreamChunk+period-1,
// so any chunk of the stream is a pointer into it and needs no copy.
inline constexpr std::size_t kStreamChunk = 256 * 1024;
void prepare_stream_buffer();
// Pattern position pos in that buffer: kStreamChunk bytes from there are
// positions pos onwards.
const std::uint8_t* stream_at(std::uint64_t pos);

// Connections the main thread must be able to wake on shutdown.
// Call register_connection before starting the session thread.
void register_connection(int fd);
// For connections that are not sessions: call before closing the fd.
void unregister_connection(int fd);
void shutdown_all_connections();
// Waits until every registered session thread has finished; false on timeout.
bool wait_for_sessions(int timeout_ms);
// Called by a session thread as the very last thing it does.
void session_thread_done();
std::size_t active_sessions();

enum class Next { Continue, End };

class Session;

// A command handler gets the text after the command name and its single
// separating space ("" if none). Add a command by adding a row to the table
// in session.cpp.
struct Command {
    std::string_view name;
    Next (*run)(Session&, std::string_view args);
    const char* usage;
    const char* summary;
};
const Command* command_table(std::size_t* count);

class Session {
public:
    static constexpr std::size_t kMaxLine = 64 * 1024;

    Session(int fd, const Instrument& inst, std::uint64_t id, std::string peer);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Serves the connection until the client goes away or a command ends it.
    void run();

    // Must be set before run(); the hook must outlive the session.
    void set_idle_hook(IdleHook* hook) { idle_hook_ = hook; }

    // Executes one command line (no LF). Also used by DELAY.
    Next dispatch(std::string_view line);

    // ---- helpers for command handlers ----
    const Instrument& instrument() const { return inst_; }
    InstrumentState& state() { return *inst_.state; }
    std::shared_ptr<InstrumentState> shared_state() const { return inst_.state; }
    // Bytes taken from the connection so far by the line reader and raw reads.
    std::uint64_t consumed() const { return consumed_; }
    // Sends everything (one send call unless the kernel takes less); false if
    // the connection is gone.
    bool send_all(const void* data, std::size_t len);
    // Sends pattern positions pos..pos+len-1 from the shared stream buffer;
    // an owner with a handoff sends large runs from there itself.
    bool send_pattern(std::uint64_t pos, std::uint64_t len);
    bool send_line(std::string_view text);  // text + LF in one send
    // Sleeps, but returns false early if the connection is shut down.
    bool pause_ms(std::uint64_t ms);
    // Reads exactly n raw bytes (bytes already buffered come first) and hands
    // them to sink(ctx, data, len) piece by piece. False if the client went away.
    bool read_raw(std::uint64_t n, void (*sink)(void* ctx, const std::uint8_t*, std::size_t),
                  void* ctx);
    // Reads and discards everything until the client closes.
    void drain_until_eof();
    // Closes the connection now (FIN to the client); further sends fail.
    void close_now(const char* why);
    // Aborts the connection now (RST to the client, no FIN).
    void reset_now(const char* why);
    // Per-connection note on stderr (suppressed by --quiet).
    void note(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    int nesting = 0;                  // DELAY depth, to bound recursion
    std::uint64_t blocks_started = 0;  // BLOCK? replies begun (BLOCKCOUNT?)
    std::string upload_args;           // text between UPLOAD and '#' of the last upload

private:
    enum class Input { Line, Upload, End };
    // The next command line, or Upload when a line starts with the word
    // UPLOAD (its bytes are left in the buffer for run_upload).
    Input next_input(std::string& out);
    // 1: the buffer starts with the word UPLOAD, 0: it does not, -1: too few bytes to tell.
    int upload_at_head() const;
    Next run_upload();
    bool take_byte(char& c);  // one raw byte (buffered first); false on EOF
    bool discard_to_lf();     // drops input up to and including the next LF
    bool fill();  // recv more into the buffer; false on EOF or error
    // read_raw's handoff of n bytes to the owner: -1 gone, 0 nothing fed
    // (read the connection instead), 1 some fed (n and the counts updated).
    int read_direct(std::uint64_t& n, void (*sink)(void*, const std::uint8_t*, std::size_t), void* ctx);
    // Waits until the owner answers the posted request; false if it let go.
    bool await_owner(BulkHandoff& b, std::unique_lock<std::mutex>& lock);
    void finish();

    int fd_;
    Instrument inst_;
    std::uint64_t id_;
    std::string peer_;
    char* buf_;
    std::size_t head_ = 0, tail_ = 0;
    std::size_t scanned_ = 0;  // bytes of [head_, tail_) known to hold no LF
    bool discarding_ = false;  // inside an over-long line
    std::uint64_t consumed_ = 0;
    std::uint64_t received_ = 0;
    std::uint64_t sent_ = 0;
    std::string end_reason_ = "client closed";
    IdleHook* idle_hook_ = nullptr;
};

}  // namespace vxsim

#endif  // VXSIM_SESSION_H
