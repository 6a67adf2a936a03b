#include "platform/dispatch/Semaphore.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/dispatch/WaitSupport.h"
#include "platform/dispatch/WorkerPool.h"

namespace platform::dispatch {

// value is the count; negative, it is minus the number of waiters. A signal that finds a waiter
// posts a wake-up under the lock, which exactly one waiter consumes.
struct Semaphore::State {
  std::atomic<long> value;
  std::mutex m;
  std::condition_variable cv;
  long wakeups = 0;  // guarded by m

  explicit State(long v) : value(v) {}
};

Semaphore::Semaphore(long value) : state_(std::make_unique<State>(value)) {}

Semaphore::~Semaphore() = default;

bool Semaphore::wait(Time deadline) {
  State& s = *state_;
  if (s.value.fetch_sub(1, std::memory_order_acquire) > 0) return true;
  detail::BlockedScope blocked;
  std::unique_lock lock(s.m);
  for (;;) {
    if (s.wakeups > 0) {
      --s.wakeups;
      return true;
    }
    if (detail::waitUntil(s.cv, lock, deadline)) continue;
    if (s.wakeups > 0) continue;
    // Timed out: take back our decrement, unless a signal already counted on us, in which case
    // its wake-up is about to be posted (it needs the lock we hold only briefly).
    long v = s.value.load(std::memory_order_relaxed);
    while (v < 0) {
      if (s.value.compare_exchange_weak(v, v + 1, std::memory_order_relaxed)) return false;
    }
    while (s.wakeups == 0)
      s.cv.wait(lock);
  }
}

bool Semaphore::signal() {
  State& s = *state_;
  if (s.value.fetch_add(1, std::memory_order_release) >= 0) return false;
  std::lock_guard lock(s.m);
  ++s.wakeups;
  s.cv.notify_one();
  return true;
}

}  // namespace platform::dispatch
