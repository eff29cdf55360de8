// Taking a lock with a time limit, for the LAN transports' clear and abort,
// which must not wait for ever behind a call in flight. It polls try_lock:
// std::timed_mutex's timed waits go through pthread_mutex_clocklock, which
// ThreadSanitizer does not see here, so it reported the lock as never taken
// (false races, "unlock of an unlocked mutex").
#ifndef VX_TRANSPORT_LOCK_WITHIN_H
#define VX_TRANSPORT_LOCK_WITHIN_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

// True when `lock` (not yet owning its mutex) owns it within `ms`.
inline bool vx_lock_within(std::unique_lock<std::mutex>& lock, uint32_t ms) {
  if (lock.try_lock()) return true;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (lock.try_lock()) return true;
  }
  return false;
}

#endif
