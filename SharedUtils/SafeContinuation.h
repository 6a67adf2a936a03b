#pragma once
// SafeContinuation: a continuation that may be resumed any number of times, from any threads,
// and acts only on the first resume. It holds the checked continuation in an atomic slot; every
// resume exchanges the slot with nothing, and only the caller that got the continuation out
// resumes it. That exchange is the only synchronisation: later resumes find nothing and return
// without effect, raising and logging nothing.
//
// withCancellableCheckedSafeThrowingContinuation() awaits a callback operation that the running
// task's cancellation can end: the operation gets a SafeContinuation at once and must arrange
// for it to be resumed; a cancellation ends the wait with the StringError
// "Cancellable task cancelled", and whichever of the operation and the cancellation comes second
// is ignored. A task cancelled before the operation has its continuation (for instance already
// on entry) does not end the wait: the operation still runs and decides the outcome.

#include <atomic>
#include <exception>
#include <memory>
#include <stop_token>
#include <type_traits>
#include <utility>

#include "SharedUtils/StringError.h"
#include "platform/async/Continuation.h"
#include "platform/async/Result.h"
#include "platform/async/Task.h"

namespace sharedutils {

using platform::async::AnyError;
using platform::async::CheckedContinuation;
using platform::async::Result;

// A checked continuation with shared ownership, so that an atomic slot can hold it.
template <class T, class E = AnyError>
class CheckedContinuationWrapper {
 public:
  explicit CheckedContinuationWrapper(CheckedContinuation<T, E> wrapped)
      : wrapped(std::move(wrapped)) {}
  const CheckedContinuation<T, E> wrapped;
};

template <class T, class E = AnyError>
class SafeContinuation {
 public:
  using Value = typename Result<T>::Value;
  using Wrapper = CheckedContinuationWrapper<T, E>;

  explicit SafeContinuation(CheckedContinuation<T, E> continuation)
      : wrapper_(std::make_shared<Wrapper>(std::move(continuation))) {}
  SafeContinuation(const SafeContinuation&) = delete;
  SafeContinuation& operator=(const SafeContinuation&) = delete;

  void resumeReturning(Value value) {
    if (auto w = take()) w->wrapped.resumeReturning(std::move(value));
  }
  void resume() requires std::is_void_v<T> { resumeReturning(Value{}); }
  void resumeThrowing(E error) {
    if (auto w = take()) w->wrapped.resumeThrowing(std::move(error));
  }
  // Any exception object, when the error type is any error.
  template <class X>
  requires(std::is_same_v<E, AnyError> &&
           !std::is_same_v<std::decay_t<X>, AnyError>) void resumeThrowing(X&& error) {
    if (auto w = take()) w->wrapped.resumeThrowing(std::forward<X>(error));
  }
  void resumeWith(Result<T, E> result) {
    if (auto w = take()) w->wrapped.resumeWith(std::move(result));
  }
  // A result of any error type, when this continuation's error type is any error.
  template <class F>
  requires(std::is_same_v<E, AnyError> &&
           !std::is_same_v<F, AnyError>) void resumeWith(Result<T, F> result) {
    if (result) {
      resumeReturning(std::move(result).value());
    } else {
      resumeThrowing(result.error());
    }
  }

  // False once the continuation has been resumed.
  bool isPending() const { return wrapper_.load(std::memory_order_acquire) != nullptr; }

 private:
  std::shared_ptr<Wrapper> take() { return wrapper_.exchange(nullptr, std::memory_order_acq_rel); }

  std::atomic<std::shared_ptr<Wrapper>> wrapper_;
};

// The text of the error that a cancellation ends the wait with.
inline constexpr const char* kCancellableTaskCancelled = "Cancellable task cancelled";

// `co_await withCancellableCheckedSafeThrowingContinuation<T>(operation)`: `operation` is called
// at once with a std::shared_ptr<SafeContinuation<T>>.
template <class T, class Operation>
platform::async::Task<T> withCancellableCheckedSafeThrowingContinuation(Operation operation) {
  using Safe = SafeContinuation<T>;
  // Written by the continuation's body and read by the cancellation handler, possibly on two
  // threads at once.
  auto box = std::make_shared<std::atomic<std::shared_ptr<Safe>>>();
  const std::stop_token token = co_await platform::async::currentStopToken();
  auto onCancel = [box] {
    if (auto safe = box->load(std::memory_order_acquire)) {
      safe->resumeThrowing(StringError(kCancellableTaskCancelled));
    }
  };
  // Installed before the body runs: a task cancelled already calls it right here, while the box
  // is still empty, so that early cancellation has no effect.
  std::stop_callback<decltype(onCancel)> handler(token, onCancel);
  co_return co_await platform::async::withCheckedContinuation<T>(
      [&](CheckedContinuation<T> c) {
        auto safe = std::make_shared<Safe>(std::move(c));
        box->store(safe, std::memory_order_release);
        operation(safe);
      },
      "withCancellableCheckedSafeThrowingContinuation(operation:)");
}

}  // namespace sharedutils
