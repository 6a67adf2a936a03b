#pragma once
// Reaching the main thread from anywhere.
//
// runOnMain(forceAsync, closure): on the main thread and not forced, the closure runs at once
// and runOnMain returns after it; otherwise it is queued on the main queue (behind whatever is
// queued there already) and runOnMain returns at once.
//
// runOnMainActorBlocking(operation, timeout): runs `operation` on the main actor and waits for
// it at most `timeout` seconds; the result is the operation's value, the error it threw, or
// MainActorBlockingError timedOut. On the main thread the operation runs at once (blocking on
// the main thread for main-thread work could never end) and the time-out plays no part.
// Elsewhere the operation is queued as a task on the main actor: if the time-out passes first,
// the task is cancelled, so work that has not begun is skipped, while work already under way
// runs to its end and its result is dropped.

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>

#include "SharedUtils/Constants.h"
#include "platform/async/Executor.h"
#include "platform/async/Result.h"
#include "platform/async/Spawn.h"
#include "platform/dispatch/Semaphore.h"

namespace sharedutils {

void runOnMain(bool forceAsync, std::function<void()> closure);

class MainActorBlockingError : public std::exception {
 public:
  enum Code { timedOut };

  explicit MainActorBlockingError(Code code = timedOut) : code_(code) {}
  Code code() const { return code_; }
  const char* what() const noexcept override { return "MainActorBlockingError.timedOut"; }

  friend bool operator==(const MainActorBlockingError& a, const MainActorBlockingError& b) {
    return a.code_ == b.code_;
  }

 private:
  Code code_;
};

template <class F, class T = std::invoke_result_t<F&>>
platform::async::Result<T> runOnMainActorBlocking(F operation, double timeout) {
  using platform::async::Result;
  auto capture = [](F& op) {
    try {
      if constexpr (std::is_void_v<T>) {
        op();
        return Result<T>::success();
      } else {
        return Result<T>::success(op());
      }
    } catch (...) {
      return Result<T>::currentFailure();
    }
  };
  if (platform::async::isOnMainActor()) return capture(operation);

  struct Shared {
    platform::dispatch::Semaphore done{0};
    std::optional<Result<T>> result;
  };
  auto shared = std::make_shared<Shared>();
  auto task = platform::async::spawn(
      platform::dispatch::Queue::main(),
      [shared, capture, op = std::move(operation)]() mutable -> platform::async::Task<void> {
        // A task cancelled by the time-out before it began does nothing and signals nothing.
        const std::stop_token token = co_await platform::async::currentStopToken();
        if (token.stop_requested()) co_return;
        shared->result.emplace(capture(op));
        shared->done.signal();
      });
  if (!shared->done.wait(platform::dispatch::Time::after(TimeInterval::toNanoseconds(timeout)))) {
    task.cancel();
    return Result<T>::failure(
        std::make_exception_ptr(MainActorBlockingError(MainActorBlockingError::timedOut)));
  }
  if (!shared->result) {
    return Result<T>::failure(
        std::make_exception_ptr(MainActorBlockingError(MainActorBlockingError::timedOut)));
  }
  return std::move(*shared->result);
}

}  // namespace sharedutils

template <>
struct std::hash<sharedutils::MainActorBlockingError> {
  std::size_t operator()(const sharedutils::MainActorBlockingError& e) const noexcept {
    return std::hash<int>()(static_cast<int>(e.code()));
  }
};
