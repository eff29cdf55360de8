// ONC RPC for the simulator's VXI-11 and portmapper servers: XDR encoding
// (RFC 4506), call and reply headers (RFC 5531) and TCP record marking.
#ifndef VXSIM_ONC_RPC_H
#define VXSIM_ONC_RPC_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vxsim {

// Reads big-endian XDR items from a message; any read past the end (or a
// length beyond the limit given) sets ok() false and yields zeros.
class XdrIn {
public:
    XdrIn(const std::uint8_t* data, std::size_t len) : p_(data), left_(len) {}
    std::uint32_t u32();
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    bool boolean() { return u32() != 0; }
    // Variable-length opaque or string of at most max bytes, padding skipped.
    std::string opaque(std::size_t max);
    void skip_opaque(std::size_t max) { (void)opaque(max); }
    bool ok() const { return ok_; }
    std::size_t left() const { return left_; }

private:
    const std::uint8_t* p_;
    std::size_t left_;
    bool ok_ = true;
};

class XdrOut {
public:
    void u32(std::uint32_t v);
    void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
    void opaque(const void* data, std::size_t len);  // length, bytes, zero padding
    std::vector<std::uint8_t>& bytes() { return b_; }
    // Empties it, keeping the memory for the next reply: a 1 MiB reply in
    // fresh memory each time costs more in page faults than in copying.
    void clear() { b_.clear(); }

private:
    std::vector<std::uint8_t> b_;
};

inline constexpr std::uint32_t kPmapProg = 100000;
inline constexpr std::uint32_t kPmapVers = 2;
inline constexpr unsigned kPmapPort = 111;
inline constexpr std::uint32_t kIpprotoTcp = 6;
inline constexpr std::uint32_t kIpprotoUdp = 17;

// RFC 5531 accept_stat values.
enum class Accept : std::uint32_t { Success = 0, ProgUnavail = 1, ProgMismatch = 2, ProcUnavail = 3, GarbageArgs = 4 };

// The parts of a call message a server dispatches on; `args` is what follows
// the verifier.
struct RpcCall {
    std::uint32_t xid = 0, prog = 0, vers = 0, proc = 0;
    bool rpc_v2 = true;  // false: answer MSG_DENIED / RPC_MISMATCH
    const std::uint8_t* args = nullptr;
    std::size_t args_len = 0;
};
// False when the message is no call at all (too short, not a CALL).
bool parse_call(const std::uint8_t* msg, std::size_t len, RpcCall& out);

// Reply headers up to (and for Success including) the accept_stat; the
// procedure's results follow in the same XdrOut.
void begin_reply(XdrOut& out, std::uint32_t xid, Accept status);
// PROG_MISMATCH with the versions supported.
void mismatch_reply(XdrOut& out, std::uint32_t xid, std::uint32_t low, std::uint32_t high);
// MSG_DENIED / RPC_MISMATCH: the caller spoke another RPC version than 2.
void denied_reply(XdrOut& out, std::uint32_t xid);

// Reads one record (all its fragments) from a blocking TCP socket. False on
// EOF, error, or a record longer than max (then the connection is unusable).
bool read_record(int fd, std::size_t max, std::vector<std::uint8_t>& out);

// How replies go out on TCP: in fragments of at most `frag` bytes (0: one
// fragment), each its own send, and with the last-fragment bit or without.
struct RecordStyle {
    std::size_t frag = 0;
    bool last_bit = true;
};
bool write_record(int fd, const std::vector<std::uint8_t>& msg, RecordStyle style);

}  // namespace vxsim

#endif  // VXSIM_ONC_RPC_H
