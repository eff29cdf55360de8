// vxsim: simulated test instruments on raw TCP for the library's tests, demo
// and benchmark. Options, listeners, the accept loop and shutdown live here;
// the per-connection command set is in session.cpp.
#include "hislip.h"
#include "lan.h"
#include "session.h"
#include "usb.h"
#include "portmap.h"
#include "vxi11.h"
#include "vx_comm.h"  // VX_COMM_VERSION: one release number for the library and its tools

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <charconv>
#include <memory>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace vxsim;

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitRuntime = 1;
constexpr std::size_t kMaxConnections = 4096;
constexpr std::size_t kThreadStack = 512 * 1024;

struct Options {
    std::vector<std::string> addrs;
    std::vector<std::string> idns;
    std::vector<std::string> lan_sizes, lan_models, lan_serials;
    bool lan = true;
    std::string test_card;  // a veth besides lo, for instruments behind a second card
    unsigned port = 18;
    unsigned socket_port = 5025;  // a second raw SCPI port, as LAN instruments have; 0: none
    bool vxi11 = true;
    bool rpcbind = false;  // register with the system's portmapper instead of serving one
    unsigned core_port = kVxiCorePort, abort_port = kVxiAbortPort;
    // --vxi11-fault values with the --addr index they follow (-1: all instruments).
    std::vector<std::pair<int, std::string>> vxi11_faults;
    bool hislip = true;
    unsigned hislip_port = kHislipPort;
    std::vector<std::pair<int, std::string>> hislip_faults;  // as vxi11_faults
    std::string ready_file;
    std::uint64_t max_seconds = 0;
    bool quiet = false;
    std::vector<std::unique_ptr<UsbInstrument>> usb;
    unsigned usb_tcp_port = 0;
};

std::string usb_default_path(const std::string& serial, const std::string& ids) {
    return "\\\\?\\usb#" + ids + "#" + serial + "#{a9fdbb24-128a-11d5-9961-00108335e361}";
}

void add_usb(Options& o, const std::string& serial) {
    auto u = std::make_unique<UsbInstrument>();
    u->index = static_cast<int>(o.usb.size());
    u->serial = serial;
    u->path = usb_default_path(serial, "vid_03eb&pid_afff");
    char model[32];
    std::snprintf(model, sizeof model, "UM-%d", 200 + u->index);
    u->idn = std::string("Vextron AG,") + model + "," + serial + ",1.0";
    o.usb.push_back(std::move(u));
}

void print_help() {
    std::printf(
        "Usage: vxsim [options]\n"
        "Simulated test instruments on raw TCP, one per 127.0.0.x address.\n"
        "Runs only inside an isolated network namespace, e.g.\n"
        "  unshare -rn sh -c 'ip link set lo up; vxsim --addr 127.0.0.2'\n"
        "\n"
        "Options:\n"
        "  --addr A          add an instrument listening on A (127.0.0.0/8 only;\n"
        "                    repeatable; default 127.0.0.2). Instrument k (0-based)\n"
        "                    answers *IDN? with VXSIM,MODEL-<100+k>,SN<VX + 16 digits of k>,1.0\n"
        "  --idn TEXT        identification line of the k-th --addr (repeatable;\n"
        "                    an empty TEXT keeps the default)\n"
        "  --port N          TCP port of every instrument (default 18)\n"
        "  --socket-port N   a second raw SCPI port of every instrument (default 5025;\n"
        "                    0 = none)\n"
        "  --no-vxi11        no VXI-11 server (it is on by default)\n"
        "  --vxi11-core-port N, --vxi11-abort-port N\n"
        "                    VXI-11 core and abort channel ports (default 1024, 1025)\n"
        "  --vxi11-rpcbind   no portmapper of our own on port 111: register the core port\n"
        "                    with the portmapper (rpcbind) on 127.0.0.1:111 instead\n"
        "  --vxi11-fault F   a VXI-11 fault of the last --addr before it (of every\n"
        "                    instrument when none is before it; repeatable): frag=N,\n"
        "                    pmap-nolast, maxrecv=N, refuse=E, slow=MS, noanswer,\n"
        "                    close-drops, nocontrols, nolockwait, error=E, late=MS, mute,\n"
        "                    pmap-delay=MS, forge=N, nointr, lid0\n"
        "  --no-hislip       no HiSLIP server (it is on by default)\n"
        "  --hislip-port N   HiSLIP port (default 4880)\n"
        "  --hislip-fault F  a HiSLIP fault of the last --addr before it (of every\n"
        "                    instrument when none is before it; repeatable): slow=MS,\n"
        "                    interrupt, fatal, fatal=N, error, error=N, encrypt,\n"
        "                    sameid, overlap, maxmsg=N, stb-early, interrupted-late,\n"
        "                    flood, badlen=init|reply|over|error|stb, stb-late=MS\n"
        "  --no-lan          no LAN search responder (it is on by default)\n"
        "  --test-card NAME  the namespace may also hold the veth NAME, and --addr may\n"
        "                    also be in 198.18.0.0/15 (the benchmarking range): an\n"
        "                    instrument behind a second card of a test\n"
        "  --lan-size N      LAN reply length of the k-th --addr (repeatable): 0..512\n"
        "                    bytes (texts cut to fit, 0 = empty datagram) or -1 = does\n"
        "                    not answer; default 80\n"
        "  --lan-model TEXT  model text in the k-th --addr's LAN reply (repeatable;\n"
        "                    default: 2nd comma field of its identification line)\n"
        "  --lan-serial TEXT serial text in the k-th --addr's LAN reply (repeatable;\n"
        "                    default: 3rd field). For the --lan-* and --idn options an\n"
        "                    empty value keeps that instrument's default\n"
        "  --usb SERIAL      add a USB instrument on the USB bus (/run/vx_comm_lib/usb.sock;\n"
        "                    repeatable). USB instrument k answers *IDN? with\n"
        "                    Vextron AG,UM-<200+k>,<SERIAL>,1.0. The --usb-* options below\n"
        "                    apply to the last --usb\n"
        "  --usb-many N      add N USB instruments with serials VXUSB<13 digits of k>\n"
        "  --usb-idn TEXT    its identification line\n"
        "  --usb-ids TEXT    vendor and product part of its path (default vid_03eb&pid_afff)\n"
        "  --usb-path TEXT   its whole device path (replaces the default form)\n"
        "  --usb-fault F     a fault (repeatable): noanswer, badecho, zerofill,\n"
        "                    pending-forever, pending=N, empty=N, cut=N, slow=MS, vanish=N,\n"
        "                    latecancel=MS, stray, clearread\n"
        "  --usb-class VID:PID  make it another maker's USBTMC class device (hex ids):\n"
        "                    USB488 with trigger, REN and interrupt-IN 0x83, vendor\n"
        "                    messages ignored, a command run at the message with EOM\n"
        "  --usb-caps LIST   its capabilities (comma-separated): usbtmc (plain USBTMC,\n"
        "                    no USB488), usb488, notrigger, noren, nointr\n"
        "  --usb-quirk Q     a quirk of real devices (repeatable): rigol, noeom, nopad,\n"
        "                    iface=N, packet=64\n"
        "  --usb-tcp-port N  also serve the USB bus protocol on 127.0.0.1:N\n"
        "  --ready-file P    once all listeners are up, write \"<pid>\\n\" to P\n"
        "                    (via P.tmp + rename); removed again on clean exit\n"
        "  --max-seconds N   exit by itself after N seconds (default 0: never)\n"
        "  --quiet, -q       no per-connection log lines on stderr\n"
        "  --help, -h        this text\n"
        "  --version         print the version\n"
        "\n"
        "Exits 0 on SIGINT/SIGTERM or --max-seconds, 1 on runtime errors, 2 on usage errors.\n"
        "\n"
        "Commands (one per line, LF-terminated, CR before LF ignored, case-sensitive):\n");
    std::size_t n = 0;
    const Command* cmds = command_table(&n);
    for (std::size_t i = 0; i < n; ++i)
        std::printf("  %-34s %s\n", cmds[i].usage, cmds[i].summary);
    std::printf(
        "Unknown commands get no reply and a note on stderr.\n"
        "\n"
        "BLOCK? forms: def (default) = #<D><n><data>, bin = 00 00 00 00 <n as u32 LE><data>;\n"
        "n <= 999999999 (def) or 2147483647 (bin). Options, in any order:\n"
        "  lf              send an LF after the data\n"
        "  drop=<k>        close the connection after min(k, n) data bytes (no LF)\n"
        "  pause=<k>:<ms>  pause ms after k data bytes (repeatable, up to 64)\n"
        "  frag=<seed>     send everything in seeded pieces of 1..64 bytes, header too\n"
        "  mark=<hh>       first header byte replaced by byte 0x<hh>\n"
        "  digit=<c>       def: the digit-count character replaced by <c>\n"
        "  binbad          bin: third header byte 1 instead of 0\n"
        "UPLOAD: a line starting with the word UPLOAD is read raw: everything up to the\n"
        "first '#' (kept for UPLOADARGS?), one digit D 1..9, D length digits, then\n"
        "exactly that many data bytes, no LF after; reply <len>,<fnv1a64>, or ERR header\n"
        "(input then dropped up to the next LF). Command lines follow right after.\n"
        "\n"
        "LAN search: an empty UDP datagram to port 9998 (e.g. to 255.255.255.255) gets one\n"
        "reply per instrument from <its address>:9998: \"VXSIM-LAN\" zero-padded to 21\n"
        "bytes, the model NUL-terminated at 21, the serial at 51, zero-padded to 80 bytes.\n"
        "A unicast request to an instrument's address gets only its reply.\n");
}

[[noreturn]] void usage_error(const std::string& msg) {
    std::fprintf(stderr, "vxsim: %s (see --help)\n", msg.c_str());
    std::exit(kExitUsage);
}

bool parse_uint(const std::string& s, std::uint64_t max, std::uint64_t& out) {
    std::uint64_t v = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v, 10);
    if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size() || v > max) return false;
    out = v;
    return true;
}

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_inline = false;
        if (arg.rfind("--", 0) == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                has_inline = true;
            }
        }
        auto need_value = [&]() -> std::string {
            if (has_inline) return value;
            if (i + 1 >= argc) usage_error("option " + arg + " needs a value");
            return argv[++i];
        };
        auto no_value = [&]() {
            if (has_inline) usage_error("option " + arg + " takes no value");
        };
        if (arg == "--help" || arg == "-h") {
            no_value();
            print_help();
            std::exit(0);
        } else if (arg == "--version") {
            no_value();
            std::printf("vxsim %s\n", VX_COMM_VERSION);
            std::exit(0);
        } else if (arg == "--quiet" || arg == "-q") {
            no_value();
            o.quiet = true;
        } else if (arg == "--addr") {
            o.addrs.push_back(need_value());
        } else if (arg == "--idn") {
            std::string v = need_value();
            if (v.find('\n') != std::string::npos || v.find('\r') != std::string::npos)
                usage_error("--idn text must be a single line");
            o.idns.push_back(v);
        } else if (arg == "--test-card") {
            o.test_card = need_value();
            if (o.test_card.empty() || o.test_card.size() >= IFNAMSIZ || o.test_card == "lo")
                usage_error("--test-card needs the name of a veth interface");
        } else if (arg == "--no-lan") {
            no_value();
            o.lan = false;
        } else if (arg == "--lan-size") {
            std::string v = need_value();
            std::uint64_t n = 0;
            if (!v.empty() && v != "-1" && !parse_uint(v, kLanMaxSize, n))
                usage_error("--lan-size must be -1 or a number from 0 to 512, not '" + v + "'");
            o.lan_sizes.push_back(v);
        } else if (arg == "--lan-model" || arg == "--lan-serial") {
            std::string v = need_value();
            std::size_t at = arg == "--lan-model" ? kLanModelAt : kLanSerialAt;
            if (v.size() >= kLanMaxSize - at)
                usage_error(arg + " text must be shorter than " +
                            std::to_string(kLanMaxSize - at) + " bytes");
            (arg == "--lan-model" ? o.lan_models : o.lan_serials).push_back(v);
        } else if (arg == "--port") {
            std::string v = need_value();
            std::uint64_t p = 0;
            if (!parse_uint(v, 65535, p) || p == 0)
                usage_error("--port must be a number from 1 to 65535, not '" + v + "'");
            o.port = static_cast<unsigned>(p);
        } else if (arg == "--socket-port" || arg == "--vxi11-core-port" || arg == "--vxi11-abort-port") {
            std::string v = need_value();
            std::uint64_t p = 0;
            bool zero_ok = arg == "--socket-port";
            if (!parse_uint(v, 65535, p) || (p == 0 && !zero_ok))
                usage_error(arg + " must be a number from " + (zero_ok ? "0" : "1") + " to 65535, not '" + v + "'");
            (arg == "--socket-port" ? o.socket_port : arg == "--vxi11-core-port" ? o.core_port : o.abort_port) =
                static_cast<unsigned>(p);
        } else if (arg == "--no-vxi11") {
            no_value();
            o.vxi11 = false;
        } else if (arg == "--no-hislip") {
            no_value();
            o.hislip = false;
        } else if (arg == "--hislip-port") {
            std::string v = need_value();
            std::uint64_t p = 0;
            if (!parse_uint(v, 65535, p) || p == 0)
                usage_error("--hislip-port must be a number from 1 to 65535, not '" + v + "'");
            o.hislip_port = static_cast<unsigned>(p);
        } else if (arg == "--hislip-fault") {
            std::string v = need_value();
            HislipFaults probe;
            if (!apply_hislip_fault(probe, v)) usage_error("unknown --hislip-fault '" + v + "'");
            o.hislip_faults.emplace_back(static_cast<int>(o.addrs.size()) - 1, v);
        } else if (arg == "--vxi11-rpcbind") {
            no_value();
            o.rpcbind = true;
        } else if (arg == "--vxi11-fault") {
            std::string v = need_value();
            Vxi11Faults probe;
            if (!apply_vxi11_fault(probe, v)) usage_error("unknown --vxi11-fault '" + v + "'");
            o.vxi11_faults.emplace_back(static_cast<int>(o.addrs.size()) - 1, v);
        } else if (arg == "--usb") {
            add_usb(o, need_value());
        } else if (arg == "--usb-tcp-port") {
            std::string v = need_value();
            std::uint64_t p = 0;
            if (!parse_uint(v, 65535, p) || p == 0)
                usage_error("--usb-tcp-port must be a number from 1 to 65535, not '" + v + "'");
            o.usb_tcp_port = static_cast<unsigned>(p);
        } else if (arg == "--usb-many") {
            std::uint64_t n = 0;
            std::string v = need_value();
            if (!parse_uint(v, 4096, n)) usage_error("--usb-many must be a number up to 4096");
            for (std::uint64_t k = 0; k < n; ++k) {
                char serial[32];
                std::snprintf(serial, sizeof serial, "VXUSB%013zu", o.usb.size());
                add_usb(o, serial);
            }
        } else if (arg == "--usb-idn" || arg == "--usb-ids" || arg == "--usb-path" ||
                   arg == "--usb-fault") {
            std::string v = need_value();
            if (o.usb.empty()) usage_error(arg + " needs a --usb before it");
            UsbInstrument& u = *o.usb.back();
            if (arg == "--usb-idn") {
                if (v.find('\n') != std::string::npos) usage_error("--usb-idn text must be a single line");
                u.idn = v;
            } else if (arg == "--usb-ids") {
                u.path = usb_default_path(u.serial, v);
                unsigned vid = 0, pid = 0;
                if (std::sscanf(v.c_str(), "vid_%4x&pid_%4x", &vid, &pid) == 2) {
                    u.vendor = static_cast<std::uint16_t>(vid);
                    u.product = static_cast<std::uint16_t>(pid);
                }
            } else if (arg == "--usb-path") {
                u.path = v;
            } else if (!apply_usb_fault(u, v)) {
                usage_error("unknown --usb-fault '" + v + "'");
            }
        } else if (arg == "--usb-class" || arg == "--usb-caps" || arg == "--usb-quirk") {
            std::string v = need_value();
            if (o.usb.empty()) usage_error(arg + " needs a --usb before it");
            UsbInstrument& u = *o.usb.back();
            if (arg == "--usb-class") {
                unsigned vid = 0, pid = 0;
                char end = 0;
                if (v.size() != 9 || std::sscanf(v.c_str(), "%4x:%4x%c", &vid, &pid, &end) != 2)
                    usage_error("--usb-class takes VID:PID in hex (e.g. 1ab1:04ce), not '" + v + "'");
                make_usb_class_device(u, static_cast<std::uint16_t>(vid), static_cast<std::uint16_t>(pid));
            } else if (!u.class_device) {
                usage_error(arg + " needs --usb-class before it");
            } else if (arg == "--usb-caps" ? !apply_usb_caps(u, v) : !apply_usb_quirk(u, v)) {
                usage_error("unknown " + arg + " '" + v + "'");
            }
        } else if (arg == "--ready-file") {
            o.ready_file = need_value();
            if (o.ready_file.empty()) usage_error("--ready-file needs a path");
        } else if (arg == "--max-seconds") {
            std::string v = need_value();
            if (!parse_uint(v, 1000000000ull, o.max_seconds))
                usage_error("--max-seconds must be a number of seconds, not '" + v + "'");
        } else {
            usage_error("unknown argument '" + std::string(argv[i]) + "'");
        }
    }
    if (o.addrs.empty()) o.addrs.push_back("127.0.0.2");
    auto per_addr = [&](const std::vector<std::string>& v, const char* name) {
        if (v.size() > o.addrs.size())
            usage_error(std::string("more ") + name + " (" + std::to_string(v.size()) +
                        ") than --addr (" + std::to_string(o.addrs.size()) + ")");
    };
    per_addr(o.idns, "--idn");
    per_addr(o.lan_sizes, "--lan-size");
    per_addr(o.lan_models, "--lan-model");
    per_addr(o.lan_serials, "--lan-serial");
    if (o.vxi11 && o.core_port == o.abort_port) usage_error("the VXI-11 core and abort ports must differ");
    if (o.socket_port == o.port) o.socket_port = 0;
    return o;
}

// The simulator must never be reachable from outside this machine, nor even
// from the host's own interfaces: only an isolated namespace will do.
// A test's second card must be one end of a veth pair: its other end is on
// this machine, so nothing sent on it leaves.
bool is_veth(const char* name) {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    struct ethtool_drvinfo info;
    std::memset(&info, 0, sizeof info);
    info.cmd = ETHTOOL_GDRVINFO;
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    ifr.ifr_data = reinterpret_cast<char*>(&info);
    bool veth = ::ioctl(s, SIOCETHTOOL, &ifr) == 0 && std::strncmp(info.driver, "veth", sizeof info.driver) == 0;
    ::close(s);
    return veth;
}

bool only_loopback_exists(const std::string& test_card) {
    struct if_nameindex* list = if_nameindex();
    if (!list) return false;
    bool ok = true;
    for (struct if_nameindex* p = list; p->if_index != 0 || p->if_name != nullptr; ++p) {
        if (!p->if_name) {
            ok = false;
        } else if (std::strcmp(p->if_name, "lo") != 0) {
            if (test_card.empty() || test_card != p->if_name || !is_veth(p->if_name)) ok = false;
        }
    }
    if_freenameindex(list);
    return ok;
}

// A fresh namespace starts with lo down, where binds succeed but nothing can
// connect. Bringing it up here saves every caller the ip(8) step; it only
// touches our own private namespace.
void ensure_loopback_up() {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return;
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(s, SIOCGIFFLAGS, &ifr) == 0 && !(ifr.ifr_flags & IFF_UP)) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        if (::ioctl(s, SIOCSIFFLAGS, &ifr) != 0)
            log_line("warning: lo is down and cannot be brought up (%s); clients will not "
                     "connect (ip link set lo up)",
                     std::strerror(errno));
    }
    ::close(s);
}

void raise_fd_limit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

int open_listener(const in_addr& addr, const std::string& text, unsigned port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_line("cannot create socket: %s", std::strerror(errno));
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr = addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        int e = errno;
        log_line("cannot bind %s:%u: %s%s", text.c_str(), port, std::strerror(e),
                 e == EADDRNOTAVAIL ? " (is lo up? ip link set lo up)" : "");
        ::close(fd);
        return -1;
    }
    if (::listen(fd, SOMAXCONN) != 0) {
        log_line("cannot listen on %s:%u: %s", text.c_str(), port, std::strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

bool write_ready_file(const std::string& path) {
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        log_line("cannot write ready file %s: %s", tmp.c_str(), std::strerror(errno));
        return false;
    }
    std::string content = std::to_string(static_cast<long>(::getpid())) + "\n";
    bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ok = (::close(fd) == 0) && ok;
    // rename() makes the file appear complete or not at all for the waiter.
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        log_line("cannot write ready file %s: %s", path.c_str(), std::strerror(errno));
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

struct SessionStart {
    int fd;
    const Instrument* inst;
    std::uint64_t id;
    std::string peer;
};

void* session_main(void* arg) {
    std::unique_ptr<SessionStart> start(static_cast<SessionStart*>(arg));
    {
        Session s(start->fd, *start->inst, start->id, std::move(start->peer));
        s.run();
    }
    start.reset();
    session_thread_done();
    return nullptr;
}

std::string peer_name(const sockaddr_in& sa) {
    char ip[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(sa.sin_port));
}

// Accepts everything pending on one listener. Returns false if we ran out of
// descriptors or memory, so the caller can back off instead of spinning.
bool accept_pending(int lfd, const Instrument& inst, std::uint64_t& next_id,
                    const pthread_attr_t* attr) {
    for (;;) {
        sockaddr_in peer{};
        socklen_t plen = sizeof peer;
        int fd = ::accept4(lfd, reinterpret_cast<sockaddr*>(&peer), &plen, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            log_line("accept on %s failed: %s", inst.addr.c_str(), std::strerror(errno));
            return false;
        }
        if (active_sessions() >= kMaxConnections) {
            log_line("more than %zu connections: refusing %s", kMaxConnections,
                     peer_name(peer).c_str());
            ::close(fd);
            continue;
        }
        int one = 1;
        // Replies are small and latency matters; SPLIT/CHUNKS rely on each
        // send leaving as its own segment.
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        register_connection(fd);
        auto* start = new SessionStart{fd, &inst, next_id++, peer_name(peer)};
        pthread_t tid;
        int rc = pthread_create(&tid, attr, session_main, start);
        if (rc != 0) {
            log_line("cannot start a thread for %s: %s", start->peer.c_str(), std::strerror(rc));
            delete start;
            // Run the normal teardown so the registry stays consistent.
            { Session s(fd, inst, 0, std::string()); }
            session_thread_done();
            return false;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options opt = parse_options(argc, argv);

    std::vector<Instrument> instruments;
    std::vector<in_addr> addrs;
    for (size_t k = 0; k < opt.addrs.size(); ++k) {
        const std::string& a = opt.addrs[k];
        in_addr ia{};
        if (::inet_pton(AF_INET, a.c_str(), &ia) != 1)
            usage_error("--addr '" + a + "' is not an IPv4 address");
        const bool bench_range = (ntohl(ia.s_addr) >> 17) == (0xC6120000u >> 17);
        if ((ntohl(ia.s_addr) >> 24) != 127 && !(bench_range && !opt.test_card.empty())) {
            std::fprintf(stderr,
                         "vxsim: refusing --addr %s: only loopback addresses in 127.0.0.0/8 "
                         "are allowed (and 198.18.0.0/15 with --test-card)\n",
                         a.c_str());
            return kExitUsage;
        }
        for (const in_addr& prev : addrs)
            if (prev.s_addr == ia.s_addr) usage_error("--addr " + a + " given twice");
        addrs.push_back(ia);

        Instrument inst;
        inst.index = static_cast<int>(k);
        inst.state = std::make_shared<InstrumentState>();
        char text[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &ia, text, sizeof text);
        inst.addr = text;
        // An empty --idn keeps the default, so later instruments can be
        // overridden alone.
        if (k < opt.idns.size() && !opt.idns[k].empty()) {
            inst.idn = opt.idns[k];
        } else {
            char idn[96];
            std::snprintf(idn, sizeof idn, "VXSIM,MODEL-%zu,SNVX%016zu,1.0", 100 + k, k);
            inst.idn = idn;
        }
        instruments.push_back(inst);
    }

    // What each instrument answers to a LAN search.
    std::vector<LanInstrument> lan;
    for (size_t k = 0; k < instruments.size(); ++k) {
        auto pick = [&](const std::vector<std::string>& v) -> const std::string* {
            return k < v.size() && !v[k].empty() ? &v[k] : nullptr;
        };
        // Comma fields of the identification line: maker, model, serial, version.
        std::vector<std::string> fields(1);
        for (char c : instruments[k].idn) {
            if (c == ',')
                fields.emplace_back();
            else
                fields.back() += c;
        }
        fields.resize(fields.size() < 3 ? 3 : fields.size());
        const std::string* m = pick(opt.lan_models);
        const std::string* sn = pick(opt.lan_serials);
        const std::string* sz = pick(opt.lan_sizes);
        LanInstrument li;
        li.addr = addrs[k];
        li.text = instruments[k].addr;
        int size = kLanDefaultSize;
        if (sz) size = *sz == "-1" ? -1 : std::atoi(sz->c_str());
        li.answers = size >= 0;
        if (li.answers)
            li.reply = lan_reply(m ? *m : fields[1], sn ? *sn : fields[2],
                                 static_cast<std::size_t>(size));
        lan.push_back(std::move(li));
    }

    if (!only_loopback_exists(opt.test_card)) {
        std::fprintf(stderr,
                     "vxsim: refusing to run outside an isolated network namespace (only lo may "
                     "exist); run it under unshare -rn\n");
        return kExitUsage;
    }

    g_settings.quiet = opt.quiet;

    // Session threads inherit this mask; only the main thread takes signals,
    // through the signalfd.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    int sfd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
    if (sfd < 0) {
        log_line("signalfd failed: %s", std::strerror(errno));
        return kExitRuntime;
    }
    // Clients vanish mid-reply all the time in tests; that must not kill us.
    std::signal(SIGPIPE, SIG_IGN);

    ensure_loopback_up();
    raise_fd_limit();
    prepare_stream_buffer();

    // Raw SCPI on --port and on --socket-port; listener_inst[i] is the
    // instrument of listeners[i].
    std::vector<int> listeners;
    std::vector<size_t> listener_inst;
    for (unsigned port : {opt.port, opt.socket_port}) {
        if (port == 0) continue;
        for (size_t k = 0; k < instruments.size(); ++k) {
            int fd = open_listener(addrs[k], instruments[k].addr, port);
            if (fd < 0) {
                for (int l : listeners) ::close(l);
                return kExitRuntime;
            }
            listeners.push_back(fd);
            listener_inst.push_back(k);
        }
    }
    LanResponder responder;
    if (opt.lan && !responder.open(lan)) {
        for (int l : listeners) ::close(l);
        return kExitRuntime;
    }
    Vxi11Server vxi11;
    if (opt.vxi11) {
        std::vector<Vxi11Instrument> vis;
        for (size_t k = 0; k < instruments.size(); ++k) {
            Vxi11Instrument vi;
            vi.inst = &instruments[k];
            vi.addr = addrs[k];
            for (const auto& f : opt.vxi11_faults)
                if (f.first < 0 || static_cast<size_t>(f.first) == k) apply_vxi11_fault(vi.faults, f.second);
            vis.push_back(vi);
        }
        if (!vxi11.open(std::move(vis), opt.core_port, opt.abort_port, !opt.rpcbind) ||
            (opt.rpcbind && !portmap_register(opt.core_port, true))) {
            for (int l : listeners) ::close(l);
            return kExitRuntime;
        }
    }
    HislipServer hislip;
    if (opt.hislip) {
        std::vector<HislipInstrument> his;
        for (size_t k = 0; k < instruments.size(); ++k) {
            HislipInstrument hi;
            hi.inst = &instruments[k];
            hi.addr = addrs[k];
            for (const auto& f : opt.hislip_faults)
                if (f.first < 0 || static_cast<size_t>(f.first) == k) apply_hislip_fault(hi.faults, f.second);
            his.push_back(hi);
        }
        if (!hislip.open(std::move(his), opt.hislip_port)) {
            for (int l : listeners) ::close(l);
            return kExitRuntime;
        }
    }
    // The bus socket lives under /run: only a private /run (the namespace
    // wrapper's) may get one, never the machine's own.
    UsbBus bus;
    if (!opt.usb.empty()) {
        if (std::getenv("VX_PRIVATE_RUN") == nullptr) {
            log_line("refusing to serve the USB bus outside a private /run (VX_PRIVATE_RUN unset)");
            for (int l : listeners) ::close(l);
            return kExitUsage;
        }
        std::vector<UsbInstrument*> list;
        for (auto& u : opt.usb) list.push_back(u.get());
        if (!bus.open(list) || (opt.usb_tcp_port != 0 && !bus.open_tcp(opt.usb_tcp_port))) {
            bus.close_all();
            for (int l : listeners) ::close(l);
            return kExitRuntime;
        }
        if (!opt.quiet)
            for (auto& u : opt.usb) log_line("USB instrument %d: %s: %s", u->index, u->path.c_str(), u->idn.c_str());
    }
    for (const Instrument& inst : instruments) {
        if (!opt.quiet) {
            const LanInstrument& li = lan[static_cast<size_t>(inst.index)];
            std::string lan_note;
            if (opt.lan)
                lan_note = li.answers ? ", LAN reply " + std::to_string(li.reply.size()) + " bytes"
                                      : ", no LAN reply";
            std::string ports = std::to_string(opt.port);
            if (opt.socket_port) ports += " and " + std::to_string(opt.socket_port);
            log_line("instrument %d on %s:%s: %s%s", inst.index, inst.addr.c_str(), ports.c_str(),
                     inst.idn.c_str(), lan_note.c_str());
        }
    }
    if (opt.lan && !opt.quiet) log_line("LAN search responder on UDP port %u", kLanPort);
    if (opt.vxi11 && !opt.quiet)
        log_line("VXI-11 core channel on port %u, abort channel on %u, %s", opt.core_port, opt.abort_port,
                 opt.rpcbind ? "registered with the portmapper on 127.0.0.1" : "portmapper on port 111");
    if (opt.hislip && !opt.quiet) log_line("HiSLIP on port %u", opt.hislip_port);
    if (!opt.ready_file.empty() && !write_ready_file(opt.ready_file)) {
        for (int l : listeners) ::close(l);
        return kExitRuntime;
    }

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kThreadStack);

    using clock = std::chrono::steady_clock;
    const bool bounded = opt.max_seconds > 0;
    const auto deadline = clock::now() + std::chrono::seconds(bounded ? opt.max_seconds : 0);

    std::vector<pollfd> pfds;
    for (int l : listeners) pfds.push_back({l, POLLIN, 0});
    const size_t sig_index = pfds.size();
    pfds.push_back({sfd, POLLIN, 0});
    const size_t bus_index = pfds.size();
    pfds.push_back({bus.fd(), POLLIN, 0});
    pfds.push_back({bus.tcp_fd(), POLLIN, 0});
    const size_t lan_index = pfds.size();
    responder.add_pollfds(pfds);
    const size_t vxi11_index = pfds.size();
    vxi11.add_pollfds(pfds);
    const size_t hislip_index = pfds.size();
    hislip.add_pollfds(pfds);

    std::uint64_t next_id = 1;
    std::string why;
    for (;;) {
        int timeout = -1;
        if (bounded) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now())
                    .count();
            if (left <= 0) {
                why = "--max-seconds reached";
                break;
            }
            timeout = left > 60000 ? 60000 : static_cast<int>(left);
        }
        int r = ::poll(pfds.data(), pfds.size(), timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            log_line("poll failed: %s", std::strerror(errno));
            why = "poll failed";
            break;
        }
        if (pfds[sig_index].revents & POLLIN) {
            signalfd_siginfo si{};
            ssize_t n = ::read(sfd, &si, sizeof si);
            why = n == static_cast<ssize_t>(sizeof si) && si.ssi_signo == SIGINT ? "SIGINT"
                                                                                 : "SIGTERM";
            break;
        }
        bool starved = false;
        for (size_t k = 0; k < listeners.size(); ++k) {
            if (pfds[k].revents & POLLIN) {
                if (!accept_pending(listeners[k], instruments[listener_inst[k]], next_id, &attr)) starved = true;
            }
        }
        if (pfds[bus_index].revents & POLLIN) bus.on_readable(bus.fd(), &attr);
        if (pfds[bus_index + 1].revents & POLLIN) bus.on_readable(bus.tcp_fd(), &attr);
        for (size_t i = lan_index; i < vxi11_index; ++i) {
            if (pfds[i].revents & (POLLIN | POLLERR)) responder.on_readable(pfds[i].fd);
        }
        for (size_t i = vxi11_index; i < hislip_index; ++i) {
            if (pfds[i].revents & (POLLIN | POLLERR)) vxi11.on_readable(pfds[i].fd, &attr);
        }
        for (size_t i = hislip_index; i < pfds.size(); ++i) {
            if (pfds[i].revents & (POLLIN | POLLERR)) hislip.on_readable(pfds[i].fd, &attr);
        }
        // Out of descriptors or threads: give running sessions time to end.
        if (starved) ::poll(nullptr, 0, 100);
    }

    for (int l : listeners) ::close(l);
    responder.close_all();
    vxi11.close_all();
    hislip.close_all();
    if (opt.vxi11 && opt.rpcbind) portmap_register(opt.core_port, false);
    bus.close_all();
    if (!opt.quiet) log_line("exiting (%s)", why.c_str());
    shutdown_all_connections();
    bool drained = wait_for_sessions(3000);
    if (!opt.ready_file.empty()) ::unlink(opt.ready_file.c_str());
    if (!drained) {
        // A session is stuck somewhere; its thread may still use globals, so
        // skip static destructors.
        log_line("%zu session(s) did not finish, exiting anyway", active_sessions());
        std::fflush(stdout);
        _exit(0);
    }
    pthread_attr_destroy(&attr);
    return 0;
}
