// vxcomm: the library's exported calls from the command line, for the
// people who use the instruments. Built on vx_comm.h only, as any host is.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ipv4.h"
#include "info/status_text.h"
#include "system.h"
#include "usb_service.h"
#include "vx_comm.h"

namespace {

struct Options {
  const char* logPath = nullptr;
  bool verbose = false;
  ViInt32 timeoutMs = -1;  // -1: the link's own default
  ViInt32 findMs = 1000;
  // A plain find lists every kind of instrument the tool can reach, VXI-11
  // ones too: a person looking for an instrument should not have to know
  // which protocol it speaks. Scripts that want the short search name theirs.
  ViInt32 iface = IFACE_LAN | IFACE_VXI11 | IFACE_MDNS | IFACE_USB | IFACE_USBTMC | IFACE_VISA;
};

// Without --timeout, how long the tool waits for a host name's address.
const int kDefaultConnectMs = 3000;
const unsigned kTcpPort = 18;

// "VI_ERROR_TMO (0xBFFF0015): Timeout expired before operation completed."
std::string status_text(ViStatus s) {
  char desc[kVxStatusTextMax] = "";
  vx_comm_statusDesc(s, desc, sizeof desc);
  const VxStatusText* known = vx_status_text(s);
  if (!known) return desc;  // "unknown status 0x..."
  char head[96];
  snprintf(head, sizeof head, "%s (0x%08X): ", known->name, (unsigned)s);
  return head + std::string(desc);
}

// Why the library's last call on this thread failed, without the
// "vx_comm_x() error: " that opens it; empty when it has nothing to add to
// the status (a bare "vx_comm_x() error: VI_ERROR_TMO").
std::string library_reason() {
  char text[1024] = "";
  vx_comm_lastError(text, sizeof text);
  std::string r = text;
  const size_t head = r.find("() error: ");
  if (r.compare(0, 3, "vx_") == 0 && head != std::string::npos && r.find(' ') > head) r.erase(0, head + 10);
  if (r.compare(0, 9, "VI_ERROR_") == 0 && r.find(' ') == std::string::npos) r.clear();
  return r;
}

int fail(const char* what, ViStatus s) {
  std::string reason = library_reason();
  if (reason.empty() && s == VI_ERROR_CONN_LOST) reason = "the instrument closed the connection, or the network failed";
  if (!reason.empty()) reason = " (" + reason + ")";
  fprintf(stderr, "vxcomm: %s failed: %s%s\n", what, status_text(s).c_str(), reason.c_str());
  return 1;
}

const char* kUsage =
    "usage: vxcomm [OPTIONS] COMMAND [OPTIONS] ARGS...\n"
    "\n"
    "commands:\n"
    "  find [--iface LIST] [--wait MS]           list the instruments that answer (LIST: lan,vxi11,mdns,usb,usbtmc,visa)\n"
    "  query ADDRESS COMMAND...                  send each command, print each reply line\n"
    "  send ADDRESS COMMAND...                   send each command, read nothing\n"
    "  fetch ADDRESS QUERY FILE                  send QUERY, store the block it returns in FILE\n"
    "  upload ADDRESS COMMAND FILE               send FILE as a block after COMMAND\n"
    "  stb ADDRESS                               print the status byte (a serial poll)\n"
    "  srq [--wait MS] ADDRESS [COMMAND...]      send the commands, wait for a service request, print its status byte\n"
    "  trigger ADDRESS                           send the device trigger\n"
    "  clear ADDRESS                             device clear\n"
    "  remote ADDRESS MODE                       set remote state (remote, local, lockout, or 0 to 6)\n"
    "  local ADDRESS                             go to local\n"
    "\n"
    "options (before the command or after it, before ADDRESS):\n"
    "  --log FILE     trace every library call into FILE\n"
    "  -v, --verbose  say which searches of a plain find could not run\n"
    "  --timeout MS   link timeout in milliseconds; also bounds a host name's lookup\n"
    "                 (MS) and the wait for a TCP connection (max(MS, 3000) ms)\n"
    "                 (default: the link's own, 3000 ms for both waits; 0: no limit)\n"
    "  --version      the tool's version and the loaded library's\n"
    "  --help         this text; 'vxcomm COMMAND --help' for one command\n"
    "\n"
    "ADDRESS is what 'find' lists: a dotted IPv4 address (four decimal numbers; the\n"
    "instrument's TCP port is always 18 and is not given), TCP-<address or host\n"
    "name>, USB-<serial of 18 characters> or a VISA resource name. The VISA library\n"
    "is loaded when an address or the search needs it; without one, TCPIP names\n"
    "still open: ::SOCKET (raw TCP), ::INSTR and ::instN::INSTR (VXI-11),\n"
    "::hislipN::INSTR (HiSLIP); on Linux USB::VID::PID::SERIAL::INSTR names open\n"
    "any maker's USB instrument through the USB service.\n";

const char* help_for(const std::string& cmd) {
  if (cmd == "find")
    return "usage: vxcomm find [--iface LIST] [--wait MS]\n"
           "  Searches the interfaces in LIST (comma-separated: lan, vxi11, mdns, usb,\n"
           "  usbtmc, visa; default all) and prints one instrument a line: model, serial,\n"
           "  address. usbtmc lists every maker's USB instruments the USB service\n"
           "  serves, as USB0::0xVVVV::0xPPPP::SERIAL::INSTR (Linux).\n"
           "  vxi11 finds LAN instruments of any make that serve VXI-11, listed as\n"
           "  TCPIP0::a.b.c.d::inst0::INSTR; an instrument that answers both LAN searches\n"
           "  is listed under both addresses (either opens it). mdns asks the LAN's\n"
           "  DNS-SD responders for HiSLIP, VXI-11 and raw SCPI instruments\n"
           "  (::hislip0::INSTR, ::inst0::INSTR, ::PORT::SOCKET). --wait is how long\n"
           "  each LAN search listens for answers (default 1000 ms); the searches run\n"
           "  side by side, so a find takes about --wait.\n";
  if (cmd == "query")
    return "usage: vxcomm query ADDRESS COMMAND...\n"
           "  Sends each COMMAND as a line and prints the reply line it gets.\n";
  if (cmd == "send")
    return "usage: vxcomm send ADDRESS COMMAND...\n"
           "  Sends each COMMAND as a line; reads nothing back.\n";
  if (cmd == "fetch")
    return "usage: vxcomm fetch ADDRESS QUERY FILE\n"
           "  Sends QUERY, reads the IEEE 488.2 block it answers with and writes its data\n"
           "  bytes to FILE (- for standard output). Shows progress on a terminal.\n";
  if (cmd == "upload")
    return "usage: vxcomm upload [--reply] ADDRESS COMMAND FILE\n"
           "  Sends COMMAND followed by the content of FILE as an IEEE 488.2 block.\n"
           "  --reply: then read and print the instrument's one-line answer.\n";
  if (cmd == "stb")
    return "usage: vxcomm stb ADDRESS\n"
           "  Reads the status byte as a serial poll (VXI-11, HiSLIP, VISA) and prints it.\n";
  if (cmd == "srq")
    return "usage: vxcomm srq [--wait MS] ADDRESS [COMMAND...]\n"
           "  Collects the instrument's service requests, sends each COMMAND as a line\n"
           "  (say '*SRE 32' '*ESE 1' and one that starts a measurement), waits for the\n"
           "  next request and prints the status byte read with it. --wait bounds the\n"
           "  wait (default: no limit). VXI-11, HiSLIP, USB488 and VISA.\n";
  if (cmd == "trigger")
    return "usage: vxcomm trigger ADDRESS\n"
           "  Sends the device trigger (VXI-11, HiSLIP, VISA).\n";
  if (cmd == "clear")
    return "usage: vxcomm clear ADDRESS\n"
           "  Device clear: the instrument drops waiting input and output.\n";
  if (cmd == "remote")
    return "usage: vxcomm remote ADDRESS MODE\n"
           "  Sets the remote state. MODE: remote, local, lockout (remote with local\n"
           "  lockout), or one of VISA's REN modes 0 to 6.\n";
  if (cmd == "local")
    return "usage: vxcomm local ADDRESS\n"
           "  Returns the instrument to local control (remote ADDRESS local).\n";
  return nullptr;
}

const char kNoVisa[] = "no VISA library could be loaded (libvisa.so on Linux, visa32.dll on Windows)";
const size_t kUsbSerialLength = 18;

// A link that closes itself, so every failure path leaves nothing open.
struct Link {
  ViInt32 id = -1;
  ~Link() {
    if (id > 0) vx_comm_close(id);
  }
};

bool is_tcp_address(const char* a) { return strncmp(a, "TCP-", 4) == 0 || (a[0] >= '0' && a[0] <= '9'); }

// A TCPIP resource name (any case, as VISA reads them): without a VISA
// library the library serves these itself, so a failed open is no
// instrument there, not a missing library.
bool is_tcpip_name(const char* a) {
  const char prefix[] = "TCPIP";
  for (size_t i = 0; i < sizeof prefix - 1; ++i)
    if (toupper((unsigned char)a[i]) != prefix[i]) return false;
  return true;
}

// A VISA USB name ("USB0::..."), which the library serves itself on Linux
// through the USB service when no VISA library is loaded.
bool is_usb_name(const char* a) {
  if (toupper((unsigned char)a[0]) != 'U' || toupper((unsigned char)a[1]) != 'S' ||
      toupper((unsigned char)a[2]) != 'B')
    return false;
  const char* p = a + 3;
  while (*p >= '0' && *p <= '9') ++p;
  return p[0] == ':' && p[1] == ':';
}

// The lookup, bounded: a resolver that gets no answer retries for ten
// seconds or more. A lookup still running when the bound passes is left to
// itself on its own thread; the tool ends soon after.
struct Lookup {
  std::mutex m;
  std::condition_variable done;
  bool finished = false, ok = false;
  std::string dotted, why;
};

enum LookupResult { kResolved, kNotResolved, kLookupTimedOut };

LookupResult resolve_within(const std::string& host, int ms, std::string* dotted, std::string* why) {
  auto state = std::make_shared<Lookup>();
  std::thread([state, host] {
    std::string d, w;
    bool ok = vxcomm_resolve_ipv4(host, &d, &w);
    std::lock_guard<std::mutex> hold(state->m);
    state->ok = ok;
    state->dotted = d;
    state->why = w;
    state->finished = true;
    state->done.notify_all();
  }).detach();
  std::unique_lock<std::mutex> hold(state->m);
  auto finished = [&] { return state->finished; };
  if (ms > 0) {
    if (!state->done.wait_for(hold, std::chrono::milliseconds(ms), finished)) return kLookupTimedOut;
  } else {
    state->done.wait(hold, finished);
  }
  *dotted = state->dotted;
  *why = state->why;
  return state->ok ? kResolved : kNotResolved;
}

// The TCP route's address as the library takes it, "TCP-" and a dotted
// address; names are looked up here. 0, or the exit status after saying why.
int tcp_target(const char* address, const Options& o, std::string* target, std::string* shown) {
  const std::string host = strncmp(address, "TCP-", 4) == 0 ? address + 4 : address;
  *shown = host;
  if (host.empty()) {
    fprintf(stderr, "vxcomm: %s names no instrument; give its IPv4 address or host name after TCP-\n", address);
    return 2;
  }
  const size_t colon = host.find(':');
  if (colon != std::string::npos) {
    fprintf(stderr,
            "vxcomm: %s: instruments are reached on TCP port 18 only, which is not given; use %s\n"
            "  (or a VISA name such as TCPIP0::%s::%s::SOCKET)\n",
            address, host.substr(0, colon).c_str(), host.substr(0, colon).c_str(), host.substr(colon + 1).c_str());
    return 2;
  }
  if (host[0] >= '0' && host[0] <= '9') {
    // Strictly four decimal numbers, as the library reads them: a resolver
    // would read "192.168.001.010" as octal and "127.2" as 127.0.0.2.
    uint32_t addr;
    if (!vx_ipv4_parse(host.c_str(), &addr)) {
      fprintf(stderr, "vxcomm: '%s' is not an IPv4 address (four decimal numbers of 0 to 255)\n", host.c_str());
      return 2;
    }
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&addr);
    char dotted[16];
    snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    *target = std::string("TCP-") + dotted;
    return 0;
  }
  const int lookupMs = o.timeoutMs < 0 ? kDefaultConnectMs : o.timeoutMs;
  std::string dotted, why;
  switch (resolve_within(host, lookupMs, &dotted, &why)) {
    case kResolved:
      break;
    case kLookupTimedOut:
      fprintf(stderr, "vxcomm: cannot resolve %s to an IPv4 address: no answer within %d ms\n", host.c_str(),
              lookupMs);
      return 1;
    case kNotResolved:
      fprintf(stderr, "vxcomm: cannot resolve %s to an IPv4 address: %s\n", host.c_str(), why.c_str());
      return 1;
  }
  *target = "TCP-" + dotted;
  *shown = host + " (" + dotted + ")";
  return 0;
}

int open_link(const char* address, const Options& o, Link& link) {
  if (!address[0]) {
    fprintf(stderr, "vxcomm: the address is empty; give one that 'vxcomm find' lists\n");
    return 2;
  }
  const bool tcp = is_tcp_address(address);
  const bool usb = strncmp(address, "USB-", 4) == 0;
  std::string target = address, shown = address;
  if (tcp) {
    if (int rc = tcp_target(address, o, &target, &shown)) return rc;
  } else if (usb && strlen(address + 4) != kUsbSerialLength) {
    fprintf(stderr, "vxcomm: %s: a USB instrument's serial number has %zu characters, this one %zu; "
            "'vxcomm find --iface usb' lists them\n", address, kUsbSerialLength, strlen(address + 4));
    return 2;
  }
  // Every other address is a VISA resource name. Without a VISA library
  // the library still opens the names it serves itself (TCPIP SOCKET,
  // VXI-11 and HiSLIP INSTR names).
  const bool visaLoaded = !tcp && !usb && vx_comm_loadVisa() == VI_SUCCESS;
  // 0 is no limit here; on TCP links the library means the same by 0, on
  // USB and VISA links by -1 (0 there is "do not wait"). The open's own
  // wait for a TCP connection is max(timeout, 3000) ms, 0 unbounded.
  ViInt32 tmo = o.timeoutMs;
  if (tmo == 0 && !tcp) tmo = -1;
  const ViInt32 openTmo = o.timeoutMs < 0 ? 1000 : tmo;
  const auto started = std::chrono::steady_clock::now();
  ViStatus s = vx_comm_open(target.c_str(), openTmo, &link.id);
  if (s != VI_SUCCESS) return fail("open", s);
  if (link.id < 0) {
    // The library's own words; that it then "failed opening a physical
    // link" tells a user nothing more.
    std::string reason = library_reason();
    const std::string generic = "failed opening a physical link";
    const size_t tail = reason.rfind("; " + generic);
    if (tail != std::string::npos && tail + 2 + generic.size() == reason.size()) reason.erase(tail);
    const long long took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    const long long bound = openTmo <= 0 ? 0 : openTmo < 3000 ? 3000 : openTmo;
    if (tcp && bound > 0 && took >= bound - 50)
      fprintf(stderr, "vxcomm: no answer from %s on port %u within %lld ms\n", shown.c_str(), kTcpPort, bound);
    else if (tcp && !reason.empty() && reason != generic)
      fprintf(stderr, "vxcomm: cannot open a link to %s: %s\n", shown.c_str(), reason.c_str());
    else if (tcp)
      fprintf(stderr, "vxcomm: cannot open a link to %s: the connection to port %u was refused or failed\n",
              shown.c_str(), kTcpPort);
    else if (const char* missing = usb || (!visaLoaded && is_usb_name(address)) ? vxcomm_usb_service_missing()
                                                                                  : nullptr)
      fprintf(stderr, "vxcomm: cannot open a link to %s: %s\n", address, missing);
    else if (usb)
      fprintf(stderr, "vxcomm: cannot open a link to %s: no instrument with that serial number is connected, or "
              "another program uses it\n", address);
    else if (!reason.empty() && reason != generic && (visaLoaded || is_tcpip_name(address) || is_usb_name(address)))
      fprintf(stderr, "vxcomm: cannot open a link to %s: %s\n", address, reason.c_str());
    else if (!visaLoaded && is_tcpip_name(address))
      fprintf(stderr, "vxcomm: cannot open a link to %s: no instrument answered there (the connection was "
              "refused or failed, or it does not serve that protocol)\n", address);
    else if (!visaLoaded)
      fprintf(stderr, "vxcomm: cannot open a link to %s: it is a VISA resource name, but %s\n", address, kNoVisa);
    else
      fprintf(stderr, "vxcomm: cannot open a link to %s: the VISA library did not open it\n", address);
    return 1;
  }
  if (o.timeoutMs >= 0 && (s = vx_comm_setTmoMs(link.id, tmo)) != VI_SUCCESS) return fail("setting the timeout", s);
  return 0;
}

bool parse_int(const char* text, ViInt32 lo, ViInt32 hi, ViInt32* out) {
  char* end = nullptr;
  long long v = strtoll(text, &end, 10);
  if (!text[0] || *end || v < lo || v > hi) return false;
  *out = (ViInt32)v;
  return true;
}

int cmd_find(int argc, char** argv, Options& o) {
  bool named = false;  // --iface given: a search that cannot run is a failure
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--iface" && i + 1 < argc) {
      named = true;
      o.iface = 0;
      std::string list = std::string(argv[++i]) + ",";
      for (size_t at = 0, comma; (comma = list.find(',', at)) != std::string::npos; at = comma + 1) {
        std::string name = list.substr(at, comma - at);
        if (name == "lan") o.iface |= IFACE_LAN;
        else if (name == "vxi11") o.iface |= IFACE_VXI11;
        else if (name == "mdns") o.iface |= IFACE_MDNS;
        else if (name == "usb") o.iface |= IFACE_USB;
        else if (name == "usbtmc") o.iface |= IFACE_USBTMC;
        else if (name == "visa") o.iface |= IFACE_VISA;
        else {
          fprintf(stderr, "vxcomm find: unknown interface '%s' (lan, vxi11, mdns, usb, usbtmc, visa)\n", name.c_str());
          return 2;
        }
      }
    } else if (a == "--wait" && i + 1 < argc) {
      if (!parse_int(argv[++i], 0, 600000, &o.findMs)) {
        fprintf(stderr, "vxcomm find: --wait takes milliseconds from 0 to 600000\n");
        return 2;
      }
    } else {
      fprintf(stderr, "vxcomm find: unexpected '%s'\n%s", argv[i], help_for("find"));
      return 2;
    }
  }
  // A search that cannot run is news when the user named it, or asked
  // with -v; a plain find lists what the others found.
  const bool warn = named || o.verbose;
  bool notRun = false;
  if ((o.iface & IFACE_VISA) != 0 && vx_comm_loadVisa() != VI_SUCCESS) {
    if (warn) fprintf(stderr, "vxcomm find: %s; no VISA instruments are listed\n", kNoVisa);
    notRun = true;
  }
  std::vector<char> list(64 * 1024);
  ViInt32 n = 0;
  ViStatus s = vx_comm_find(list.data(), o.findMs, (ViInt32)list.size(), &n, o.iface);
  if (s != VI_SUCCESS && s != VI_SUCCESS_MAX_CNT) return fail("find", s);
  // Entries are model:serial:address; — the address may hold colons itself
  // (VISA names), so the first two colons split the fields.
  struct Row {
    std::string model, serial, address;
  };
  std::vector<Row> rows;
  std::string text(list.data(), (size_t)(n > 0 ? n : 0));
  for (size_t at = 0, end; (end = text.find(';', at)) != std::string::npos; at = end + 1) {
    std::string e = text.substr(at, end - at);
    size_t c1 = e.find(':'), c2 = c1 == std::string::npos ? c1 : e.find(':', c1 + 1);
    if (c2 == std::string::npos) continue;
    rows.push_back({e.substr(0, c1), e.substr(c1 + 1, c2 - c1 - 1), e.substr(c2 + 1)});
  }
  size_t wm = 5, ws = 6;
  for (const Row& r : rows) {
    wm = std::max(wm, r.model.size());
    ws = std::max(ws, r.serial.size());
  }
  if (!rows.empty()) printf("%-*s  %-*s  %s\n", (int)wm, "MODEL", (int)ws, "SERIAL", "ADDRESS");
  for (const Row& r : rows) printf("%-*s  %-*s  %s\n", (int)wm, r.model.c_str(), (int)ws, r.serial.c_str(), r.address.c_str());
  if (rows.empty()) fprintf(stderr, "vxcomm find: no instrument answered\n");
  if ((o.iface & (IFACE_USB | IFACE_USBTMC)) != 0)
    if (const char* missing = vxcomm_usb_service_missing()) {
      if (warn) fprintf(stderr, "vxcomm find: %s\n", missing);
      notRun = true;
    }
  if (s == VI_SUCCESS_MAX_CNT) fprintf(stderr, "vxcomm find: the list was cut short\n");
  // Searching everything (no --iface) lists what it can; a search asked for
  // by name that could not run fails the command.
  return named && notRun ? 1 : 0;
}

int cmd_query(int argc, char** argv, const Options& o, bool readReplies) {
  if (argc < 2) {
    fputs(help_for(readReplies ? "query" : "send"), stderr);
    return 2;
  }
  Link link;
  if (int rc = open_link(argv[0], o, link)) return rc;
  for (int i = 1; i < argc; ++i) {
    // Ended by its line feed already, the command leaves in one transport
    // write instead of two (the instrument wakes once per query).
    std::string line(argv[i], strcspn(argv[i], "\r\n"));
    line += '\n';
    ViStatus s = vx_comm_puts(link.id, line.c_str(), (ViInt32)line.size(), nullptr);
    if (s != VI_SUCCESS) return fail(argv[i], s);
    if (!readReplies) continue;
    // A reply longer than the buffer comes in several pieces; print them all.
    std::string reply;
    char buf[4096];
    do {
      ViInt32 n = 0;
      s = vx_comm_gets(link.id, buf, sizeof buf, &n);
      if (s != VI_SUCCESS) return fail(argv[i], s);
      reply.append(buf, (size_t)n);
      // A definite-length block ("#41000" and binary data) is no line:
      // its bytes may hold zeros and line feeds.
      if (reply.size() >= 2 && reply[0] == '#' && reply[1] >= '1' && reply[1] <= '9') {
        fprintf(stderr,
                "vxcomm: the reply to %s is a block (it starts with %.*s); store it with 'vxcomm fetch "
                "%s '%s' FILE' (FILE - writes it to standard output)\n",
                argv[i], (int)std::min(reply.size(), (size_t)(2 + (reply[1] - '0'))), reply.c_str(), argv[0], argv[i]);
        return 1;
      }
    } while (!reply.empty() && reply.back() != '\n' && reply.back() != '\0' && reply.size() < (1u << 26));
    fwrite(reply.data(), 1, reply.size(), stdout);
    if (reply.empty() || reply.back() != '\n') putchar('\n');
  }
  return 0;
}

void show_progress(long long done, long long total, double secs, bool last) {
  double rate = secs > 0 ? done / secs : 0;
  double left = rate > 0 ? (total - done) / rate : 0;
  int width = 30, filled = total > 0 ? (int)(width * (double)done / (double)total) : width;
  fprintf(stderr, "\r[%-*.*s] %lld/%lld bytes  %.1f MiB/s  %.1f s left ", width, filled,
          "##############################", done, total, rate / (1 << 20), left);
  if (last) fputc('\n', stderr);
}

// The file a fetch writes (system.h); removed unless finished.
struct Download {
  VxcommOutput out;
  ~Download() { vxcomm_output_discard(&out); }
};

// The library reads one byte of a reply that is no block, names it in its
// reason, and leaves the rest; both tell the user what came instead.
int no_block(ViInt32 id, const char* query) {
  std::string first;
  const std::string reason = library_reason();
  const size_t at = reason.find("it starts with '");
  if (at != std::string::npos && at + 16 < reason.size()) first = reason.substr(at + 16, 1);
  char rest[48] = "";
  ViInt32 n = 0;
  vx_comm_setTmoMs(id, 200);
  vx_comm_read(id, rest, sizeof rest - 1, &n);
  std::string shown = first;
  for (ViInt32 i = 0; i < n && rest[i] != '\n'; ++i) shown += (rest[i] >= ' ' && rest[i] < 127) ? rest[i] : '.';
  if (!shown.empty())
    fprintf(stderr, "vxcomm: the reply to %s is no block (a block starts with # or four zero bytes); it went on '%s'\n",
            query, shown.c_str());
  else
    fprintf(stderr, "vxcomm: no block came in reply to %s: the reply is no block, or none came in time\n", query);
  return 1;
}

int cmd_fetch(int argc, char** argv, const Options& o) {
  if (argc != 3) {
    fputs(help_for("fetch"), stderr);
    return 2;
  }
  Download out;
  std::string why;
  // "-" is standard output, as curl -o - has it; the summary then goes to
  // standard error.
  const bool toStdout = !strcmp(argv[2], "-");
  FILE* sink = toStdout ? vxcomm_binary_stdout() : nullptr;
  // Before anything is sent: a file that cannot be made fails at once.
  if (!toStdout && !vxcomm_output_open(argv[2], &out.out, &why)) {
    fprintf(stderr, "vxcomm: cannot create %s: %s\n", argv[2], why.c_str());
    return 1;
  }
  Link link;
  if (int rc = open_link(argv[0], o, link)) return rc;
  ViInt32 size = 0;
  ViStatus s = vx_comm_readBlockSize(link.id, argv[1], &size);
  if (s == VI_ERROR_SYSTEM_ERROR) return no_block(link.id, argv[1]);
  if (!toStdout) sink = out.out.f;
  if (s != VI_SUCCESS) return fail("reading the block header", s);
  bool tty = isatty(2);
  std::vector<char> buf(1 << 20);
  long long done = 0;
  auto t0 = std::chrono::steady_clock::now();
  auto lastShown = t0;
  s = size > 0 ? VI_SUCCESS_MAX_CNT : VI_SUCCESS;
  while (s == VI_SUCCESS_MAX_CNT) {
    ViInt32 n = 0;
    s = vx_comm_readBlockData(link.id, buf.data(), (ViInt32)buf.size(), &n);
    if (s != VI_SUCCESS && s != VI_SUCCESS_MAX_CNT) break;
    if (n > 0 && fwrite(buf.data(), 1, (size_t)n, sink) != (size_t)n) {
      fprintf(stderr, "vxcomm: cannot write %s: %s\n", argv[2], strerror(errno));
      return 1;
    }
    done += n;
    auto now = std::chrono::steady_clock::now();
    if (tty && (now - lastShown > std::chrono::milliseconds(100) || s == VI_SUCCESS)) {
      show_progress(done, size, std::chrono::duration<double>(now - t0).count(), s == VI_SUCCESS);
      lastShown = now;
    }
  }
  if (s != VI_SUCCESS) return fail("reading the block", s);  // a partial block is no block
  if (toStdout ? fflush(stdout) != 0 : !vxcomm_output_finish(&out.out, &why)) {
    fprintf(stderr, "vxcomm: cannot write %s: %s\n", argv[2], toStdout ? strerror(errno) : why.c_str());
    return 1;
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  fprintf(toStdout ? stderr : stdout, "%s: %lld bytes in %.3f s\n", toStdout ? "standard output" : argv[2], done, secs);
  return 0;
}

int cmd_upload(int argc, char** argv, const Options& o) {
  bool reply = argc > 0 && !strcmp(argv[0], "--reply");
  if (reply) {
    argc--;
    argv++;
  }
  if (argc != 3) {
    fputs(help_for("upload"), stderr);
    return 2;
  }
  // Before anything is sent: the file must exist and be readable.
  FILE* in = fopen(argv[2], "rb");
  if (in) {
    fgetc(in);  // a folder opens, but does not read
    if (ferror(in)) {
      int why = errno;
      fclose(in);
      in = nullptr;
      errno = why;
    }
  }
  if (!in) {
    fprintf(stderr, "vxcomm: cannot read %s: %s\n", argv[2], strerror(errno));
    return 1;
  }
  fclose(in);
  Link link;
  if (int rc = open_link(argv[0], o, link)) return rc;
  ViStatus s = vx_comm_writeBlockFile(link.id, argv[1], argv[2]);
  if (s != VI_SUCCESS) return fail("upload", s);
  if (reply) {
    char buf[4096];
    ViInt32 n = 0;
    if ((s = vx_comm_gets(link.id, buf, sizeof buf, &n)) != VI_SUCCESS) return fail("reading the answer", s);
    fwrite(buf, 1, (size_t)n, stdout);
  }
  return 0;
}

// The instrument controls: one call on a link, the same conventions as
// the other commands.
int cmd_control(const std::string& cmd, int argc, char** argv, const Options& o) {
  const int want = cmd == "remote" ? 2 : 1;
  if (argc != want) {
    fputs(help_for(cmd), stderr);
    return 2;
  }
  ViUInt16 mode = VI_GPIB_REN_ADDRESS_GTL;
  if (cmd == "remote") {
    const std::string m = argv[1];
    ViInt32 n = 0;
    if (m == "remote")
      mode = VI_GPIB_REN_ASSERT_ADDRESS;
    else if (m == "local")
      mode = VI_GPIB_REN_ADDRESS_GTL;
    else if (m == "lockout")
      mode = VI_GPIB_REN_ASSERT_ADDRESS_LLO;
    else if (parse_int(m.c_str(), 0, 6, &n))
      mode = (ViUInt16)n;
    else {
      fprintf(stderr, "vxcomm remote: unknown mode '%s' (remote, local, lockout, or 0 to 6)\n", m.c_str());
      return 2;
    }
  }
  Link link;
  if (int rc = open_link(argv[0], o, link)) return rc;
  ViStatus s;
  ViUInt16 stb = 0;
  if (cmd == "stb")
    s = vx_comm_readStb(link.id, &stb);
  else if (cmd == "trigger")
    s = vx_comm_trigger(link.id);
  else if (cmd == "clear")
    s = vx_comm_clear(link.id);
  else
    s = vx_comm_remote(link.id, mode);
  if (s == VI_ERROR_NSUP_OPER) {
    const bool bytes = is_tcp_address(argv[0]) || strncmp(argv[0], "USB-", 4) == 0 ||
                       (is_tcpip_name(argv[0]) && strstr(argv[0], "SOCKET") != nullptr);
    fprintf(stderr, "vxcomm: %s failed: %s (%s)\n", cmd.c_str(), status_text(s).c_str(),
            bytes ? "this link carries bytes only; send the instrument's own command (*STB?, *TRG) instead, or open "
                    "it over VXI-11 (TCPIP::host::INSTR) if it serves that"
                  : "the instrument's protocol or the VISA library does not do it");
    return 1;
  }
  if (s < VI_SUCCESS) return fail(cmd.c_str(), s);
  if (cmd == "stb") printf("%u\n", (unsigned)stb);
  return 0;
}

// Enables before the commands, so that a request they cause is not missed.
int cmd_srq(int argc, char** argv, const Options& o) {
  ViInt32 waitMs = -1;
  if (argc >= 2 && !strcmp(argv[0], "--wait")) {
    if (!parse_int(argv[1], 0, 0x7FFFFFFF, &waitMs)) {
      fprintf(stderr, "vxcomm srq: --wait takes milliseconds\n");
      return 2;
    }
    argc -= 2;
    argv += 2;
  }
  if (argc < 1) {
    fputs(help_for("srq"), stderr);
    return 2;
  }
  Link link;
  if (int rc = open_link(argv[0], o, link)) return rc;
  ViStatus s = vx_comm_enableSrq(link.id, 1);
  if (s == VI_ERROR_NSUP_OPER) {
    fprintf(stderr, "vxcomm: srq failed: %s (%s)\n", status_text(s).c_str(),
            "this route or instrument has no service requests; poll with 'vxcomm stb' or the instrument's *STB?");
    return 1;
  }
  if (s < VI_SUCCESS) return fail("srq", s);
  for (int i = 1; i < argc; ++i) {
    std::string line(argv[i], strcspn(argv[i], "\r\n"));
    line += '\n';
    s = vx_comm_puts(link.id, line.c_str(), (ViInt32)line.size(), nullptr);
    if (s != VI_SUCCESS) return fail(argv[i], s);
  }
  ViUInt16 stb = 0;
  s = vx_comm_waitSrq(link.id, waitMs, &stb, nullptr);
  if (s == VI_ERROR_TMO && library_reason().empty()) {
    fprintf(stderr, "vxcomm: srq failed: %s (no service request within %d ms)\n", status_text(s).c_str(),
            (int)waitMs);
    return 1;
  }
  if (s < VI_SUCCESS) return fail("srq", s);
  printf("%u\n", (unsigned)stb);
  return 0;
}

// The options a command takes before its ADDRESS, and whether each takes
// a value.
bool command_option(const std::string& cmd, const std::string& a, bool* takesValue) {
  *takesValue = (cmd == "find" || cmd == "srq") && (a == "--wait" || (cmd == "find" && a == "--iface"));
  return *takesValue || (cmd == "upload" && a == "--reply");
}

}  // namespace

// One of the options every command takes, at argv[*i]: 0 when read
// (*i then at its last word), -1 when it is none of them, else the exit
// status.
int global_option(int argc, char** argv, int* i, Options& o) {
  const std::string a = argv[*i];
  if (a == "--help" || a == "-h") {
    fputs(kUsage, stdout);
    return 3;
  } else if (a == "--version") {
    printf("vxcomm %s\nvx_comm_lib %s (loaded)\n", VX_COMM_VERSION, vx_comm_version());
    return 3;
  } else if (a == "-v" || a == "--verbose") {
    o.verbose = true;
  } else if (a == "--log" && *i + 1 < argc) {
    o.logPath = argv[++*i];
  } else if (a == "--timeout" && *i + 1 < argc) {
    if (!parse_int(argv[++*i], 0, 0x7FFFFFFF, &o.timeoutMs)) {
      fprintf(stderr, "vxcomm: --timeout takes milliseconds (0: no limit)\n");
      return 2;
    }
  } else {
    return -1;
  }
  return 0;
}

int main(int argc, char** argv) {
  Options o;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const int rc = global_option(argc, argv, &i, o);
    if (rc == 3) return 0;
    if (rc > 0) return rc;
    if (rc < 0) {
      fprintf(stderr, "vxcomm: unknown option %s\n%s", argv[i], kUsage);
      return 2;
    }
  }
  if (i >= argc) {
    fputs(kUsage, stderr);
    return 2;
  }
  std::string cmd = argv[i++];
  const char* help = help_for(cmd);
  if (!help) {
    fprintf(stderr, "vxcomm: unknown command '%s'\n%s", cmd.c_str(), kUsage);
    return 2;
  }
  for (int k = i; k < argc; ++k)
    if (!strcmp(argv[k], "--help")) {
      fputs(help, stdout);
      return 0;
    }
  // Options go anywhere before the address, as in git: the common ones are
  // taken here, the command's own are passed on ahead of its arguments.
  std::vector<char*> args;
  for (bool options = true; i < argc; ++i) {
    bool takesValue = false;
    if (options && !strcmp(argv[i], "--")) {
      options = false;
    } else if (options && argv[i][0] == '-' && argv[i][1] != '\0') {
      const int rc = global_option(argc, argv, &i, o);
      if (rc > 0) return rc == 3 ? 0 : rc;
      if (rc == 0) continue;
      if (!command_option(cmd, argv[i], &takesValue)) {
        fprintf(stderr, "vxcomm %s: unknown option %s\n%s", cmd.c_str(), argv[i], help);
        return 2;
      }
      args.push_back(argv[i]);
      if (takesValue && i + 1 < argc) args.push_back(argv[++i]);
    } else {
      options = cmd == "find";  // find has no address: its options go on
      args.push_back(argv[i]);
    }
  }
  args.push_back(nullptr);
  const int n = (int)args.size() - 1;
  char** rest = args.data();
  if (o.logPath) {
    // The library drops lines it cannot write without a word; a log asked
    // for and not written would pass unnoticed.
    FILE* probe = fopen(o.logPath, "a");
    if (!probe) {
      fprintf(stderr, "vxcomm: cannot write the call log %s: %s\n", o.logPath, strerror(errno));
      return 1;
    }
    fclose(probe);
    vx_usb_startdebug(o.logPath);
  }
  int rc;
  if (cmd == "find")
    rc = cmd_find(n, rest, o);
  else if (cmd == "query")
    rc = cmd_query(n, rest, o, true);
  else if (cmd == "send")
    rc = cmd_query(n, rest, o, false);
  else if (cmd == "fetch")
    rc = cmd_fetch(n, rest, o);
  else if (cmd == "upload")
    rc = cmd_upload(n, rest, o);
  else if (cmd == "srq")
    rc = cmd_srq(n, rest, o);
  else if (cmd == "local") {
    char local[] = "local";
    char* words[] = {n > 0 ? rest[0] : nullptr, local, nullptr};
    rc = n == 1 ? cmd_control("remote", 2, words, o) : cmd_control("local", n, rest, o);
  } else
    rc = cmd_control(cmd, n, rest, o);
  if (o.logPath) vx_usb_stopdebug();
  return rc;
}
