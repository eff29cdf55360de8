// vxcomm: the library's exported calls from the command line, for the
// people who use the instruments. Built on vx_comm.h only, as any host is.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "info/status_text.h"
#include "system.h"
#include "usb_service.h"
#include "vx_comm.h"

namespace {

struct Options {
  const char* logPath = nullptr;
  ViInt32 timeoutMs = -1;  // -1: the link's own default
  ViInt32 findMs = 1000;
  ViInt32 iface = IFACE_LAN | IFACE_USB | IFACE_VISA;
};

// Without --timeout, how long the tool waits for a TCP connection.
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

int fail(const char* what, ViStatus s) {
  fprintf(stderr, "vxcomm: %s failed: %s\n", what, status_text(s).c_str());
  return 1;
}

const char* kUsage =
    "usage: vxcomm [--log FILE] [--timeout MS] COMMAND ARGS...\n"
    "\n"
    "commands:\n"
    "  find [--iface lan,usb,visa] [--wait MS]   list the instruments that answer\n"
    "  query ADDRESS COMMAND...                  send each command, print each reply line\n"
    "  send ADDRESS COMMAND...                   send each command, read nothing\n"
    "  fetch ADDRESS QUERY FILE                  send QUERY, store the block it returns in FILE\n"
    "  upload ADDRESS COMMAND FILE               send FILE as a block after COMMAND\n"
    "\n"
    "options:\n"
    "  --log FILE     trace every library call into FILE\n"
    "  --timeout MS   link timeout in milliseconds, also the longest wait for a TCP\n"
    "                 connection (default: the link's own, and 3000 ms to connect;\n"
    "                 0: no limit on any route)\n"
    "  --version      the tool's version and the loaded library's\n"
    "  --help         this text; 'vxcomm COMMAND --help' for one command\n"
    "\n"
    "ADDRESS is what 'find' lists: a dotted IPv4 address (TCP port 18), or\n"
    "TCP-<address or host name>, USB-<serial> or a VISA resource name. The VISA library is loaded when an\n"
    "address or the search needs it.\n";

const char* help_for(const std::string& cmd) {
  if (cmd == "find")
    return "usage: vxcomm find [--iface LIST] [--wait MS]\n"
           "  Searches the interfaces in LIST (comma-separated: lan, usb, visa; default all)\n"
           "  and prints one instrument a line: model, serial, address. --wait is how long\n"
           "  the LAN search listens for answers (default 1000 ms).\n";
  if (cmd == "query")
    return "usage: vxcomm query ADDRESS COMMAND...\n"
           "  Sends each COMMAND as a line and prints the reply line it gets.\n";
  if (cmd == "send")
    return "usage: vxcomm send ADDRESS COMMAND...\n"
           "  Sends each COMMAND as a line; reads nothing back.\n";
  if (cmd == "fetch")
    return "usage: vxcomm fetch ADDRESS QUERY FILE\n"
           "  Sends QUERY, reads the IEEE 488.2 block it answers with and writes its data\n"
           "  bytes to FILE. Shows progress on a terminal.\n";
  if (cmd == "upload")
    return "usage: vxcomm upload [--reply] ADDRESS COMMAND FILE\n"
           "  Sends COMMAND followed by the content of FILE as an IEEE 488.2 block.\n"
           "  --reply: then read and print the instrument's one-line answer.\n";
  return nullptr;
}

const char kNoVisa[] = "no VISA library could be loaded (libvisa.so on Linux, visa32.dll on Windows)";

// The library takes every address that is neither TCP nor direct USB as a
// VISA resource name.
bool is_visa_address(const char* a) {
  return strncmp(a, "TCP-", 4) != 0 && !(a[0] >= '0' && a[0] <= '9') && strncmp(a, "USB-", 4) != 0;
}

// A link that closes itself, so every failure path leaves nothing open.
struct Link {
  ViInt32 id = -1;
  ~Link() {
    if (id > 0) vx_comm_close(id);
  }
};

bool is_tcp_address(const char* a) { return strncmp(a, "TCP-", 4) == 0 || (a[0] >= '0' && a[0] <= '9'); }

int open_link(const char* address, const Options& o, Link& link) {
  if (is_visa_address(address) && vx_comm_loadVisa() != VI_SUCCESS) {
    fprintf(stderr, "vxcomm: %s is a VISA resource name, but %s\n", address, kNoVisa);
    return 1;
  }
  const bool tcp = is_tcp_address(address);
  std::string target = address;
  if (tcp) {
    // The library takes dotted addresses only: names are resolved here,
    // and the connection is tried here first, because the library's own
    // connect waits as long as the system lets it (minutes).
    const std::string host = strncmp(address, "TCP-", 4) == 0 ? address + 4 : address;
    std::string dotted, why;
    if (!vxcomm_resolve_ipv4(host, &dotted, &why)) {
      fprintf(stderr, "vxcomm: cannot resolve %s to an IPv4 address: %s\n", host.c_str(), why.c_str());
      return 1;
    }
    target = "TCP-" + dotted;
    const std::string shown = dotted == host ? host : host + " (" + dotted + ")";
    const int connectMs = o.timeoutMs < 0 ? kDefaultConnectMs : o.timeoutMs;
    if (connectMs > 0) {
      switch (vxcomm_connect_within(dotted, kTcpPort, connectMs, &why)) {
        case kConnectMade:
          break;
        case kConnectNoAnswer:
          fprintf(stderr, "vxcomm: no answer from %s on port %u within %d ms\n", shown.c_str(), kTcpPort, connectMs);
          return 1;
        case kConnectFailed:
          fprintf(stderr, "vxcomm: cannot open a link to %s: %s\n", shown.c_str(), why.c_str());
          return 1;
      }
    }
  }
  // 0 is no limit here; on TCP links the library means the same by 0, on
  // USB and VISA links by -1 (0 there is "do not wait").
  ViInt32 tmo = o.timeoutMs;
  if (tmo == 0 && !tcp) tmo = -1;
  ViStatus s = vx_comm_open(target.c_str(), o.timeoutMs < 0 ? 1000 : tmo, &link.id);
  if (s != VI_SUCCESS) return fail("open", s);
  if (link.id < 0) {
    fprintf(stderr, "vxcomm: cannot open a link to %s\n", address);
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
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--iface" && i + 1 < argc) {
      o.iface = 0;
      std::string list = std::string(argv[++i]) + ",";
      for (size_t at = 0, comma; (comma = list.find(',', at)) != std::string::npos; at = comma + 1) {
        std::string name = list.substr(at, comma - at);
        if (name == "lan") o.iface |= IFACE_LAN;
        else if (name == "usb") o.iface |= IFACE_USB;
        else if (name == "visa") o.iface |= IFACE_VISA;
        else {
          fprintf(stderr, "vxcomm find: unknown interface '%s' (lan, usb, visa)\n", name.c_str());
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
  if ((o.iface & IFACE_VISA) != 0 && vx_comm_loadVisa() != VI_SUCCESS)
    fprintf(stderr, "vxcomm find: %s; no VISA instruments are listed\n", kNoVisa);
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
  printf("%-*s  %-*s  %s\n", (int)wm, "MODEL", (int)ws, "SERIAL", "ADDRESS");
  for (const Row& r : rows) printf("%-*s  %-*s  %s\n", (int)wm, r.model.c_str(), (int)ws, r.serial.c_str(), r.address.c_str());
  if (rows.empty()) fprintf(stderr, "vxcomm find: no instrument answered\n");
  if ((o.iface & IFACE_USB) != 0)
    if (const char* missing = vxcomm_usb_service_missing()) fprintf(stderr, "vxcomm find: %s\n", missing);
  if (s == VI_SUCCESS_MAX_CNT) fprintf(stderr, "vxcomm find: the list was cut short\n");
  return 0;
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

// The file a fetch writes: a temporary one beside the target, renamed over
// it once the block is whole, so a failed fetch leaves the target as it was.
struct Download {
  std::string target, temp;
  FILE* f = nullptr;
  ~Download() {
    if (f) fclose(f);
    if (!temp.empty()) remove(temp.c_str());
  }
  bool finish(std::string* why) {
    FILE* open = f;
    f = nullptr;
    if (fclose(open) != 0) {
      *why = strerror(errno);
      return false;
    }
    if (!vxcomm_replace_file(temp, target, why)) return false;
    temp.clear();
    return true;
  }
};

int cmd_fetch(int argc, char** argv, const Options& o) {
  if (argc != 3) {
    fputs(help_for("fetch"), stderr);
    return 2;
  }
  Download out;
  out.target = argv[2];
  std::string why;
  // Before anything is sent: a file that cannot be made fails at once.
  out.f = vxcomm_create_beside(out.target, &out.temp, &why);
  if (!out.f) {
    fprintf(stderr, "vxcomm: cannot create %s: %s\n", argv[2], why.c_str());
    return 1;
  }
  Link link;
  if (int rc = open_link(argv[0], o, link)) return rc;
  ViInt32 size = 0;
  ViStatus s = vx_comm_readBlockSize(link.id, argv[1], &size);
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
    if (n > 0 && fwrite(buf.data(), 1, (size_t)n, out.f) != (size_t)n) {
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
  if (!out.finish(&why)) {
    fprintf(stderr, "vxcomm: cannot write %s: %s\n", argv[2], why.c_str());
    return 1;
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  printf("%s: %lld bytes in %.3f s\n", argv[2], done, secs);
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

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--version") {
      printf("vxcomm %s\nvx_comm_lib %s (loaded)\n", VX_COMM_VERSION, vx_comm_version());
      return 0;
    } else if (a == "--log" && i + 1 < argc) {
      o.logPath = argv[++i];
    } else if (a == "--timeout" && i + 1 < argc) {
      if (!parse_int(argv[++i], 0, 0x7FFFFFFF, &o.timeoutMs)) {
        fprintf(stderr, "vxcomm: --timeout takes milliseconds (0: no limit)\n");
        return 2;
      }
    } else {
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
  if (o.logPath) vx_usb_startdebug(o.logPath);
  int rc;
  if (cmd == "find") rc = cmd_find(argc - i, argv + i, o);
  else if (cmd == "query") rc = cmd_query(argc - i, argv + i, o, true);
  else if (cmd == "send") rc = cmd_query(argc - i, argv + i, o, false);
  else if (cmd == "fetch") rc = cmd_fetch(argc - i, argv + i, o);
  else rc = cmd_upload(argc - i, argv + i, o);
  if (o.logPath) vx_usb_stopdebug();
  return rc;
}
