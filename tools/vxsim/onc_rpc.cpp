// ONC RPC messages and TCP record marking (see onc_rpc.h).
#include "onc_rpc.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>

namespace vxsim {

std::uint32_t XdrIn::u32() {
    if (!ok_ || left_ < 4) {
        ok_ = false;
        return 0;
    }
    std::uint32_t v = (std::uint32_t{p_[0]} << 24) | (std::uint32_t{p_[1]} << 16) |
                      (std::uint32_t{p_[2]} << 8) | p_[3];
    p_ += 4;
    left_ -= 4;
    return v;
}

std::string XdrIn::opaque(std::size_t max) {
    std::uint32_t n = u32();
    std::size_t padded = (static_cast<std::size_t>(n) + 3) & ~std::size_t{3};
    if (!ok_ || n > max || padded > left_) {
        ok_ = false;
        return std::string();
    }
    std::string s(reinterpret_cast<const char*>(p_), n);
    p_ += padded;
    left_ -= padded;
    return s;
}

void XdrOut::u32(std::uint32_t v) {
    std::uint8_t b[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                         static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    b_.insert(b_.end(), b, b + 4);
}

void XdrOut::opaque(const void* data, std::size_t len) {
    u32(static_cast<std::uint32_t>(len));
    const auto* p = static_cast<const std::uint8_t*>(data);
    b_.insert(b_.end(), p, p + len);
    b_.resize(b_.size() + ((4 - len % 4) % 4), 0);
}

bool parse_call(const std::uint8_t* msg, std::size_t len, RpcCall& out) {
    XdrIn in(msg, len);
    out.xid = in.u32();
    if (in.u32() != 0 || !in.ok()) return false;  // msg_type CALL
    out.rpc_v2 = in.u32() == 2;
    out.prog = in.u32();
    out.vers = in.u32();
    out.proc = in.u32();
    // Credential and verifier: flavour and body, at most 400 bytes each.
    in.u32();
    in.skip_opaque(400);
    in.u32();
    in.skip_opaque(400);
    if (!in.ok()) return false;
    out.args_len = in.left();
    out.args = msg + (len - out.args_len);
    return true;
}

namespace {
void reply_head(XdrOut& out, std::uint32_t xid, std::uint32_t reply_stat) {
    out.u32(xid);
    out.u32(1);  // REPLY
    out.u32(reply_stat);
}
}  // namespace

void begin_reply(XdrOut& out, std::uint32_t xid, Accept status) {
    reply_head(out, xid, 0);  // MSG_ACCEPTED
    out.u32(0);               // verifier AUTH_NONE, empty
    out.u32(0);
    out.u32(static_cast<std::uint32_t>(status));
}

void mismatch_reply(XdrOut& out, std::uint32_t xid, std::uint32_t low, std::uint32_t high) {
    begin_reply(out, xid, Accept::ProgMismatch);
    out.u32(low);
    out.u32(high);
}

void denied_reply(XdrOut& out, std::uint32_t xid) {
    reply_head(out, xid, 1);  // MSG_DENIED
    out.u32(0);               // RPC_MISMATCH
    out.u32(2);
    out.u32(2);
}

namespace {
bool recv_all(int fd, void* buf, std::size_t n) {
    auto* p = static_cast<std::uint8_t*>(buf);
    while (n > 0) {
        ssize_t k = ::recv(fd, p, n, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

bool send_all(int fd, const std::uint8_t* p, std::size_t n, int flags) {
    while (n > 0) {
        ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL | flags);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}
}  // namespace

bool read_record(int fd, std::size_t max, std::vector<std::uint8_t>& out) {
    out.clear();
    // Bounded: a record of empty fragments must still end.
    for (int fragments = 0; fragments < 65536; ++fragments) {
        std::uint8_t mark[4];
        if (!recv_all(fd, mark, 4)) return false;
        std::uint32_t h = (std::uint32_t{mark[0]} << 24) | (std::uint32_t{mark[1]} << 16) |
                          (std::uint32_t{mark[2]} << 8) | mark[3];
        std::size_t n = h & 0x7FFFFFFFu;
        if (n > max - out.size()) return false;
        std::size_t at = out.size();
        out.resize(at + n);
        if (n > 0 && !recv_all(fd, out.data() + at, n)) return false;
        if (h & 0x80000000u) return true;
    }
    return false;
}

bool write_record(int fd, const std::vector<std::uint8_t>& msg, RecordStyle style) {
    std::size_t frag = style.frag == 0 ? msg.size() : style.frag;
    std::size_t at = 0;
    do {
        std::size_t n = msg.size() - at < frag ? msg.size() - at : frag;
        bool last = at + n == msg.size();
        std::uint32_t h = static_cast<std::uint32_t>(n) | (last && style.last_bit ? 0x80000000u : 0);
        const std::uint8_t mark[4] = {static_cast<std::uint8_t>(h >> 24), static_cast<std::uint8_t>(h >> 16),
                                      static_cast<std::uint8_t>(h >> 8), static_cast<std::uint8_t>(h)};
        // The mark and its fragment leave together (MSG_MORE), without
        // copying the fragment behind the mark.
        if (!send_all(fd, mark, sizeof mark, n > 0 ? MSG_MORE : 0)) return false;
        if (n > 0 && !send_all(fd, msg.data() + at, n, 0)) return false;
        at += n;
    } while (at < msg.size());
    return true;
}

}  // namespace vxsim
