#pragma once
// A subscriber that asks for every value (unlimited demand) and hands each one to a closure.
// Cancelling it cancels its subscription; after cancel() returns no further value or completion
// reaches the closures (a delivery already running on another thread is waited for by the
// subjects of this library before cancel() returns).

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/reactive/Cancellable.h"
#include "platform/reactive/Subscriber.h"

namespace platform::reactive {

template <class Input, class Failure = Never>
class Sink final : public Subscriber<Input, Failure>, public Cancellable {
 public:
  using ValueHandler = std::function<void(Input)>;
  using CompletionHandler = std::function<void(Completion<Failure>)>;

  explicit Sink(ValueHandler receiveValue, CompletionHandler receiveCompletion = nullptr)
      : receiveValue_(std::move(receiveValue)), receiveCompletion_(std::move(receiveCompletion)) {}

  void receive(std::shared_ptr<Subscription> subscription) override {
    bool accepted = false;
    {
      std::lock_guard lock(mutex_);
      if (state_ == State::awaiting) {
        subscription_ = subscription;
        state_ = State::subscribed;
        accepted = true;
      }
    }
    // A sink that was cancelled (or already has a subscription) refuses this one.
    if (!accepted) {
      subscription->cancel();
      return;
    }
    subscription->request(Demand::unlimited());
  }

  Demand receive(Input value) override {
    {
      std::lock_guard lock(mutex_);
      if (state_ != State::subscribed) return Demand::none();
    }
    if (receiveValue_) receiveValue_(std::move(value));
    return Demand::none();
  }

  void receive(Completion<Failure> completion) override {
    std::shared_ptr<Subscription> subscription;
    {
      std::lock_guard lock(mutex_);
      if (state_ == State::terminated) return;
      state_ = State::terminated;
      subscription = std::move(subscription_);
    }
    if (receiveCompletion_) receiveCompletion_(std::move(completion));
  }

  void cancel() override {
    std::shared_ptr<Subscription> subscription;
    {
      std::lock_guard lock(mutex_);
      if (state_ == State::terminated) return;
      state_ = State::terminated;
      subscription = std::move(subscription_);
    }
    if (subscription) subscription->cancel();
  }

 private:
  enum class State { awaiting, subscribed, terminated };

  // The handlers are kept until the sink is destroyed (not cleared on cancel): a cancel from
  // inside a handler must not destroy the closure that is running.
  const ValueHandler receiveValue_;
  const CompletionHandler receiveCompletion_;
  std::mutex mutex_;
  State state_ = State::awaiting;
  std::shared_ptr<Subscription> subscription_;
};

}  // namespace platform::reactive
