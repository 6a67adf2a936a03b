#pragma once
// Condition-variable waits against a dispatch deadline on either clock.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/dispatch/Time.h"

namespace platform::dispatch::detail {

// One wait on `cv`; false when `deadline` has passed. Spurious wake-ups return true.
inline bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                      Time deadline) {
  if (deadline.isForever()) {
    cv.wait(lock);
    return true;
  }
  std::chrono::nanoseconds ns(deadline.nanoseconds());
  if (deadline.clock() == Time::Clock::Wall) {
    std::chrono::system_clock::time_point tp(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(ns));
    return cv.wait_until(lock, tp) == std::cv_status::no_timeout;
  }
  // libstdc++'s steady clock is CLOCK_MONOTONIC, the clock of monotonic deadlines.
  std::chrono::steady_clock::time_point tp(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(ns));
  return cv.wait_until(lock, tp) == std::cv_status::no_timeout;
}

}  // namespace platform::dispatch::detail
