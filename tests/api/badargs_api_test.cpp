// Every export with every kind of bad argument: the status it documents,
// the log lines it documents and nothing else (no byte to the instrument,
// no out-parameter written). One table; each row runs on a fresh TCP link
// whose byte count the simulator reports afterwards.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "api_util.h"

namespace {

const ViInt32 kUntouched = 77;

struct Row {
  std::string what;
  // Called with the row's linkId (a valid link, or the bad id of the row)
  // and an out-parameter holding kUntouched.
  std::function<ViStatus(ViInt32 id, ViInt32* n)> call;
  ViStatus want;
  std::vector<std::string> lines;  // "@" stands for the linkId
  ViInt32 wantN = kUntouched;
  bool linkFree = false;  // no link may be open (the find refuses otherwise)
};

// Exports that take a linkId, with the error line each logs for a bad one.
struct LinkExport {
  const char* name;
  std::function<ViStatus(ViInt32, ViInt32*)> call;
  const char* errorLine;  // null: none
};

char g_buf[64];

std::string dir_name() { return vx_test_temp_dir(); }
std::string unwritable_name() { return vx_test_temp_dir() + "/no such folder/x.bin"; }

// The line a block file export logs when it cannot open `path` with `mode`,
// with the reason this C library gives (none when the open succeeds: a
// folder opens for reading on Linux).
std::vector<std::string> file_lines(const char* exportName, const char* verb, const std::string& path,
                                    const char* mode) {
  FILE* f = fopen(path.c_str(), mode);
  if (f) {
    fclose(f);
    return {};
  }
  return {std::string(exportName) + "() error: cannot " + verb + " " + path + ": " + strerror(errno)};
}

// A block call's lines: its entry, what it logged, its result.
std::vector<std::string> traced(const std::string& entry, std::vector<std::string> middle, const std::string& result) {
  middle.insert(middle.begin(), entry);
  middle.push_back(result);
  return middle;
}
const char kSysResult[] = "() returns: status=-1073807360";

const std::vector<LinkExport>& link_exports() {
  static const std::vector<LinkExport> list = {
      {"vx_comm_close", [](ViInt32 id, ViInt32*) { return vx_comm_close(id); }, nullptr},
      {"vx_comm_write", [](ViInt32 id, ViInt32* n) { return vx_comm_write(id, "x", 1, n); }, nullptr},
      {"vx_comm_read", [](ViInt32 id, ViInt32* n) { return vx_comm_read(id, g_buf, 1, n); }, nullptr},
      {"vx_comm_writeBlocking", [](ViInt32 id, ViInt32* n) { return vx_comm_writeBlocking(id, "x", 1, n); }, nullptr},
      {"vx_comm_readBlocking", [](ViInt32 id, ViInt32* n) { return vx_comm_readBlocking(id, g_buf, 1, n); }, nullptr},
      {"vx_comm_clear", [](ViInt32 id, ViInt32*) { return vx_comm_clear(id); },
       "vx_comm_clear() error: VI_ERROR_CONN_LOST"},
      {"vx_comm_clear_async", [](ViInt32 id, ViInt32*) { return vx_comm_clear_async(id); },
       "vx_comm_clear_async() error: VI_ERROR_CONN_LOST"},
      {"vx_comm_setTmoMs", [](ViInt32 id, ViInt32*) { return vx_comm_setTmoMs(id, 10); },
       "vx_comm_setTmoMs() error: VI_ERROR_CONN_LOST"},
      {"vx_comm_puts", [](ViInt32 id, ViInt32* n) { return vx_comm_puts(id, "*IDN?", 0, n); },
       "vx_comm_puts() error: VI_ERROR_CONN_LOST"},
      {"vx_comm_gets", [](ViInt32 id, ViInt32* n) { return vx_comm_gets(id, g_buf, sizeof g_buf, n); },
       "vx_comm_gets() error: VI_ERROR_CONN_LOST"},
      {"vx_comm_writeBlockSize", [](ViInt32 id, ViInt32*) { return vx_comm_writeBlockSize(id, "X", 5); }, nullptr},
      {"vx_comm_writeBlock", [](ViInt32 id, ViInt32*) { return vx_comm_writeBlock(id, "X", "abcde", 5); }, nullptr},
      {"vx_comm_writeBlockFile",
       [](ViInt32 id, ViInt32*) { return vx_comm_writeBlockFile(id, "X", unwritable_name().c_str()); }, nullptr},
      {"vx_comm_readBlockSize", [](ViInt32 id, ViInt32* n) { return vx_comm_readBlockSize(id, "BLOCK? 5", n); },
       nullptr},
      {"vx_comm_readBlockData",
       [](ViInt32 id, ViInt32* n) { return vx_comm_readBlockData(id, g_buf, sizeof g_buf, n); }, nullptr},
      {"vx_comm_readBlock",
       [](ViInt32 id, ViInt32* n) { return vx_comm_readBlock(id, "BLOCK? 5", g_buf, sizeof g_buf, n); }, nullptr},
      {"vx_comm_readBlock_async",
       [](ViInt32 id, ViInt32* n) { return vx_comm_readBlock_async(id, "BLOCK? 5", g_buf, sizeof g_buf, n); }, nullptr},
      {"vx_comm_readBlockFile",
       [](ViInt32 id, ViInt32*) { return vx_comm_readBlockFile(id, "BLOCK? 5", unwritable_name().c_str()); }, nullptr},
      {"vx_comm_readStb",
       [](ViInt32 id, ViInt32*) {
         ViUInt16 stb = 77;
         return vx_comm_readStb(id, &stb);
       },
       "vx_comm_readStb() error: VI_ERROR_CONN_LOST"},
      {"vx_comm_trigger", [](ViInt32 id, ViInt32*) { return vx_comm_trigger(id); },
       "vx_comm_trigger() error: VI_ERROR_CONN_LOST"},
      {"vx_comm_remote", [](ViInt32 id, ViInt32*) { return vx_comm_remote(id, VI_GPIB_REN_ASSERT); },
       "vx_comm_remote() error: VI_ERROR_CONN_LOST"},
      {"vx_comm_lock", [](ViInt32 id, ViInt32*) { return vx_comm_lock(id, 0); },
       "vx_comm_lock() error: VI_ERROR_CONN_LOST"},
      {"vx_comm_unlock", [](ViInt32 id, ViInt32*) { return vx_comm_unlock(id); },
       "vx_comm_unlock() error: VI_ERROR_CONN_LOST"},
      {"vx_usb_close", [](ViInt32 id, ViInt32*) { return vx_usb_close(id); }, nullptr},
      {"vx_usb_puts", [](ViInt32 id, ViInt32* n) { return vx_usb_puts(id, "*IDN?", 0, n); },
       "vx_comm_puts() error: VI_ERROR_CONN_LOST"},
      {"vx_usb_gets", [](ViInt32 id, ViInt32* n) { return vx_usb_gets(id, g_buf, sizeof g_buf, n); },
       "vx_comm_gets() error: VI_ERROR_CONN_LOST"},
      {"vx_usb_write", [](ViInt32 id, ViInt32* n) { return vx_usb_write(id, "x", 1, n); }, nullptr},
      {"vx_usb_read", [](ViInt32 id, ViInt32* n) { return vx_usb_read(id, g_buf, 1, n); }, nullptr},
      {"vx_usb_clear", [](ViInt32 id, ViInt32*) { return vx_usb_clear(id); },
       "vx_comm_clear() error: VI_ERROR_CONN_LOST"},
      {"vx_usb_settmo", [](ViInt32 id, ViInt32*) { return vx_usb_settmo(id, 10); },
       "vx_comm_setTmoMs() error: VI_ERROR_CONN_LOST"},
      {"vx_usb_sendbinary", [](ViInt32 id, ViInt32*) { return vx_usb_sendbinary(id, unwritable_name().c_str()); },
       nullptr},
      {"vx_usb_receivebinary", [](ViInt32 id, ViInt32*) { return vx_usb_receivebinary(id, unwritable_name().c_str()); },
       nullptr},
  };
  return list;
}

// `refusal`: why no transport serves the address (no VISA library is
// loaded in this suite), or empty.
std::vector<std::string> open_lines(const std::string& address, const std::string& refusal) {
  std::vector<std::string> lines{"vx_comm_open(address=" + address + ", tmoMs=0)"};
  if (!refusal.empty())
    lines.push_back(
        "vx_comm_open() error: no usable VISA library is loaded, and the library does not serve this name itself: " +
        refusal);
  // Text the TCP route takes (a TCP- prefix or a leading digit) that is no
  // IPv4 address is named as such first.
  std::string tcp = address.compare(0, 4, "TCP-") == 0 ? address.substr(4) : address;
  if (tcp.size() != address.size() || (!address.empty() && address[0] >= '0' && address[0] <= '9'))
    lines.push_back("vx_comm_open() error: '" + tcp + "' is not an IPv4 address (four decimal numbers of 0 to 255)");
  lines.push_back("vx_comm_open() error: failed opening a physical link");
  lines.push_back("vx_comm_open() returns: linkId=-1");
  return lines;
}

// Addresses that open nothing: too long, empty, not text, malformed.
Row failed_open(const std::string& what, const std::string& address, const std::string& refusal = "") {
  return {what, [address](ViInt32, ViInt32* n) { return vx_comm_open(address.c_str(), 0, n); }, VI_SUCCESS,
          open_lines(address, refusal), -1};
}

std::vector<Row> rows() {
  std::vector<Row> t;
  // A bad linkId is refused before anything else is looked at.
  for (ViInt32 bad : {0, -1, 101, INT_MIN, INT_MAX})
    for (const LinkExport& e : link_exports()) {
      std::vector<std::string> lines;
      if (e.errorLine) lines.push_back(e.errorLine);
      t.push_back({std::string(e.name) + " linkId " + std::to_string(bad),
                   [bad, &e](ViInt32, ViInt32* n) { return e.call(bad, n); }, VI_ERROR_CONN_LOST, lines});
    }
  // The linkId is checked before the pointers.
  t.push_back({"write linkId 0 and null buffer",
               [](ViInt32, ViInt32* n) { return vx_comm_write(0, nullptr, 3, n); },
               VI_ERROR_CONN_LOST,
               {}});
  t.push_back({"readBlockFile linkId 101 and null name",
               [](ViInt32, ViInt32*) { return vx_comm_readBlockFile(101, "X", nullptr); },
               VI_ERROR_CONN_LOST,
               {}});
  t.push_back({"puts linkId -1 and null cmd",
               [](ViInt32, ViInt32* n) { return vx_comm_puts(-1, nullptr, 0, n); },
               VI_ERROR_CONN_LOST,
               {"vx_comm_puts() error: VI_ERROR_CONN_LOST"}});
  t.push_back({"gets linkId 0 and null buf",
               [](ViInt32, ViInt32* n) { return vx_comm_gets(0, nullptr, 10, n); },
               VI_ERROR_CONN_LOST,
               {"vx_comm_gets() error: VI_ERROR_CONN_LOST"}});
  // Null pointers on a valid link.
  const ViStatus SYS = VI_ERROR_SYSTEM_ERROR;
  t.push_back({"write null buffer", [](ViInt32 id, ViInt32* n) { return vx_comm_write(id, nullptr, 3, n); }, SYS, {}});
  t.push_back({"read null buffer", [](ViInt32 id, ViInt32* n) { return vx_comm_read(id, nullptr, 3, n); }, SYS, {}});
  t.push_back({"writeBlocking null buffer",
               [](ViInt32 id, ViInt32* n) { return vx_comm_writeBlocking(id, nullptr, 3, n); },
               SYS,
               {}});
  t.push_back({"readBlocking null buffer",
               [](ViInt32 id, ViInt32* n) { return vx_comm_readBlocking(id, nullptr, 3, n); },
               SYS,
               {}});
  t.push_back({"puts null cmd", [](ViInt32 id, ViInt32* n) { return vx_comm_puts(id, nullptr, 0, n); }, SYS, {}});
  t.push_back({"gets null buf", [](ViInt32 id, ViInt32* n) { return vx_comm_gets(id, nullptr, 9, n); }, SYS, {}});
  t.push_back({"writeBlock null buffer",
               [](ViInt32 id, ViInt32*) { return vx_comm_writeBlock(id, "X", nullptr, 5); },
               SYS,
               {}});
  t.push_back({"writeBlockFile null name",
               [](ViInt32 id, ViInt32*) { return vx_comm_writeBlockFile(id, "X", nullptr); },
               SYS,
               {}});
  t.push_back({"readBlockData null buffer",
               [](ViInt32 id, ViInt32* n) { return vx_comm_readBlockData(id, nullptr, 5, n); },
               SYS,
               {}});
  t.push_back({"readBlock null buffer",
               [](ViInt32 id, ViInt32* n) { return vx_comm_readBlock(id, "BLOCK? 5", nullptr, 5, n); },
               SYS,
               {}});
  t.push_back({"readBlock_async null buffer",
               [](ViInt32 id, ViInt32* n) { return vx_comm_readBlock_async(id, "BLOCK? 5", nullptr, 5, n); },
               SYS,
               {}});
  t.push_back({"readBlockFile null name",
               [](ViInt32 id, ViInt32*) { return vx_comm_readBlockFile(id, "BLOCK? 5", nullptr); },
               SYS,
               {}});
  t.push_back({"readStb null stb", [](ViInt32 id, ViInt32*) { return vx_comm_readStb(id, nullptr); }, SYS, {}});
  t.push_back({"readStb linkId 0 and null stb",
               [](ViInt32, ViInt32*) { return vx_comm_readStb(0, nullptr); },
               VI_ERROR_CONN_LOST,
               {"vx_comm_readStb() error: VI_ERROR_CONN_LOST"}});
  for (ViUInt16 mode : {(ViUInt16)7, (ViUInt16)0xFFFF})
    t.push_back({"remote mode " + std::to_string(mode),
                 [mode](ViInt32 id, ViInt32*) { return vx_comm_remote(id, mode); }, SYS, {}});
  t.push_back({"lock negative timeout", [](ViInt32 id, ViInt32*) { return vx_comm_lock(id, -1); }, SYS, {}});
  t.push_back({"sendbinary null name", [](ViInt32 id, ViInt32*) { return vx_usb_sendbinary(id, nullptr); }, SYS, {}});
  t.push_back(
      {"receivebinary null name", [](ViInt32 id, ViInt32*) { return vx_usb_receivebinary(id, nullptr); }, SYS, {}});
  t.push_back({"open null address", [](ViInt32, ViInt32* n) { return vx_comm_open(nullptr, 0, n); }, SYS, {}});
  t.push_back(
      {"open null linkId", [](ViInt32, ViInt32*) { return vx_comm_open("TCP-127.0.0.2", 0, nullptr); }, SYS, {}});
  t.push_back({"null log path does nothing",
               [](ViInt32 id, ViInt32*) {
                 vx_usb_startdebug(nullptr);
                 return vx_comm_setTmoMs(id, 1000);
               },
               VI_SUCCESS,
               {"vx_comm_setTmoMs(linkId=@, tmoMs=1000)", "vx_comm_setTmoMs() returns: status=0"}});
  t.push_back({"vx_usb_open null address", [](ViInt32, ViInt32*) { return (ViStatus)vx_usb_open(nullptr); }, -1, {}});
  t.push_back({"find null devices",
               [](ViInt32, ViInt32* n) { return vx_comm_find(nullptr, 10, 100, n, IFACE_LAN); },
               SYS,
               {},
               kUntouched,
               true});
  // Negative and huge counts: nothing moves.
  t.push_back({"writeBlocking count -1",
               [](ViInt32 id, ViInt32* n) { return vx_comm_writeBlocking(id, "x", -1, n); },
               VI_SUCCESS,
               {"vx_comm_writeBlocking(linkId=@, buffer=*, count=-1, retCount=*)",
                "vx_comm_writeBlocking() returns: status=0, retCount=77"}});
  t.push_back({"readBlocking count INT_MIN",
               [](ViInt32 id, ViInt32* n) { return vx_comm_readBlocking(id, g_buf, INT_MIN, n); },
               VI_SUCCESS,
               {"vx_comm_readBlocking(linkId=@, buffer=*, count=-2147483648, retCount=*)",
                "vx_comm_readBlocking() returns: status=0, retCount=77"}});
  t.push_back(
      {"gets count -5",
       [](ViInt32 id, ViInt32* n) { return vx_comm_gets(id, g_buf, -5, n); },
       VI_SUCCESS,
       {"vx_comm_gets(linkId=@, buf=*, count=-5, retCount=*)", "vx_comm_gets() returns: status=0, buf=, retCount=0"},
       0});
  const std::string ws = "vx_comm_writeBlockSize", wb = "vx_comm_writeBlock";
  t.push_back({"writeBlockSize count -1", [](ViInt32 id, ViInt32*) { return vx_comm_writeBlockSize(id, "X", -1); }, SYS,
               traced(ws + "(linkId=@, cmd=X, count=-1)", {}, ws + kSysResult)});
  t.push_back({"writeBlockSize count 10^9",
               [](ViInt32 id, ViInt32*) { return vx_comm_writeBlockSize(id, "X", 1000000000); }, SYS,
               traced(ws + "(linkId=@, cmd=X, count=1000000000)", {}, ws + kSysResult)});
  t.push_back({"writeBlock count INT_MAX",
               [](ViInt32 id, ViInt32*) { return vx_comm_writeBlock(id, "X", g_buf, INT_MAX); }, SYS,
               traced(wb + "(linkId=@, cmd=X, buffer=*, count=2147483647)", {}, wb + kSysResult)});
  t.push_back({"writeBlock count -3", [](ViInt32 id, ViInt32*) { return vx_comm_writeBlock(id, "X", g_buf, -3); }, SYS,
               traced(wb + "(linkId=@, cmd=X, buffer=*, count=-3)", {}, wb + kSysResult)});
  t.push_back({"readBlockData count -1 without a block",
               [](ViInt32 id, ViInt32* n) { return vx_comm_readBlockData(id, g_buf, -1, n); },
               VI_SUCCESS,
               {"vx_comm_readBlockData(linkId=@, buffer=*, count=-1, retCount=*)",
                "vx_comm_readBlockData() returns: status=0, retCount=0"},
               0});
  t.push_back({"find count -1",
               [](ViInt32, ViInt32* n) { return vx_comm_find(g_buf, 10, -1, n, IFACE_LAN); },
               VI_SUCCESS_MAX_CNT,
               {"vx_comm_find(devices=*, tmoMs=10, count=-1, retCount=*, iface=1)"},
               kUntouched,
               true});
  t.push_back({"find count INT_MAX, nothing selected",
               [](ViInt32, ViInt32* n) { return vx_comm_find(g_buf, 10, INT_MAX, n, 0); },
               VI_SUCCESS,
               {"vx_comm_find(devices=*, tmoMs=10, count=2147483647, retCount=*, iface=0)",
                "vx_comm_find() returns: status=0, retCount=0"},
               0,
               true});
  // Addresses.
  t.push_back(failed_open("long VISA-like address", std::string(5000, 'A'), "the name is longer than 255 characters"));
  t.push_back(failed_open("long TCP address", "TCP-" + std::string(5000, '1')));
  t.push_back(failed_open("long USB address", "USB-" + std::string(5000, '0')));
  t.push_back(failed_open("empty address", "", "the name is empty"));
  t.push_back(failed_open("address that is not text", "\x80\xff\x01\x7f", "not a TCPIP or USB resource name"));
  t.push_back(failed_open("long SOCKET name", "TCPIP0::" + std::string(5000, 'h') + "::18::SOCKET",
                          "the name is longer than 255 characters"));
  t.push_back(failed_open("SOCKET name with a port too large", "TCPIP0::127.0.0.2::65536::SOCKET",
                          "the port is not a number of 1 to 65535"));
  t.push_back(failed_open("TCP address with garbage", "TCP-1.2.3.4.5"));
  t.push_back(failed_open("digit address with garbage", "9x"));
  t.push_back(failed_open("USB serial too short", "USB-12"));
  // File names that are folders or cannot be written.
  const std::string wf = "vx_comm_writeBlockFile", rf = "vx_comm_readBlockFile";
  t.push_back({"writeBlockFile of a folder",
               [](ViInt32 id, ViInt32*) { return vx_comm_writeBlockFile(id, "X", dir_name().c_str()); }, SYS,
               traced(wf + "(linkId=@, cmd=X, fileName=" + dir_name() + ")",
                      file_lines("vx_comm_writeBlockFile", "open", dir_name(), "rb"), wf + kSysResult)});
  t.push_back({"writeBlockFile of a file that does not exist",
               [](ViInt32 id, ViInt32*) { return vx_comm_writeBlockFile(id, "X", unwritable_name().c_str()); }, SYS,
               traced(wf + "(linkId=@, cmd=X, fileName=" + unwritable_name() + ")",
                      file_lines("vx_comm_writeBlockFile", "open", unwritable_name(), "rb"), wf + kSysResult)});
  t.push_back({"readBlockFile into a folder",
               [](ViInt32 id, ViInt32*) { return vx_comm_readBlockFile(id, "BLOCK? 5", dir_name().c_str()); }, SYS,
               traced(rf + "(linkId=@, cmd=BLOCK? 5, fileName=" + dir_name() + ")",
                      file_lines("vx_comm_readBlockFile", "create", dir_name(), "wb"), rf + kSysResult)});
  t.push_back({"readBlockFile into an unwritable place",
               [](ViInt32 id, ViInt32*) { return vx_comm_readBlockFile(id, "BLOCK? 5", unwritable_name().c_str()); },
               SYS,
               traced(rf + "(linkId=@, cmd=BLOCK? 5, fileName=" + unwritable_name() + ")",
                      file_lines("vx_comm_readBlockFile", "create", unwritable_name(), "wb"), rf + kSysResult)});
  t.push_back({"sendbinary of a folder", [](ViInt32 id, ViInt32*) { return vx_usb_sendbinary(id, dir_name().c_str()); },
               SYS,
               traced(wf + "(linkId=@, cmd=(null), fileName=" + dir_name() + ")",
                      file_lines("vx_comm_writeBlockFile", "open", dir_name(), "rb"), wf + kSysResult)});
  t.push_back({"receivebinary into a folder",
               [](ViInt32 id, ViInt32*) { return vx_usb_receivebinary(id, dir_name().c_str()); }, SYS,
               traced(rf + "(linkId=@, cmd=(null), fileName=" + dir_name() + ")",
                      file_lines("vx_comm_readBlockFile", "create", dir_name(), "wb"), rf + kSysResult)});
  return t;
}

// Replaces the "@" of a line by the linkId and drops the %p values, which
// the row cannot know.
std::string shape(std::string line, ViInt32 id) {
  for (size_t at; (at = line.find('@')) != std::string::npos;) line.replace(at, 1, std::to_string(id));
  for (const char* key : {"buffer=", "buf=", "retCount=", "devices="}) {
    size_t at = line.find(key);
    if (at == std::string::npos || line.find(") returns") != std::string::npos) continue;
    size_t end = line.find_first_of(",)", at);
    line.replace(at + strlen(key), end - at - strlen(key), "*");
  }
  return line;
}

TEST(BadArguments, EveryExportGivesItsStatusAndTouchesNothingElse) {
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.what);
    ViInt32 id = row.linkFree ? -1 : open_link("TCP-" + sim_addr());
    if (!row.linkFree) {
      ASSERT_GT(id, 0);
    }
    TempLog log("badargs");
    vx_usb_startdebug(log.path.c_str());
    ViInt32 n = kUntouched;
    EXPECT_EQ(row.want, row.call(id, &n));
    vx_usb_stopdebug();
    EXPECT_EQ(row.wantN, n);
    std::vector<std::string> got;
    for (const std::string& l : log.lines()) got.push_back(shape(l, id));
    std::vector<std::string> want;
    for (const std::string& l : row.lines) want.push_back(shape(l, id));
    EXPECT_EQ(want, got);
    if (row.linkFree) continue;
    // Nothing reached the instrument: it has taken only this query.
    EXPECT_EQ("7\n", query(id, "COUNT?"));
    EXPECT_EQ(VI_SUCCESS, vx_comm_close(id));
  }
}

}  // namespace
