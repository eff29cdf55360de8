// The VISA search over a fake VISA library handed out by a fake loader:
// resource names of any length, counts that disagree with the list, and
// per resource the status of each call and the reply, from the input.
// The text is a concatenation of the entries a model expects (workers
// append in any order), each at most once; all of them unless the search
// says the list was cut short; the fields are cut at the commas and at 31
// characters; every session opened is closed exactly once.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "find/find.h"
#include "fuzz_util.h"
#include "platform/dl.h"
#include "transport/visa/visa_binding.h"

namespace {

const ViStatus kNotFound = (ViStatus)(VX_ERROR_BASE_ + 0x3FFF0011);
const char kUntouched = '\x7f';

struct Resource {
  std::string name;
  ViStatus open = VI_SUCCESS, setAttr = VI_SUCCESS, write = VI_SUCCESS, read = VI_SUCCESS;
  std::string reply;
  ViUInt32 reported = 0;  // the count viRead reports, at most what was asked
};

struct Library {
  ViStatus rm = VI_SUCCESS, find = VI_SUCCESS;
  ViUInt32 count = 0;
  std::vector<Resource> resources;
  size_t nextName = 0;
  std::mutex m;
  ViSession lastSession = 0;
  std::map<ViSession, int> sessions;  // -1 manager or list, else resource index; erased when closed
  int badCloses = 0;
  std::vector<std::string> opened;

  ViSession add(int what) {
    std::lock_guard<std::mutex> hold(m);
    sessions[++lastSession] = what;
    return lastSession;
  }
  const Resource* of(ViSession s) {
    std::lock_guard<std::mutex> hold(m);
    auto it = sessions.find(s);
    return it == sessions.end() || it->second < 0 ? nullptr : &resources[(size_t)it->second];
  }
  // Writes a name as a library would: at most the buffer's 256 bytes,
  // the NUL only where it fits.
  void put_name(ViChar* desc, const std::string& name) {
    size_t n = std::min<size_t>(name.size(), VI_FIND_BUFLEN);
    memcpy(desc, name.data(), n);
    if (n < VI_FIND_BUFLEN) desc[n] = '\0';
  }
};
Library* g;

ViStatus f_openRM(ViSession* s) {
  if (g->rm != VI_SUCCESS) return g->rm;
  *s = g->add(-1);
  return VI_SUCCESS;
}
ViStatus f_findRsrc(ViSession, const ViChar* expr, ViFindList* list, ViUInt32* count, ViChar desc[]) {
  VX_FUZZ_CHECK(strcmp(expr, "?*USB?*INSTR") == 0);
  if (g->find != VI_SUCCESS) return g->find;
  *list = g->add(-1);
  *count = g->count;
  g->nextName = 1;
  if (!g->resources.empty()) g->put_name(desc, g->resources[0].name);
  return VI_SUCCESS;
}
ViStatus f_findNext(ViFindList, ViChar desc[]) {
  if (g->nextName >= g->resources.size()) return kNotFound;
  g->put_name(desc, g->resources[g->nextName++].name);
  return VI_SUCCESS;
}
ViStatus f_open(ViSession, const ViChar* name, ViAccessMode, ViUInt32, ViSession* vi) {
  {
    std::lock_guard<std::mutex> hold(g->m);
    g->opened.push_back(name);
  }
  for (size_t i = 0; i < g->resources.size(); ++i) {
    if (g->resources[i].name != name) continue;
    if (g->resources[i].open != VI_SUCCESS) return g->resources[i].open;
    *vi = g->add((int)i);
    return VI_SUCCESS;
  }
  return kNotFound;
}
ViStatus f_close(ViObject vi) {
  std::lock_guard<std::mutex> hold(g->m);
  if (g->sessions.erase(vi) != 1) ++g->badCloses;
  return VI_SUCCESS;
}
ViStatus f_read(ViSession vi, ViByte* buf, ViUInt32 cnt, ViUInt32* ret) {
  const Resource* r = g->of(vi);
  if (!r) return kNotFound;
  size_t n = std::min<size_t>(r->reply.size(), cnt);
  memcpy(buf, r->reply.data(), n);
  *ret = std::min<ViUInt32>(r->reported, cnt);
  return r->read;
}
ViStatus f_write(ViSession vi, const ViByte*, ViUInt32 cnt, ViUInt32* ret) {
  const Resource* r = g->of(vi);
  if (!r) return kNotFound;
  *ret = cnt;
  return r->write;
}
ViStatus f_clear(ViSession) { return VI_SUCCESS; }
ViStatus f_setAttribute(ViObject vi, ViAttr, ViAttrState) {
  const Resource* r = g->of(vi);
  return r ? r->setAttr : kNotFound;
}

template <typename F>
void* as_ptr(F f) {
  return reinterpret_cast<void*>(f);
}
int g_token;
void* l_open(const char*) { return &g_token; }
void* l_sym(void*, const char* name) {
  const char* names[] = {"viOpenDefaultRM", "viFindRsrc", "viFindNext", "viOpen",        "viClose",
                         "viRead",          "viWrite",    "viClear",    "viSetAttribute"};
  void* fns[] = {as_ptr(f_openRM), as_ptr(f_findRsrc), as_ptr(f_findNext), as_ptr(f_open),        as_ptr(f_close),
                 as_ptr(f_read),   as_ptr(f_write),    as_ptr(f_clear),    as_ptr(f_setAttribute)};
  for (size_t i = 0; i < 9; ++i)
    if (strcmp(names[i], name) == 0) return fns[i];
  return nullptr;
}
void l_close(void*) {}
const VisaLoader kLoader = {vxp_visa_file_name, l_open, l_sym, l_close};

ViStatus status_of(uint8_t b) {
  const ViStatus kinds[] = {VI_SUCCESS, VI_SUCCESS, VI_SUCCESS, VI_SUCCESS, VI_SUCCESS_TERM_CHAR,
                            VI_SUCCESS_MAX_CNT, VI_ERROR_TMO, kNotFound};
  return kinds[b % 8];
}

// The text up to the next comma, cut to 31 characters; null without one.
const char* field(const char* from, std::string* out) {
  if (!from) return nullptr;
  const char* comma = strchr(from, ',');
  if (!comma) return nullptr;
  *out = std::string(from, std::min<size_t>((size_t)(comma - from), 31));
  return comma + 1;
}

// Removes a concatenation of entries from the front of text, each used once.
bool made_of(const std::string& text, size_t at, std::vector<std::string>& entries, std::vector<bool>& used) {
  if (at == text.size()) return true;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (used[i] || text.compare(at, entries[i].size(), entries[i]) != 0) continue;
    used[i] = true;
    if (made_of(text, at + entries[i].size(), entries, used)) return true;
    used[i] = false;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vx_fuzz_init();
  static bool loaded = (vx_visa_set_loader(&kLoader), vx_comm_loadVisa() == VI_SUCCESS);
  VX_FUZZ_CHECK(loaded);
  FuzzedDataProvider in(data, size);
  Library lib;
  g = &lib;
  const int capacity = in.ConsumeIntegralInRange<int>(1, 400);
  const uint8_t failures = in.ConsumeIntegral<uint8_t>();
  lib.rm = failures == 255 ? VI_ERROR_TMO : VI_SUCCESS;
  lib.find = failures == 254 ? kNotFound : VI_SUCCESS;
  const uint8_t many = in.ConsumeIntegral<uint8_t>();
  const size_t n = many < 248 ? many % 6 : 60 + (many - 248);  // up to 67
  const uint8_t counted = in.ConsumeIntegral<uint8_t>();
  lib.count = counted < 200 ? (ViUInt32)n : counted < 230 ? (ViUInt32)n + counted % 3 : (ViUInt32)(counted % 70);
  for (size_t i = 0; i < n; ++i) {
    Resource r;
    uint8_t l = in.ConsumeIntegral<uint8_t>();
    r.name = in.ConsumeBytesAsString(l < 200 ? l % 40 : 110 + (l - 200) * 4);
    r.open = status_of(in.ConsumeIntegral<uint8_t>());
    r.setAttr = status_of(in.ConsumeIntegral<uint8_t>());
    r.write = status_of(in.ConsumeIntegral<uint8_t>());
    r.read = status_of(in.ConsumeIntegral<uint8_t>());
    uint8_t how = in.ConsumeIntegral<uint8_t>();
    if (how & 1) r.reply = "Vextron AG,";
    r.reply += in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 140));
    // Mostly the bytes written; sometimes another count up to the buffer.
    r.reported = how < 200 ? (ViUInt32)std::min<size_t>(r.reply.size(), 128) : (ViUInt32)((how - 200) * 2 + 20);
    lib.resources.push_back(r);
  }
  if (lib.rm != VI_SUCCESS) lib.resources.clear();

  // The search, as it is meant to go: the names as the description buffer
  // carries them, then what each probe lists.
  bool skipped = lib.count > 64;
  std::vector<std::string> expected, probed;
  char desc[VI_FIND_BUFLEN + 1] = {};
  if (!lib.resources.empty()) lib.put_name(desc, lib.resources[0].name);
  for (size_t i = 0, next = 1; i < std::min<ViUInt32>(lib.count, 64); ++i) {
    std::string name(desc);
    if (name.size() > 126) {
      skipped = true;
    } else if (!name.empty()) {
      probed.push_back(name);
      for (const Resource& r : lib.resources) {
        if (r.name != name) continue;
        ViStatus s = r.open != VI_SUCCESS ? (ViStatus)-1 : r.setAttr;
        if (s == VI_SUCCESS) s = r.write;
        if (s == VI_SUCCESS) s = r.read;
        size_t got = r.reported >= 128 ? 0 : r.reported;
        std::string reply = r.reply.substr(0, got);
        reply.resize(got, '\0');  // what the library did not write stays zero
        reply = reply.c_str();
        std::string maker, model, serial;
        field(field(field(reply.c_str(), &maker), &model), &serial);
        if (s == VI_SUCCESS && got > 0 && maker == "Vextron AG")
          expected.push_back(vx_fuzz_field(model) + ":" + vx_fuzz_field(serial) + ":" + name + ";");
        break;
      }
    }
    if (next < lib.resources.size()) lib.put_name(desc, lib.resources[next++].name);
  }

  std::vector<char> text((size_t)capacity + 16, kUntouched);
  int length = -1;
  ViStatus s = vx_visa_scan(text.data(), 1000, capacity, &length);
  g = nullptr;

  VX_FUZZ_CHECK(lib.badCloses == 0 && lib.sessions.empty());
  for (size_t i = (size_t)capacity; i < text.size(); ++i) VX_FUZZ_CHECK(text[i] == kUntouched);
  VX_FUZZ_CHECK(length >= 0 && length < capacity && text[(size_t)length] == '\0');
  VX_FUZZ_CHECK(strlen(text.data()) == (size_t)length);
  if (lib.rm != VI_SUCCESS || lib.find != VI_SUCCESS) {
    VX_FUZZ_CHECK(s == VI_ERROR_SYSTEM_ERROR && length == 0 && lib.opened.empty());
    return 0;
  }
  std::sort(lib.opened.begin(), lib.opened.end());
  std::sort(probed.begin(), probed.end());
  VX_FUZZ_CHECK(lib.opened == probed);
  std::vector<bool> used(expected.size(), false);
  VX_FUZZ_CHECK(made_of(std::string(text.data(), (size_t)length), 0, expected, used));
  bool all = std::find(used.begin(), used.end(), false) == used.end();
  VX_FUZZ_CHECK(s == (skipped || !all ? VI_SUCCESS_MAX_CNT : VI_SUCCESS));
  return 0;
}
