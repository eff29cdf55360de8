// A service request sink for transport tests: keeps every status byte
// posted to it, and lets a test wait for the first n.
#ifndef VX_TEST_SRQ_SINK_H
#define VX_TEST_SRQ_SINK_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "transport/transport.h"

struct TestSrqSink {
  SrqSink sink{post, this};
  std::mutex m;
  std::condition_variable cv;
  std::vector<int> stbs;

  static void post(SrqSink* s, int stb) {
    TestSrqSink* self = static_cast<TestSrqSink*>(s->owner);
    std::lock_guard<std::mutex> hold(self->m);
    self->stbs.push_back(stb);
    self->cv.notify_all();
  }
  // The posts so far, once there are `n` or after 5 s.
  std::vector<int> wait_for(size_t n) {
    std::unique_lock<std::mutex> hold(m);
    cv.wait_for(hold, std::chrono::seconds(5), [&] { return stbs.size() >= n; });
    return stbs;
  }
};

#endif
