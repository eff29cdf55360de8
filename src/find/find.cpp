// vx_comm_find: runs the selected searches side by side, each on a thread
// and into a buffer of its own, and joins their texts into the caller's
// Device list in table order. Each search waits its tmoMs, so a find of
// several takes about one tmoMs, not their sum.
// Also the Device list entry and the probe workers' shared results.
#include <cstdlib>
#include <cstring>

#include "find/find.h"
#include "link/link_table.h"
#include "log/call_log.h"
#include "log/last_error.h"
#include "platform/thread.h"

namespace {

// Table order is the order of the list: LAN, then USB, then VISA, then
// VXI-11, then mDNS, then USBTMC (last, so the others keep their places).
const FindSearch kSearches[] = {
    {IFACE_LAN, vx_lan_scan},
    {IFACE_USB, vx_usbdev_scan},
    {IFACE_VISA, vx_visa_scan},
    {IFACE_VXI11, vx_vxi11_scan},
    {IFACE_MDNS, vx_mdns_scan},
    {IFACE_USBTMC, vx_usbtmc_scan},
};

const uint32_t kLimitedBroadcast = 0xFFFFFFFFu;  // 255.255.255.255, the same in either byte order
const uint32_t kRequestMarksMs[] = {0, 50, 150, 350, 650};
const int kRequestCount = (int)(sizeof kRequestMarksMs / sizeof kRequestMarksMs[0]);

// The searches spawn their probe workers themselves; this is their own
// thread. The VISA search runs viFindRsrc of whatever VISA library is
// installed on it, so it gets a caller's kind of stack, not a worker's.
const size_t kSearchStack = 512 * 1024;

struct SearchRecord {
  char* text;  // null: not selected, or its buffer could not be had
  int length;
  ViStatus status;
  FindSearchFn run;
  int tmoMs;
  int capacity;
  vxp_thread* thread;  // null: ran on the caller's thread
};

void run_search(void* arg) {
  SearchRecord* r = static_cast<SearchRecord*>(arg);
  r->status = r->run(r->text, r->tmoMs, r->capacity, &r->length);
}

// The address field of the entry [begin, end): after its second ':'; null
// for text that is not an entry.
const char* address_of(const char* begin, const char* end) {
  const char* first = static_cast<const char*>(memchr(begin, ':', (size_t)(end - begin)));
  if (!first) return nullptr;
  const char* second = static_cast<const char*>(memchr(first + 1, ':', (size_t)(end - first - 1)));
  return second ? second + 1 : nullptr;
}

// Two searches can reach one instrument by the same route (VXI-11 and mDNS
// both list ::inst0::INSTR): each address stays where it came first, later
// entries naming it go. Returns the list's new length, NUL-terminated.
int64_t drop_repeated_addresses(char* list, int64_t length) {
  int64_t kept = 0;
  for (int64_t p = 0; p < length;) {
    const char* semi = static_cast<const char*>(memchr(list + p, ';', (size_t)(length - p)));
    const int64_t end = semi ? semi - list + 1 : length;  // one past the entry's ';'
    const char* address = address_of(list + p, list + end - 1);
    bool repeated = false;
    for (int64_t q = 0; address && !repeated && q < kept;) {
      const char* qSemi = static_cast<const char*>(memchr(list + q, ';', (size_t)(kept - q)));
      if (!qSemi) break;
      const int64_t qEnd = qSemi - list + 1;
      const char* other = address_of(list + q, list + qEnd - 1);
      const int64_t n = list + end - 1 - address;
      repeated = other && list + qEnd - 1 - other == n && memcmp(other, address, (size_t)n) == 0;
      q = qEnd;
    }
    if (!repeated) {
      if (kept != p) memmove(list + kept, list + p, (size_t)(end - p));
      kept += end - p;
    }
    p = end;
  }
  list[kept] = '\0';
  return kept;
}

}  // namespace

void vx_find_broadcast_begin(BroadcastPlan* plan, vxp_socket sock, uint16_t port, const void* request, size_t length) {
  plan->sock = sock;
  plan->port = port;
  plan->request = request;
  plan->length = length;
  plan->cardCount = 0;
  plan->sent = 0;
  if (sock == VXP_BAD_SOCKET) return;
  vxp_set_broadcast(sock);
  plan->cardCount = vxp_broadcast_addresses(plan->cards, VX_FIND_MAX_CARDS);
}

void vx_find_broadcast_due(BroadcastPlan* plan, uint64_t elapsedMs) {
  if (plan->sent >= kRequestCount || elapsedMs < kRequestMarksMs[plan->sent]) return;
  if (plan->sock != VXP_BAD_SOCKET) {
    vxp_sendto(plan->sock, plan->request, plan->length, kLimitedBroadcast, plan->port);
    for (int c = 0; c < plan->cardCount; ++c)
      vxp_sendto(plan->sock, plan->request, plan->length, plan->cards[c], plan->port);
  }
  ++plan->sent;
}

void vx_find_report(ProbeResults* results, const char* model, const char* serial, const char* address) {
  std::lock_guard<std::mutex> hold(results->discovery);
  if (results->length >= results->capacity ||
      !vx_find_append_entry(results->text, results->capacity, &results->length, model, serial, address))
    results->cutShort = true;
}

const char* vx_find_take_field(const char* from, char field[VX_FIND_FIELD_SIZE]) {
  if (!from) return nullptr;
  const char* comma = strchr(from, ',');
  if (!comma) return nullptr;
  size_t n = (size_t)(comma - from);
  if (n > VX_FIND_FIELD_SIZE - 1) n = VX_FIND_FIELD_SIZE - 1;
  memcpy(field, from, n);
  field[n] = '\0';
  return comma + 1;
}

static void copy_field(char* out, const char* field, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = (field[i] == ':' || field[i] == ';') ? '_' : field[i];
}

bool vx_find_append_entry(char* text, int capacity, int* length, const char* model, const char* serial,
                          const char* address) {
  const size_t modelLen = strlen(model), serialLen = strlen(serial), addressLen = strlen(address);
  const size_t entryLen = modelLen + serialLen + addressLen + 3;
  const size_t room = (size_t)capacity - (size_t)*length;
  char* out = text + *length;
  if (entryLen + 1 > room) {
    *out = '\0';
    return false;
  }
  // An instrument's texts are not trusted to keep to the list's syntax: a
  // ':' or ';' inside them would split or forge entries (and could make a
  // later instrument look listed already), so they become '_'.
  copy_field(out, model, modelLen);
  out += modelLen;
  *out++ = ':';
  copy_field(out, serial, serialLen);
  out += serialLen;
  *out++ = ':';
  memcpy(out, address, addressLen);
  out += addressLen;
  *out++ = ';';
  *out = '\0';
  *length += (int)entryLen;  // below capacity, so it fits an int
  return true;
}

const FindSetup vx_find_setup = {kSearches, sizeof kSearches / sizeof kSearches[0], malloc, free};

ViStatus vx_find_run(const FindSetup* setup, char* devices, int tmoMs, int count, int* retCount, int iface) {
  if (!devices && count >= 1) return VI_ERROR_SYSTEM_ERROR;
  // Read once, before any search; a link opened meanwhile does not stop it.
  if (vx_link_any_taken()) {
    writeLog("vx_comm_find(): returning since a link is open (debug)\n");
    return VI_SUCCESS;
  }
  writeLog("vx_comm_find(devices=%p, tmoMs=%d, count=%d, retCount=%p, iface=%d)\n", (void*)devices, tmoMs, count,
           (void*)retCount, iface);
  if (count < 1) return VI_SUCCESS_MAX_CNT;
  devices[0] = '\0';

  const size_t rows = setup->searchCount < VX_FIND_MAX_SEARCHES ? setup->searchCount : VX_FIND_MAX_SEARCHES;
  SearchRecord records[VX_FIND_MAX_SEARCHES] = {};
  for (size_t i = 0; i < rows; ++i) {
    const FindSearch& row = setup->searches[i];
    if ((iface & row.mask) == 0 || row.run == nullptr) continue;
    // Each search gets the whole capacity; one that cannot have its buffer
    // is left out without a word.
    SearchRecord& r = records[i];
    r.text = static_cast<char*>(setup->alloc((size_t)count));
    if (!r.text) continue;
    r.run = row.run;
    // The maker's own devices are listed by the USB search as "USB-"
    // names; beside it the USBTMC search leaves them out.
    if (row.run == vx_usbtmc_scan && (iface & IFACE_USB)) r.run = vx_usbtmc_scan_others;
    r.tmoMs = tmoMs;
    r.capacity = count;
    // Without a thread the search runs here, one after another as before.
    r.thread = vxp_thread_start(run_search, &r, kSearchStack);
    if (!r.thread) run_search(&r);
  }
  for (size_t i = 0; i < rows; ++i)
    if (records[i].thread) vxp_thread_join(records[i].thread);

  // Sizes in 64 bits: a search's length plus its NUL must not overflow.
  int64_t position = 0;
  bool cutShort = false;
  for (size_t i = 0; i < rows; ++i) {
    SearchRecord& r = records[i];
    if (!r.text) continue;
    const int64_t length = r.length;
    if (length > 0) {
      if (length + 1 <= (int64_t)count - position) {
        memcpy(devices + position, r.text, (size_t)length);
        position += length;
        devices[position] = '\0';
      } else {
        cutShort = true;  // dropped whole; a later, shorter text may still fit
      }
    }
    // A search that stopped because its own buffer was full has left
    // instruments out too, even though what it found fitted here.
    if (r.status == VI_SUCCESS_MAX_CNT) cutShort = true;
    setup->release(r.text);
  }

  position = drop_repeated_addresses(devices, position);
  if (retCount) *retCount = (int)position;
  const ViStatus status = cutShort ? VI_SUCCESS_MAX_CNT : VI_SUCCESS;
  writeLog("vx_comm_find() returns: status=%d, retCount=%d\n", (int)status, (int)position);
  return status;
}

extern "C" ViStatus vx_comm_find(char* devices, ViInt32 tmoMs, ViInt32 count, ViInt32* retCount, ViInt32 iface) {
  vx_last_error_begin();
  return vx_find_run(&vx_find_setup, devices, tmoMs, count, retCount, iface);
}
