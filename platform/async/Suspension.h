#pragma once
// One task suspended until something outside it happens (a clock reaches a deadline, a callback
// resumes a continuation, another task finishes). It lives in the awaiter, inside the suspended
// task's frame; the thing waited for calls wake() exactly once.
//
// The awaiter's await_suspend calls prepare(), hands the suspension to the waker, and returns
// suspend(). A wake() that comes before suspend() (the waker ran at once, perhaps on this very
// thread) is noticed there and the task simply goes on without a hop; a later wake() queues the
// task on its executor. After queueing, wake() touches nothing of the suspension again, since
// the task may already be running and destroying it.

#include <atomic>
#include <coroutine>
#include <thread>

#include "platform/async/Task.h"
#include "platform/dispatch/Group.h"

namespace platform::async {

class Suspension {
 public:
  void prepare(std::coroutine_handle<> h, QueuePtr executor) noexcept {
    h_ = h;
    executor_ = std::move(executor);
  }

  // True: the task stays suspended. False: it was woken already and goes on at once.
  bool suspend() noexcept {
    int expected = kPreparing;
    return phase_.compare_exchange_strong(expected, kSuspended, std::memory_order_acq_rel);
  }

  // For a waker on another thread that must know the task is truly suspended (so that its
  // wake-up is queued, and counted in a group): waits until await_suspend has finished. Never
  // call it from the suspending thread itself.
  void awaitSuspended() const noexcept {
    while (phase_.load(std::memory_order_acquire) == kPreparing)
      std::this_thread::yield();
  }

  // Resumes the task on its executor; with a group, the resumption is work of that group.
  void wake(dispatch::Group* group = nullptr) noexcept {
    if (phase_.exchange(kWoken, std::memory_order_acq_rel) == kPreparing) return;
    std::coroutine_handle<> h = h_;
    QueuePtr executor = std::move(executor_);
    if (!executor) {
      h.resume();
    } else if (group) {
      executor->async(*group, [h] { h.resume(); });
    } else {
      executor->async([h] { h.resume(); });
    }
  }

 private:
  static constexpr int kPreparing = 0;
  static constexpr int kSuspended = 1;
  static constexpr int kWoken = 2;

  std::atomic<int> phase_{kPreparing};
  std::coroutine_handle<> h_;
  QueuePtr executor_;
};

}  // namespace platform::async
