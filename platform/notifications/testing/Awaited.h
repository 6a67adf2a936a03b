#pragma once
// The value a completion handler is called with, for tests that start an asynchronous operation
// and then wait for its answer. The handler may outlive the test's wait: it shares its state.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace platform::notifications::testing {

template <class T>
class Awaited {
 public:
  // The handler to pass; the first call's value is kept, later calls are counted.
  std::function<void(T)> handler() const {
    return [state = state_](T value) {
      std::lock_guard lock(state->mutex);
      if (!state->value) state->value.emplace(std::move(value));
      ++state->calls;
      state->changed.notify_all();
    };
  }
  // The value, or nothing when `limit` passed first.
  std::optional<T> wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) const {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait_for(lock, limit, [&] { return state_->value.has_value(); });
    return state_->value;
  }
  int calls() const {
    std::lock_guard lock(state_->mutex);
    return state_->calls;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<T> value;
    int calls = 0;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace platform::notifications::testing
