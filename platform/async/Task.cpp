#include "platform/async/Task.h"

namespace platform::async {

std::coroutine_handle<> TaskPromiseBase::continuation() noexcept {
  // Everything needed is copied out first: once the awaiting task is queued it may run on
  // another thread and destroy this frame at once.
  std::coroutine_handle<> next = awaiting_;
  if (!next) return std::noop_coroutine();
  QueuePtr executor = awaitingExecutor_;
  if (!executor || dispatch::Queue::isCurrentlyOn(*executor)) return next;
  executor->async([next] { next.resume(); });
  return std::noop_coroutine();
}

void resumeOnExecutor(const QueuePtr& executor, std::coroutine_handle<> h) {
  if (executor) {
    executor->async([h] { h.resume(); });
  } else {
    h.resume();
  }
}

}  // namespace platform::async
