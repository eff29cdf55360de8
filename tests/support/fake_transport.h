// A transport that moves no bytes anywhere: it records every call and
// serves scripted reads, so that link/ and io/ can be tested byte by byte.
#ifndef VX_FAKE_TRANSPORT_H
#define VX_FAKE_TRANSPORT_H

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/link_table.h"
#include "vx_comm.h"

struct FakeRead {
  std::string data;  // delivered as one receive would (cut to the count asked)
  ViStatus status;   // anything but VI_SUCCESS: the call fails after delivering data
};

struct FakeLink {
  std::mutex m;
  std::vector<std::string> writes;  // bytes of each write call
  size_t writeChunk = 0;            // at most this many bytes per write call (0: all)
  std::deque<FakeRead> reads;       // consumed front to back; empty: VI_ERROR_TMO
  std::vector<ViInt32> readCounts;  // count asked by each read call
  size_t served = 0;                // bytes handed over by all reads
  int clearCalls = 0;
  int closeCalls = 0;
  int abortCalls = 0;
  ViStatus clearStatus = VI_SUCCESS;
  std::vector<ViInt32> timeouts;
  std::vector<std::string> controls;  // "readStb", "trigger", "remote <mode>"
  ViUInt16 stb = 0;                   // what readStb hands over, whatever its status
  ViStatus controlStatus = VI_SUCCESS;
  SrqSink* srqSink = nullptr;  // where service requests go while enabled
  std::function<void()> onRead;  // runs at the start of every read, unlocked

  void script(const std::string& data) { reads.push_back({data, VI_SUCCESS}); }
  void fail(ViStatus s) { reads.push_back({std::string(), s}); }
  std::string written() const;  // all write calls joined
};

// Binds a fake into the lowest free slot as an open link and returns its
// linkId; useLock gives it a per-link lock as direct USB links have.
ViInt32 fake_attach(FakeLink* fake, bool useLock = false);

inline LinkSlot* slot_of(ViInt32 linkId) { return &vx_link_table[linkId - 1]; }

// Polls cond every millisecond, giving up after five seconds.
template <typename Cond>
bool eventually(Cond cond) {
  for (int i = 0; i < 5000; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return cond();
}

#endif
