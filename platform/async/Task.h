#pragma once
// Task<T>: a coroutine that produces a T or fails with an error.
//
// A task is lazy: nothing runs until it is awaited by another task (`co_await child()`) or
// started with spawn() (Spawn.h). Every running task has a context:
// - an executor, the dispatch queue it runs on: after any suspension (a sleep, a continuation)
//   it resumes there, and when a task it awaited finishes elsewhere, it hops back there;
// - a stop token, its cancellation: a task awaited by another shares the awaiting task's token,
//   so cancelling a task cancels everything it is awaiting, all the way down.
// Cancellation is cooperative: it ends sleeps and cancellable waits at once (they throw
// CancellationError) and is otherwise seen through currentStopToken() / checkCancellation().
//
// Errors travel as exceptions inside tasks: `co_return` a value or throw, and the awaiting task
// gets the value or the same exception at its co_await. An exception never leaves a task's
// frame on its own: it is stored and handed to whoever awaits the task.
//
// A task is awaited at most once; a Task object owns its coroutine frame and destroys it.

#include <coroutine>
#include <exception>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>

#include "platform/dispatch/Queue.h"

namespace platform::async {

using dispatch::QueuePtr;

// Thrown where a cancelled task waits: sleeps, cancellable waits, checkCancellation().
class CancellationError : public std::exception {
 public:
  const char* what() const noexcept override { return "CancellationError"; }
};

template <class T = void>
class Task;

// What every task's promise offers to the things it awaits: its executor and its stop token.
class TaskPromiseBase {
 public:
  const std::stop_token& stopToken() const noexcept { return stop_; }
  const QueuePtr& executor() const noexcept { return executor_; }
  void setExecutor(QueuePtr executor) noexcept { executor_ = std::move(executor); }
  void setContext(std::stop_token stop, QueuePtr executor) noexcept {
    stop_ = std::move(stop);
    executor_ = std::move(executor);
  }

  std::suspend_always initial_suspend() const noexcept { return {}; }
  void unhandled_exception() noexcept { error_ = std::current_exception(); }

  struct FinalAwaiter {
    bool await_ready() const noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> self) noexcept {
      return self.promise().continuation();
    }
    void await_resume() const noexcept {}
  };
  FinalAwaiter final_suspend() const noexcept { return {}; }

  // Called by the awaiting task just before it starts this one.
  void startedBy(std::coroutine_handle<> awaiting, const TaskPromiseBase& parent) noexcept {
    awaiting_ = awaiting;
    awaitingExecutor_ = parent.executor_;
    setContext(parent.stop_, parent.executor_);
  }

 protected:
  void rethrowIfFailed() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  // Where control goes when this task has finished: straight into the awaiting task when it
  // may run here, else to the awaiting task's executor.
  std::coroutine_handle<> continuation() noexcept;

  std::coroutine_handle<> awaiting_;
  QueuePtr awaitingExecutor_;
  std::stop_token stop_;
  QueuePtr executor_;
  std::exception_ptr error_;
};

// Resumes `h` on `executor`: queued there (nullptr: at once, on the calling thread).
void resumeOnExecutor(const QueuePtr& executor, std::coroutine_handle<> h);

template <class T>
class TaskPromise : public TaskPromiseBase {
 public:
  Task<T> get_return_object() noexcept;
  template <class U = T>
  void return_value(U&& value) {
    value_.emplace(std::forward<U>(value));
  }
  T take() {
    rethrowIfFailed();
    return std::move(*value_);
  }

 private:
  std::optional<T> value_;
};

template <>
class TaskPromise<void> : public TaskPromiseBase {
 public:
  Task<void> get_return_object() noexcept;
  void return_void() const noexcept {}
  void take() const { rethrowIfFailed(); }
};

template <class T>
class [[nodiscard]] Task {
  static_assert(!std::is_reference_v<T>, "a task produces a value, not a reference");

 public:
  using promise_type = TaskPromise<T>;
  using ValueType = T;
  using Handle = std::coroutine_handle<promise_type>;

  Task() noexcept = default;
  explicit Task(Handle h) noexcept : h_(h) {}
  Task(Task&& other) noexcept : h_(std::exchange(other.h_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      if (h_) h_.destroy();
      h_ = std::exchange(other.h_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() {
    if (h_) h_.destroy();
  }

  bool valid() const noexcept { return static_cast<bool>(h_); }

  struct Awaiter {
    Handle child;
    bool await_ready() const noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> awaiting) noexcept {
      static_assert(std::is_base_of_v<TaskPromiseBase, P>, "a Task is awaited inside a task");
      child.promise().startedBy(awaiting, awaiting.promise());
      return child;
    }
    T await_resume() { return child.promise().take(); }
  };
  // Runs the task in the awaiting task's context; gives its value or throws its error.
  Awaiter operator co_await() && noexcept { return Awaiter{h_}; }

 private:
  Handle h_;
};

template <class T>
Task<T> TaskPromise<T>::get_return_object() noexcept {
  return Task<T>(Task<T>::Handle::from_promise(*this));
}

inline Task<void> TaskPromise<void>::get_return_object() noexcept {
  return Task<void>(Task<void>::Handle::from_promise(*this));
}

// An awaitable that reads the awaiting task's promise without suspending it.
template <class F>
struct PromiseReader {
  F read;
  std::invoke_result_t<F&, TaskPromiseBase&> value{};
  bool await_ready() const noexcept { return false; }
  template <class P>
  bool await_suspend(std::coroutine_handle<P> h) {
    static_assert(std::is_base_of_v<TaskPromiseBase, P>, "only inside a task");
    value = read(static_cast<TaskPromiseBase&>(h.promise()));
    return false;
  }
  auto await_resume() { return std::move(value); }
};

// `co_await currentStopToken()`: the running task's stop token.
inline auto currentStopToken() {
  auto read = [](TaskPromiseBase& p) { return p.stopToken(); };
  return PromiseReader<decltype(read)>{read};
}

// `co_await currentExecutor()`: the queue the running task runs on.
inline auto currentExecutor() {
  auto read = [](TaskPromiseBase& p) { return p.executor(); };
  return PromiseReader<decltype(read)>{read};
}

// `co_await checkCancellation()`: throws CancellationError when the running task is cancelled.
inline Task<void> checkCancellation() {
  std::stop_token token = co_await currentStopToken();
  if (token.stop_requested()) throw CancellationError();
}

}  // namespace platform::async
