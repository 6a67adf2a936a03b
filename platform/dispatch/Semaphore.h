#pragma once
// Counting semaphore with deadlines.

#include <memory>

#include "platform/dispatch/Time.h"

namespace platform::dispatch {

class Semaphore {
 public:
  explicit Semaphore(long value = 0);
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Decrements; waits while the count is negative. False when the deadline passed first (the
  // decrement is then undone).
  bool wait(Time deadline = Time::forever());
  // Increments; wakes one waiter if any. True when a waiter was woken.
  bool signal();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform::dispatch
