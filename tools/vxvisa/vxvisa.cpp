// The fixture VISA library; see vxvisa.h for the resource table.
#include "vxvisa.h"

#include <atomic>
#include <chrono>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/net.h"

namespace {

// Values from the VISA standard.
const ViStatus kErrorInvObject = (ViStatus)0xBFFF000EUL;
const ViStatus kErrorRsrcNotFound = (ViStatus)0xBFFF0011UL;
const ViStatus kErrorNsupAttr = (ViStatus)0xBFFF001DUL;
const ViStatus kWarnDevNotPresent = (ViStatus)0x3FFF007DUL;
const ViStatus kErrorInvProt = (ViStatus)0xBFFF0079UL;
const ViStatus kErrorInvMode = (ViStatus)0xBFFF0091UL;
const ViUInt16 kLastRenMode = 6;  // VI_GPIB_REN_ADDRESS_GTL
const ViStatus kErrorInvLockType = (ViStatus)0xBFFF0020UL;
const ViStatus kErrorSesnNlocked = (ViStatus)0xBFFF009CUL;
const ViStatus kErrorInvEvent = (ViStatus)0xBFFF0026UL;
const ViStatus kErrorInvMech = (ViStatus)0xBFFF0027UL;
const ViStatus kSuccessEventEn = (ViStatus)0x3FFF0002UL;
const ViStatus kSuccessEventDis = (ViStatus)0x3FFF0003UL;
const ViEventType kAllEnabledEvents = 0x3FFF7FFFu;
const ViUInt16 kAllMech = 0xFFFF;
const int kEventQueueLength = 50;  // VI_ATTR_MAX_QUEUE_LENGTH's default
const ViUInt16 kRqs = 0x40;
const ViUInt32 kTmoInfinite = 0xFFFFFFFFu;
const uint16_t kPort = 18;
const uint32_t kDefaultTmoMs = 2000;

enum Kind { KIND_TCP, KIND_IDN, KIND_SCRIPT, KIND_OPENFAIL };

struct Step {
  ViStatus status;
  bool all;  // the whole count asked
  ViUInt32 bytes;
};

struct Resource {
  std::string name;
  Kind kind = KIND_TCP;
  std::string arg;               // tcp: address; idn: reply text
  ViStatus status = VI_SUCCESS;  // openfail
  std::vector<Step> reads, writes;
};

struct Table {
  bool rmFails = false;
  ViStatus rmStatus = VI_SUCCESS;
  std::vector<Resource> resources;
};

struct Session {
  enum { RM, FIND, DEVICE, EVENT } type;
  std::shared_ptr<const Table> table;  // RM
  std::vector<std::string> found;      // FIND
  size_t next = 0;
  Resource rsrc;  // DEVICE
  vxp_socket sock = VXP_BAD_SOCKET;
  std::mutex lock;  // scripted state below
  size_t readStep = 0, writeStep = 0;
  std::string pending;    // idn reply not yet read
  int triggers = 0;       // viAssertTrigger calls
  int renMode = -1;       // the last viGpibControlREN mode
  bool rqs = false;       // a service request not yet read by viReadSTB
  bool srqQueue = false;  // VI_EVENT_SERVICE_REQ enabled for VI_QUEUE
  int srqQueued = 0;      // events in the queue
  bool closed = false;    // viClose: waits end
  std::condition_variable changed;
  ~Session() {
    if (sock != VXP_BAD_SOCKET) {
      vxp_socket_close(sock);
      vxp_net_cleanup();
    }
  }
};

std::mutex g_lock;
std::map<ViUInt32, std::shared_ptr<Session>> g_sessions;
// g_lock's: the session holding each resource's exclusive lock (viLock).
std::map<std::string, ViSession> g_lockOwner;
ViUInt32 g_lastSession = 0;
bool g_tableSet = false;
std::string g_tableText;

std::mutex g_countLock;
std::map<std::string, int> g_counts;

std::string g_failArmed;  // the VXVISA_FAIL value last seen
int g_failCalls = 0;      // calls since it was seen

// Counts the call; returns the status it must fail with (VI_SUCCESS: none).
// VXVISA_FAIL="<k>:<status>[:<tag>]" fails the k-th call of any of the
// functions counted from the first call that saw this value (a new tag
// starts a new count).
ViStatus count(const char* function) {
  std::lock_guard<std::mutex> hold(g_countLock);
  ++g_counts[function];
  const char* fail = getenv("VXVISA_FAIL");
  if (!fail || !*fail) return VI_SUCCESS;
  if (g_failArmed != fail) {
    g_failArmed = fail;
    g_failCalls = 0;
  }
  char* rest = nullptr;
  long k = strtol(fail, &rest, 10);
  if (++g_failCalls != k || !rest || *rest != ':') return VI_SUCCESS;
  return (ViStatus)strtoll(rest + 1, nullptr, 10);
}

bool parse_status(const std::string& t, ViStatus* out) {
  if (t == "ok")
    *out = VI_SUCCESS;
  else if (t == "term")
    *out = VI_SUCCESS_TERM_CHAR;
  else if (t == "max")
    *out = VI_SUCCESS_MAX_CNT;
  else if (t == "tmo")
    *out = VI_ERROR_TMO;
  else if (t == "warn")
    *out = kWarnDevNotPresent;
  else if (!t.empty())
    *out = (ViStatus)strtoll(t.c_str(), nullptr, 10);
  else
    return false;
  return true;
}

bool parse_step(const std::string& t, Step* step, char* which) {
  if (t.size() < 4 || (t[0] != 'r' && t[0] != 'w') || t[1] != ':') return false;
  size_t colon = t.find(':', 2);
  if (colon == std::string::npos) return false;
  *which = t[0];
  if (!parse_status(t.substr(2, colon - 2), &step->status)) return false;
  std::string n = t.substr(colon + 1);
  step->all = n == "all";
  step->bytes = step->all ? 0 : (ViUInt32)strtoul(n.c_str(), nullptr, 10);
  return true;
}

std::shared_ptr<const Table> parse_table(const std::string& text) {
  auto table = std::make_shared<Table>();
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string name, kind;
    if (!(words >> name) || name[0] == '#') continue;
    if (name == "rmfail") {
      std::string s;
      words >> s;
      table->rmFails = parse_status(s, &table->rmStatus);
      continue;
    }
    if (!(words >> kind)) continue;
    Resource r;
    r.name = name;
    if (kind == "tcp") {
      r.kind = KIND_TCP;
      words >> r.arg;
    } else if (kind == "idn") {
      r.kind = KIND_IDN;
      std::getline(words, r.arg);
      if (!r.arg.empty() && r.arg[0] == ' ') r.arg.erase(0, 1);
    } else if (kind == "openfail") {
      r.kind = KIND_OPENFAIL;
      std::string s;
      words >> s;
      parse_status(s, &r.status);
    } else if (kind == "script") {
      r.kind = KIND_SCRIPT;
      std::string t;
      while (words >> t) {
        Step step{};
        char which = 0;
        if (parse_step(t, &step, &which)) (which == 'r' ? r.reads : r.writes).push_back(step);
      }
    } else {
      continue;
    }
    table->resources.push_back(r);
  }
  return table;
}

std::shared_ptr<const Table> load_table() {
  std::string text;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_tableSet) return parse_table(g_tableText);
  }
  const char* path = getenv("VXVISA_TABLE");
  if (path && *path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    text = ss.str();
  }
  return parse_table(text);
}

// The VISA standard's expressions, as far as resource searches use them:
// '?' is any one character, '*' repeats what precedes it (so "?*" is any
// text); letters compare without regard to case.
bool atom_matches(char p, char c) { return p == '?' || tolower((unsigned char)p) == tolower((unsigned char)c); }
bool matches(const char* p, const char* s) {
  if (!*p) return !*s;
  if (p[1] == '*') return matches(p + 2, s) || (*s && atom_matches(*p, *s) && matches(p, s + 1));
  return *s && atom_matches(*p, *s) && matches(p + 1, s + 1);
}

ViUInt32 add_session(std::shared_ptr<Session> s) {
  std::lock_guard<std::mutex> hold(g_lock);
  ViUInt32 id = ++g_lastSession;
  g_sessions[id] = std::move(s);
  return id;
}

std::shared_ptr<Session> session(ViUInt32 id) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto it = g_sessions.find(id);
  return it == g_sessions.end() ? nullptr : it->second;
}

void copy_name(const std::string& name, ViChar* desc) {
  size_t n = name.size() < VI_FIND_BUFLEN - 1 ? name.size() : VI_FIND_BUFLEN - 1;
  memcpy(desc, name.data(), n);
  desc[n] = '\0';
}

// "TCPIP0::<address>::18::SOCKET" without a table line.
bool socket_name(const char* name, Resource* r) {
  const char prefix[] = "TCPIP0::", suffix[] = "::18::SOCKET";
  size_t len = strlen(name), pre = sizeof prefix - 1, suf = sizeof suffix - 1;
  if (len <= pre + suf || strncmp(name, prefix, pre) != 0 || strcmp(name + len - suf, suffix) != 0) return false;
  r->name = name;
  r->kind = KIND_TCP;
  r->arg.assign(name + pre, len - pre - suf);
  return true;
}

void set_tmo(vxp_socket s, ViUInt32 ms) {
  // VI_TMO_IMMEDIATE (0) as the shortest wait, VI_TMO_INFINITE as none.
  vxp_set_recv_timeout(s, ms == kTmoInfinite ? 0 : ms == 0 ? 1 : ms);
}

const Step& step_at(const std::vector<Step>& steps, size_t* at) {
  const Step& s = steps[*at < steps.size() ? *at : steps.size() - 1];
  ++*at;
  return s;
}

// VXVISA_MARKER names a file written when the library is loaded, so that a
// test can tell whether a load reached this file at all.
const bool g_marked = [] {
  const char* marker = getenv("VXVISA_MARKER");
  if (marker && *marker) std::ofstream(marker, std::ios::binary) << "loaded\n";
  return true;
}();

}  // namespace

void vxvisa_set_table(const std::string& text) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_tableSet = true;
  g_tableText = text;
}

int vxvisa_calls(const char* function) {
  std::lock_guard<std::mutex> hold(g_countLock);
  auto it = g_counts.find(function);
  return it == g_counts.end() ? 0 : it->second;
}

void vxvisa_reset() {
  std::map<ViUInt32, std::shared_ptr<Session>> gone;
  std::lock_guard<std::mutex> hold(g_lock);
  gone.swap(g_sessions);
}

int vxvisa_open_sessions() {
  std::lock_guard<std::mutex> hold(g_lock);
  return (int)g_sessions.size();
}

extern "C" ViStatus viOpenDefaultRM(ViSession* sesn) {
  if (ViStatus fault = count("viOpenDefaultRM")) return fault;
  auto table = load_table();
  if (table->rmFails) return table->rmStatus;
  auto s = std::make_shared<Session>();
  s->type = Session::RM;
  s->table = table;
  *sesn = add_session(s);
  return VI_SUCCESS;
}

extern "C" ViStatus viFindRsrc(ViSession sesn, const ViChar* expr, ViFindList* findList, ViUInt32* retCnt,
                               ViChar desc[]) {
  if (ViStatus fault = count("viFindRsrc")) return fault;
  auto rm = session(sesn);
  if (retCnt) *retCnt = 0;
  if (!rm || rm->type != Session::RM) return kErrorInvObject;
  auto s = std::make_shared<Session>();
  s->type = Session::FIND;
  for (const Resource& r : rm->table->resources)
    if (matches(expr, r.name.c_str())) s->found.push_back(r.name);
  if (s->found.empty()) return kErrorRsrcNotFound;
  if (retCnt) *retCnt = (ViUInt32)s->found.size();
  if (desc) copy_name(s->found[0], desc);
  s->next = 1;
  *findList = add_session(s);
  return VI_SUCCESS;
}

extern "C" ViStatus viFindNext(ViFindList findList, ViChar desc[]) {
  if (ViStatus fault = count("viFindNext")) return fault;
  auto s = session(findList);
  if (!s || s->type != Session::FIND) return kErrorInvObject;
  std::lock_guard<std::mutex> hold(s->lock);
  if (s->next >= s->found.size()) return kErrorRsrcNotFound;
  if (desc) copy_name(s->found[s->next], desc);
  ++s->next;
  return VI_SUCCESS;
}

extern "C" ViStatus viOpen(ViSession sesn, const ViChar* name, ViAccessMode, ViUInt32, ViSession* vi) {
  if (ViStatus fault = count("viOpen")) return fault;
  auto rm = session(sesn);
  if (!rm || rm->type != Session::RM) return kErrorInvObject;
  auto s = std::make_shared<Session>();
  s->type = Session::DEVICE;
  bool known = false;
  for (const Resource& r : rm->table->resources) {
    if (r.name == name) {
      s->rsrc = r;
      known = true;
      break;
    }
  }
  if (!known && !socket_name(name, &s->rsrc)) return kErrorRsrcNotFound;
  if (s->rsrc.kind == KIND_OPENFAIL) return s->rsrc.status;
  if (s->rsrc.kind == KIND_TCP) {
    if (!vxp_net_startup()) return kErrorRsrcNotFound;
    vxp_socket sock = vxp_tcp_socket();
    if (sock == VXP_BAD_SOCKET || !vxp_tcp_connect(sock, vxp_inet_addr(s->rsrc.arg.c_str()), kPort)) {
      if (sock != VXP_BAD_SOCKET) vxp_socket_close(sock);
      vxp_net_cleanup();
      return kErrorRsrcNotFound;
    }
    vxp_set_nodelay(sock);
    set_tmo(sock, kDefaultTmoMs);
    s->sock = sock;
  }
  *vi = add_session(s);
  return VI_SUCCESS;
}

extern "C" ViStatus viClose(ViObject vi) {
  if (ViStatus fault = count("viClose")) return fault;
  std::shared_ptr<Session> s;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    auto it = g_sessions.find(vi);
    if (it == g_sessions.end()) return kErrorInvObject;
    s = it->second;
    g_sessions.erase(it);
    // A closed session's lock goes with it.
    for (auto o = g_lockOwner.begin(); o != g_lockOwner.end();)
      o = o->second == (ViSession)vi ? g_lockOwner.erase(o) : std::next(o);
  }
  // As VISA libraries do, closing a session ends the calls blocked on it:
  // they return with an error. The socket itself goes with the last of them.
  if (s->sock != VXP_BAD_SOCKET) vxp_socket_interrupt(s->sock);
  {
    std::lock_guard<std::mutex> hold(s->lock);
    s->closed = true;
  }
  s->changed.notify_all();
  return VI_SUCCESS;
}

extern "C" ViStatus viRead(ViSession vi, ViByte* buf, ViUInt32 cnt, ViUInt32* retCnt) {
  if (ViStatus fault = count("viRead")) return fault;
  if (retCnt) *retCnt = 0;
  auto s = session(vi);
  if (!s || s->type != Session::DEVICE) return kErrorInvObject;
  if (s->rsrc.kind == KIND_TCP) {
    // One receive: a whole reply line usually arrives in one piece, and
    // counts as a message ended by the instrument (VI_SUCCESS), as a USB
    // instrument marks its end; a filled buffer is VI_SUCCESS_MAX_CNT.
    int64_t n = cnt == 0 ? 0 : vxp_recv(s->sock, buf, cnt);
    if (n < 0) return VI_ERROR_TMO;
    if (n == 0 && cnt > 0) return VI_ERROR_CONN_LOST;
    if (retCnt) *retCnt = (ViUInt32)n;
    return (ViUInt32)n == cnt ? VI_SUCCESS_MAX_CNT : VI_SUCCESS;
  }
  std::lock_guard<std::mutex> hold(s->lock);
  if (s->rsrc.kind == KIND_IDN) {
    if (s->pending.empty()) return VI_ERROR_TMO;
    ViUInt32 n = s->pending.size() < cnt ? (ViUInt32)s->pending.size() : cnt;
    memcpy(buf, s->pending.data(), n);
    s->pending.erase(0, n);
    if (retCnt) *retCnt = n;
    return s->pending.empty() ? VI_SUCCESS : VI_SUCCESS_MAX_CNT;
  }
  if (s->rsrc.reads.empty()) return VI_ERROR_TMO;
  const Step& step = step_at(s->rsrc.reads, &s->readStep);
  ViUInt32 n = step.all || step.bytes > cnt ? cnt : step.bytes;
  for (ViUInt32 i = 0; i < n; ++i) buf[i] = (ViByte)('a' + i % 26);
  if (retCnt) *retCnt = n;
  return step.status;
}

// "SRQ" written to any device: the instrument requests service. RQS joins
// its status byte until viReadSTB reads it, and the event is queued while
// enabled (up to the queue's length; more are lost, as in VISA).
bool is_srq_command(const ViByte* buf, ViUInt32 cnt) {
  if (cnt < 3 || memcmp(buf, "SRQ", 3) != 0) return false;
  for (ViUInt32 i = 3; i < cnt; ++i)
    if (buf[i] != '\r' && buf[i] != '\n') return false;
  return true;
}

void request_service(Session& s) {
  {
    std::lock_guard<std::mutex> hold(s.lock);
    s.rqs = true;
    if (s.srqQueue && s.srqQueued < kEventQueueLength) ++s.srqQueued;
  }
  s.changed.notify_all();
}

extern "C" ViStatus viWrite(ViSession vi, const ViByte* buf, ViUInt32 cnt, ViUInt32* retCnt) {
  if (ViStatus fault = count("viWrite")) return fault;
  if (retCnt) *retCnt = 0;
  auto s = session(vi);
  if (!s || s->type != Session::DEVICE) return kErrorInvObject;
  if (is_srq_command(buf, cnt)) {
    request_service(*s);
    if (retCnt) *retCnt = cnt;
    return VI_SUCCESS;
  }
  if (s->rsrc.kind == KIND_TCP) {
    ViUInt32 sent = 0;
    while (sent < cnt) {
      int64_t n = vxp_send(s->sock, buf + sent, cnt - sent);
      if (n <= 0) return VI_ERROR_CONN_LOST;
      sent += (ViUInt32)n;
    }
    if (retCnt) *retCnt = sent;
    return VI_SUCCESS;
  }
  std::lock_guard<std::mutex> hold(s->lock);
  if (s->rsrc.kind == KIND_IDN) {
    if (cnt >= 5 && memcmp(buf, "*IDN?", 5) == 0) s->pending = s->rsrc.arg + "\n";
    if (retCnt) *retCnt = cnt;
    return VI_SUCCESS;
  }
  if (s->rsrc.writes.empty()) {
    if (retCnt) *retCnt = cnt;
    return VI_SUCCESS;
  }
  const Step& step = step_at(s->rsrc.writes, &s->writeStep);
  if (retCnt) *retCnt = step.all || step.bytes > cnt ? cnt : step.bytes;
  return step.status;
}

extern "C" ViStatus viClear(ViSession vi) {
  if (ViStatus fault = count("viClear")) return fault;
  auto s = session(vi);
  if (!s || s->type != Session::DEVICE) return kErrorInvObject;
  if (s->rsrc.kind == KIND_TCP) {
    // Input that waits now is dropped; a bounded number of reads.
    ViByte scratch[4096];
    for (int i = 0; i < 256 && vxp_wait_readable(s->sock, 0) > 0; ++i)
      if (vxp_recv(s->sock, scratch, sizeof scratch) <= 0) break;
    return VI_SUCCESS;
  }
  std::lock_guard<std::mutex> hold(s->lock);
  s->pending.clear();
  return VI_SUCCESS;
}

extern "C" ViStatus viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value) {
  if (ViStatus fault = count("viSetAttribute")) return fault;
  auto s = session(vi);
  if (!s || s->type != Session::DEVICE) return kErrorInvObject;
  if (attr != VI_ATTR_TMO_VALUE) return kErrorNsupAttr;
  if (s->rsrc.kind == KIND_TCP) set_tmo(s->sock, (ViUInt32)value);
  return VI_SUCCESS;
}

// The three controls keep what they were asked on the device session, and
// the status byte tells it: the triggers seen times 8, plus the last REN
// mode (7 while none was set), plus RQS (64) once after a service request.
extern "C" ViStatus viReadSTB(ViSession vi, ViUInt16* status) {
  if (ViStatus fault = count("viReadSTB")) return fault;
  auto s = session(vi);
  if (!s || s->type != Session::DEVICE) return kErrorInvObject;
  std::lock_guard<std::mutex> hold(s->lock);
  *status = (ViUInt16)((s->triggers * 8 + (s->renMode < 0 ? 7 : s->renMode) + (s->rqs ? kRqs : 0)) & 0xFFFF);
  s->rqs = false;
  return VI_SUCCESS;
}

extern "C" ViStatus viAssertTrigger(ViSession vi, ViUInt16 protocol) {
  if (ViStatus fault = count("viAssertTrigger")) return fault;
  auto s = session(vi);
  if (!s || s->type != Session::DEVICE) return kErrorInvObject;
  if (protocol != VI_TRIG_PROT_DEFAULT) return kErrorInvProt;
  std::lock_guard<std::mutex> hold(s->lock);
  ++s->triggers;
  return VI_SUCCESS;
}

extern "C" ViStatus viGpibControlREN(ViSession vi, ViUInt16 mode) {
  if (ViStatus fault = count("viGpibControlREN")) return fault;
  auto s = session(vi);
  if (!s || s->type != Session::DEVICE) return kErrorInvObject;
  if (mode > kLastRenMode) return kErrorInvMode;
  std::lock_guard<std::mutex> hold(s->lock);
  s->renMode = mode;
  return VI_SUCCESS;
}

// An exclusive lock per resource name, across the sessions of this
// process: given when free, waited for up to the timeout (capped at 10 s)
// while another session holds it. Shared locks are not served.
extern "C" ViStatus viLock(ViSession vi, ViAccessMode lockType, ViUInt32 timeout, const ViChar* requestedKey,
                           ViChar* accessKey) {
  (void)requestedKey;
  (void)accessKey;
  if (ViStatus fault = count("viLock")) return fault;
  auto s = session(vi);
  if (!s || s->type != Session::DEVICE) return kErrorInvObject;
  if (lockType != VI_EXCLUSIVE_LOCK) return kErrorInvLockType;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout < 10000 ? timeout : 10000);
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(g_lock);
      auto it = g_lockOwner.find(s->rsrc.name);
      if (it == g_lockOwner.end() || it->second == vi) {
        g_lockOwner[s->rsrc.name] = vi;
        return VI_SUCCESS;
      }
    }
    if (std::chrono::steady_clock::now() >= until) return VI_ERROR_RSRC_LOCKED;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

extern "C" ViStatus viUnlock(ViSession vi) {
  if (ViStatus fault = count("viUnlock")) return fault;
  auto s = session(vi);
  if (!s || s->type != Session::DEVICE) return kErrorInvObject;
  std::lock_guard<std::mutex> hold(g_lock);
  auto it = g_lockOwner.find(s->rsrc.name);
  if (it == g_lockOwner.end() || it->second != vi) return kErrorSesnNlocked;
  g_lockOwner.erase(it);
  return VI_SUCCESS;
}

// Service request events through the queue mechanism only.
namespace {
// The device session of an event call, or null with *status saying why.
// The service request event, or all enabled events but to enable; the
// queue mechanism, or all mechanisms but to enable (a wait is the queue's).
std::shared_ptr<Session> event_device(ViSession vi, ViEventType type, ViUInt16 mechanism, bool enabling,
                                      ViStatus* status) {
  auto s = session(vi);
  const bool all = !enabling && type == kAllEnabledEvents;
  const bool queue = mechanism == VI_QUEUE || (!enabling && mechanism == kAllMech);
  *status = !s || s->type != Session::DEVICE       ? kErrorInvObject
            : type != VI_EVENT_SERVICE_REQ && !all ? kErrorInvEvent
            : !queue                               ? kErrorInvMech
                                                   : VI_SUCCESS;
  return *status == VI_SUCCESS ? s : nullptr;
}
}  // namespace

extern "C" ViStatus viEnableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism, ViEventFilter) {
  if (ViStatus fault = count("viEnableEvent")) return fault;
  ViStatus status;
  auto s = event_device(vi, eventType, mechanism, true, &status);
  if (!s) return status;
  std::lock_guard<std::mutex> hold(s->lock);
  if (s->srqQueue) return kSuccessEventEn;
  s->srqQueue = true;
  return VI_SUCCESS;
}

extern "C" ViStatus viDisableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism) {
  if (ViStatus fault = count("viDisableEvent")) return fault;
  ViStatus status;
  auto s = event_device(vi, eventType, mechanism, false, &status);
  if (!s) return status;
  std::lock_guard<std::mutex> hold(s->lock);
  if (!s->srqQueue) return kSuccessEventDis;
  s->srqQueue = false;
  return VI_SUCCESS;
}

extern "C" ViStatus viDiscardEvents(ViSession vi, ViEventType eventType, ViUInt16 mechanism) {
  if (ViStatus fault = count("viDiscardEvents")) return fault;
  ViStatus status;
  auto s = event_device(vi, eventType, mechanism, false, &status);
  if (!s) return status;
  std::lock_guard<std::mutex> hold(s->lock);
  s->srqQueued = 0;
  return VI_SUCCESS;
}

// Waits up to the timeout (VI_TMO_INFINITE: until an event or the session's
// close) and hands out each event as a context of its own, closed by viClose.
extern "C" ViStatus viWaitOnEvent(ViSession vi, ViEventType inEventType, ViUInt32 timeout, ViEventType* outEventType,
                                  ViEvent* outContext) {
  if (ViStatus fault = count("viWaitOnEvent")) return fault;
  ViStatus status;
  auto s = event_device(vi, inEventType, VI_QUEUE, false, &status);
  if (!s) return status;
  {
    std::unique_lock<std::mutex> hold(s->lock);
    if (!s->srqQueue) return VI_ERROR_NENABLED;
    auto ready = [&] { return s->srqQueued > 0 || s->closed; };
    if (timeout == kTmoInfinite)
      s->changed.wait(hold, ready);
    else
      s->changed.wait_for(hold, std::chrono::milliseconds(timeout), ready);
    if (s->closed) return kErrorInvObject;
    if (s->srqQueued == 0) return VI_ERROR_TMO;
    --s->srqQueued;
  }
  auto e = std::make_shared<Session>();
  e->type = Session::EVENT;
  const ViUInt32 id = add_session(e);
  if (outContext) *outContext = id;
  else viClose(id);
  if (outEventType) *outEventType = VI_EVENT_SERVICE_REQ;
  return VI_SUCCESS;
}
