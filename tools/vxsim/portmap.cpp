// Portmapper answers and rpcbind registration (see portmap.h).
#include "portmap.h"

#include "rpc.h"
#include "session.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vxsim {

namespace {
enum : std::uint32_t { kNull = 0, kSet = 1, kUnset = 2, kGetport = 3, kDump = 4, kCallit = 5 };
}

bool portmap_answer(const std::uint8_t* msg, std::size_t len, unsigned core_port, bool udp,
                    std::vector<std::uint8_t>& reply) {
    RpcCall call;
    if (!parse_call(msg, len, call)) return false;
    XdrOut out;
    if (!call.rpc_v2) {
        denied_reply(out, call.xid);
    } else if (call.prog != kPmapProg) {
        begin_reply(out, call.xid, Accept::ProgUnavail);
    } else if (call.vers != kPmapVers) {
        // rpcbind clients (versions 3 and 4) fall back to version 2 on this.
        mismatch_reply(out, call.xid, kPmapVers, kPmapVers);
    } else if (call.proc == kNull) {
        begin_reply(out, call.xid, Accept::Success);
    } else if (call.proc == kGetport || call.proc == kSet || call.proc == kUnset) {
        XdrIn in(call.args, call.args_len);
        std::uint32_t prog = in.u32(), vers = in.u32(), prot = in.u32();
        in.u32();  // port, unused by GETPORT
        if (!in.ok()) {
            begin_reply(out, call.xid, Accept::GarbageArgs);
        } else {
            begin_reply(out, call.xid, Accept::Success);
            std::uint32_t port = 0;
            if (call.proc != kGetport) {
                port = 0;  // FALSE: this portmapper keeps no registrations
            } else if (prog == kVxiCoreProg && vers == 1 && prot == kIpprotoTcp) {
                port = core_port;
            } else if (prog == kPmapProg && vers == kPmapVers && (prot == kIpprotoTcp || prot == kIpprotoUdp)) {
                port = kPmapPort;
            }
            out.u32(port);
        }
    } else if (call.proc == kDump) {
        begin_reply(out, call.xid, Accept::Success);
        const std::uint32_t maps[3][4] = {{kPmapProg, kPmapVers, kIpprotoTcp, kPmapPort},
                                          {kPmapProg, kPmapVers, kIpprotoUdp, kPmapPort},
                                          {kVxiCoreProg, 1, kIpprotoTcp, core_port}};
        for (const auto& m : maps) {
            out.u32(1);
            for (std::uint32_t v : m) out.u32(v);
        }
        out.u32(0);
    } else if (call.proc == kCallit && udp) {
        return false;
    } else {
        begin_reply(out, call.xid, Accept::ProcUnavail);
    }
    reply = std::move(out.bytes());
    return true;
}

namespace {

// rpcbind takes SET and UNSET only from a reserved port on the loopback.
int reserved_udp_socket() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (unsigned port = 1023; port >= 600; --port) {
        sa.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return fd;
    }
    ::close(fd);
    return -1;
}

// One call with up to three tries of a second each; the boolean result.
bool call_bool(int fd, std::uint32_t proc, unsigned core_port, bool& answer) {
    static std::uint32_t xid = 0x56580000;
    XdrOut out;
    const std::uint32_t this_xid = ++xid;
    const std::uint32_t head[] = {this_xid, 0, 2, kPmapProg, kPmapVers, proc, 0, 0, 0, 0,
                                  kVxiCoreProg, 1, kIpprotoTcp, core_port};
    for (std::uint32_t v : head) out.u32(v);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(kPmapPort));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::sendto(fd, out.bytes().data(), out.bytes().size(), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof to) < 0) {
            log_line("portmapper on 127.0.0.1:111: send failed: %s", std::strerror(errno));
            return false;
        }
        for (int reads = 0; reads < 16; ++reads) {
            pollfd p = {fd, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) break;
            std::uint8_t buf[512];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n < 0) {
                log_line("portmapper on 127.0.0.1:111: %s", std::strerror(errno));
                return false;
            }
            XdrIn in(buf, static_cast<std::size_t>(n));
            if (in.u32() != this_xid || in.u32() != 1) continue;
            bool accepted = in.u32() == 0;
            in.u32();
            in.skip_opaque(400);
            if (!accepted || in.u32() != 0 || !in.ok()) {
                log_line("portmapper on 127.0.0.1:111 refused the call");
                return false;
            }
            answer = in.boolean();
            return in.ok();
        }
    }
    log_line("portmapper on 127.0.0.1:111 does not answer (is rpcbind running?)");
    return false;
}

}  // namespace

bool portmap_register(unsigned core_port, bool set) {
    int fd = reserved_udp_socket();
    if (fd < 0) {
        log_line("cannot bind a reserved UDP port to talk to the portmapper: %s", std::strerror(errno));
        return false;
    }
    bool answer = false;
    // An earlier run's registration would make SET fail; UNSET may say false.
    bool ok = call_bool(fd, kUnset, core_port, answer);
    if (ok && set) {
        ok = call_bool(fd, kSet, core_port, answer);
        if (ok && !answer) {
            log_line("the portmapper on 127.0.0.1:111 declined to register port %u", core_port);
            ok = false;
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace vxsim
