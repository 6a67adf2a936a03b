#pragma once
// Executors: a task runs on a dispatch queue, its executor, and resumes there after every
// suspension. The main actor is the main queue: work on it runs on the main thread, in the
// order it was queued, while the main thread serves the main queue (dispatchMain() or
// runMainQueue()).

#include <coroutine>
#include <utility>

#include "platform/async/Task.h"

namespace platform::async {

// True on the main actor: on the main thread (outside dispatchMain() too, since nothing else
// can run main-queue work there).
bool isOnMainActor();

// `co_await switchTo(queue)`: the running task continues on `queue` and makes it its executor.
// Already running on it: continues at once, without a hop.
struct SwitchTo {
  QueuePtr target;
  bool await_ready() const noexcept { return false; }
  template <class P>
  bool await_suspend(std::coroutine_handle<P> h) {
    static_assert(std::is_base_of_v<TaskPromiseBase, P>, "only inside a task");
    h.promise().setExecutor(target);
    if (dispatch::Queue::isCurrentlyOn(*target)) return false;
    // Last use of this awaiter: the task may run on `target` before async() returns.
    QueuePtr q = target;
    q->async([h] { h.resume(); });
    return true;
  }
  void await_resume() const noexcept {}
};
inline SwitchTo switchTo(QueuePtr queue) {
  return SwitchTo{std::move(queue)};
}
// `co_await switchToMainActor()`: continue on the main queue.
inline SwitchTo switchToMainActor() {
  return SwitchTo{dispatch::Queue::main()};
}

}  // namespace platform::async
