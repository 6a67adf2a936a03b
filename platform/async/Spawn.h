#pragma once
// Starting tasks: spawn() runs a task on an executor with a cancellation of its own and returns
// a TaskHandle, through which other code cancels it, waits for it (blocking a thread that is not
// the task's own executor) or awaits it from another task.
//
// Dropping the handle does not cancel the task: it runs to its end. Awaiting a handle does not
// tie the two tasks' cancellations together (a spawned task is not a child of its awaiter).

#include <condition_variable>
#include <coroutine>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/async/Result.h"
#include "platform/async/Suspension.h"
#include "platform/async/Task.h"
#include "platform/dispatch/Time.h"

namespace platform::async {

template <class T>
class TaskHandle;

// The shared state of a spawned task: its cancellation and, once it finished, its result.
template <class T>
class SpawnState {
 public:
  std::stop_source& stopSource() { return stop_; }

  void finish(Result<T> result) {
    std::vector<Suspension*> waiters;
    {
      std::lock_guard lock(m_);
      result_.emplace(std::move(result));
      waiters.swap(waiters_);
      cv_.notify_all();
    }
    for (Suspension* w : waiters)
      w->wake();
  }

  bool isFinished() {
    std::lock_guard lock(m_);
    return result_.has_value();
  }

  std::optional<Result<T>> wait(dispatch::Time deadline) {
    std::unique_lock lock(m_);
    auto done = [&] { return result_.has_value(); };
    if (deadline.isForever()) {
      cv_.wait(lock, done);
    } else if (deadline.clock() == dispatch::Time::Clock::Wall) {
      cv_.wait_until(lock,
                     std::chrono::system_clock::time_point(
                         std::chrono::duration_cast<std::chrono::system_clock::duration>(
                             std::chrono::nanoseconds(deadline.nanoseconds()))),
                     done);
    } else {
      // libstdc++'s steady clock is CLOCK_MONOTONIC, the clock of monotonic deadlines.
      cv_.wait_until(
          lock,
          std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline.nanoseconds())),
          done);
    }
    return result_;
  }

  // False when the task has finished already: the waiter goes on without suspending.
  bool addWaiter(Suspension& s) {
    std::lock_guard lock(m_);
    if (result_) return false;
    waiters_.push_back(&s);
    return true;
  }

  // Valid once finished; never changes after that.
  const Result<T>& result() const { return *result_; }

 private:
  std::stop_source stop_;
  std::mutex m_;
  std::condition_variable cv_;
  std::optional<Result<T>> result_;
  std::vector<Suspension*> waiters_;
};

template <class T>
class TaskHandle {
 public:
  using Value = typename Result<T>::Value;

  explicit TaskHandle(std::shared_ptr<SpawnState<T>> state) : state_(std::move(state)) {}

  // Requests the task's cancellation (and that of everything it awaits). Idempotent.
  void cancel() const { state_->stopSource().request_stop(); }
  bool isCancelled() const { return state_->stopSource().stop_requested(); }
  bool isFinished() const { return state_->isFinished(); }

  // Blocks until the task has finished or `deadline` passed: its result, or nothing on a
  // time-out. Never call it on the task's own executor (the task could not run).
  std::optional<Result<T>> wait(dispatch::Time deadline = dispatch::Time::forever()) const {
    return state_->wait(deadline);
  }

  struct Awaiter {
    std::shared_ptr<SpawnState<T>> state;
    Suspension suspension;
    bool await_ready() { return state->isFinished(); }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> h) {
      static_assert(std::is_base_of_v<TaskPromiseBase, P>, "only inside a task");
      suspension.prepare(h, h.promise().executor());
      if (!state->addWaiter(suspension)) return false;
      return suspension.suspend();
    }
    Value await_resume() {
      Result<T> copy = state->result();
      return std::move(copy).get();
    }
  };
  // Inside another task: the spawned task's value, or its error thrown.
  Awaiter operator co_await() const { return Awaiter{state_, {}}; }

 private:
  std::shared_ptr<SpawnState<T>> state_;
};

// The coroutine at the root of a spawned task: it owns the task, records its result, and its
// frame goes away by itself when done.
class RootPromise;
struct RootTask {
  using promise_type = RootPromise;
  std::coroutine_handle<RootPromise> handle;
};
class RootPromise : public TaskPromiseBase {
 public:
  RootTask get_return_object() noexcept {
    return RootTask{std::coroutine_handle<RootPromise>::from_promise(*this)};
  }
  std::suspend_never final_suspend() const noexcept { return {}; }
  void return_void() const noexcept {}
};

template <class T, class Make>
RootTask runRoot(Make make, std::shared_ptr<SpawnState<T>> state) {
  std::optional<Result<T>> outcome;
  {
    // The task's frame is destroyed before the result is published, so that whoever waits for
    // the result finds everything the task owned released.
    std::optional<Task<T>> task;
    try {
      task.emplace(make());
      if constexpr (std::is_void_v<T>) {
        co_await std::move(*task);
        outcome.emplace(Result<T>::success());
      } else {
        outcome.emplace(Result<T>::success(co_await std::move(*task)));
      }
    } catch (...) {
      outcome.emplace(Result<T>::currentFailure());
    }
  }
  state->finish(std::move(*outcome));
}

template <class T, class Make>
TaskHandle<T> spawnWith(QueuePtr executor, Make make) {
  if (!executor) executor = dispatch::Queue::global();
  auto state = std::make_shared<SpawnState<T>>();
  RootTask root = runRoot<T>(std::move(make), state);
  root.handle.promise().setContext(state->stopSource().get_token(), executor);
  executor->async([h = root.handle] { h.resume(); });
  return TaskHandle<T>(std::move(state));
}

// Starts `task` on `executor` (nullptr: the global default queue).
template <class T>
TaskHandle<T> spawn(QueuePtr executor, Task<T> task) {
  return spawnWith<T>(std::move(executor),
                      [t = std::move(task)]() mutable { return std::move(t); });
}

// Starts the task that `make()` returns on `executor`. `make` (a coroutine lambda with its
// captures) is kept alive until the task has finished, so its captures stay valid throughout.
template <class Make>
requires std::is_invocable_v<Make&>
auto spawn(QueuePtr executor, Make make) {
  using T = typename std::invoke_result_t<Make&>::ValueType;
  return spawnWith<T>(std::move(executor), std::move(make));
}

}  // namespace platform::async
