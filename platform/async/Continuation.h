#pragma once
// Continuations: awaiting a callback interface from inside a task.
//
//   int n = co_await withCheckedContinuation<int>([&](CheckedContinuation<int> c) {
//     startSomething([c](int value) mutable { c.resumeReturning(value); });
//   });
//
// The body runs at once, inside the co_await, and must arrange for the continuation to be
// resumed exactly once, from any thread: the task then goes on, on its own executor, with the
// value (or throws the error). Breaking the rule is a contract violation, reported on the
// diagnostic channel: a second resume is ignored, and a continuation whose every copy is dropped
// without a resume ends the wait with ContinuationDroppedError instead of leaving the task
// suspended for good. A body that throws resumes with its own exception.
//
// The error type E is what resumeThrowing() takes; AnyError (the default) takes any exception
// object or an exception_ptr. Whatever E is, the awaiting task sees the error thrown.

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/async/Result.h"
#include "platform/async/Suspension.h"
#include "platform/async/Task.h"

namespace platform::async {

using AnyError = std::exception_ptr;

// Ends a wait whose continuation was dropped without being resumed.
class ContinuationDroppedError : public std::exception {
 public:
  const char* what() const noexcept override {
    return "continuation dropped without being resumed";
  }
};

// Reports a misuse of a continuation made by `function` (an awaiting operation's name).
void reportContinuationMisuse(const char* function, const char* what);

template <class T>
class ContinuationState {
 public:
  using Value = typename Result<T>::Value;

  ContinuationState(Suspension& suspension, std::optional<Result<T>>& slot, const char* function)
      : suspension_(suspension), slot_(slot), function_(function) {}
  ContinuationState(const ContinuationState&) = delete;
  ContinuationState& operator=(const ContinuationState&) = delete;
  ~ContinuationState() {
    if (resumed_.load(std::memory_order_acquire)) return;
    reportContinuationMisuse(function_, "dropped without being resumed");
    resume(Result<T>::failure(std::make_exception_ptr(ContinuationDroppedError())));
  }

  void resume(Result<T> result) {
    if (resumed_.exchange(true, std::memory_order_acq_rel)) {
      reportContinuationMisuse(function_, "resumed more than once; the later resume is ignored");
      return;
    }
    // The slot and the suspension live in the waiting task's frame, which stays put until
    // the wake-up below; nothing here touches them afterwards.
    slot_.emplace(std::move(result));
    suspension_.wake();
  }

 private:
  std::atomic<bool> resumed_{false};
  Suspension& suspension_;
  std::optional<Result<T>>& slot_;
  const char* function_;
};

template <class T, class E = AnyError>
class CheckedContinuation {
 public:
  using Value = typename Result<T>::Value;

  explicit CheckedContinuation(std::shared_ptr<ContinuationState<T>> state)
      : state_(std::move(state)) {}

  void resumeReturning(Value value) const { state_->resume(Result<T>::success(std::move(value))); }
  void resume() const requires std::is_void_v<T> { resumeReturning(Void{}); }
  void resumeThrowing(E error) const {
    if constexpr (std::is_same_v<E, AnyError>) {
      state_->resume(Result<T>::failure(std::move(error)));
    } else {
      state_->resume(Result<T>::failure(std::make_exception_ptr(std::move(error))));
    }
  }
  // Any exception object, when the error type is AnyError.
  template <class X>
  requires(std::is_same_v<E, AnyError> &&
           !std::is_same_v<std::decay_t<X>, AnyError>) void resumeThrowing(X&& error) const {
    state_->resume(Result<T>::failure(std::make_exception_ptr(std::forward<X>(error))));
  }
  // A result with this continuation's error type (a success resumes with its value, a failure
  // with its error).
  void resumeWith(Result<T, E> result) const {
    if (result) {
      resumeReturning(std::move(result).value());
    } else {
      resumeThrowing(result.error());
    }
  }

 private:
  std::shared_ptr<ContinuationState<T>> state_;
};

template <class T, class E, class Body>
class CheckedAwaiter {
 public:
  using Value = typename Result<T>::Value;

  CheckedAwaiter(Body body, const char* function) : body_(std::move(body)), function_(function) {}

  bool await_ready() const noexcept { return false; }
  template <class P>
  bool await_suspend(std::coroutine_handle<P> h) {
    static_assert(std::is_base_of_v<TaskPromiseBase, P>, "only inside a task");
    suspension_.prepare(h, h.promise().executor());
    {
      CheckedContinuation<T, E> c(
          std::make_shared<ContinuationState<T>>(suspension_, slot_, function_));
      try {
        body_(c);
      } catch (...) {
        c.resumeThrowing(std::current_exception());
      }
    }
    return suspension_.suspend();
  }
  Value await_resume() { return std::move(*slot_).get(); }

 private:
  Body body_;
  const char* function_;
  Suspension suspension_;
  std::optional<Result<T>> slot_;
};

// `co_await withCheckedContinuation<T>(body)` (error type AnyError) or
// `withCheckedContinuation<T, E>(body)`; `function` names the operation in misuse reports.
template <class T, class E = AnyError, class Body>
CheckedAwaiter<T, E, Body> withCheckedContinuation(
    Body body, const char* function = "withCheckedContinuation") {
  return CheckedAwaiter<T, E, Body>(std::move(body), function);
}

}  // namespace platform::async
