#pragma once
// A subscriber for tests: asks for `initial` on subscription, returns `perValue` from each
// delivery, and records everything it receives.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/reactive/Reactive.h"

namespace platform::reactive::testing {

template <class T, class F = Never>
class RecordingSubscriber final : public Subscriber<T, F> {
 public:
  RecordingSubscriber(Demand initial, Demand perValue) : initial_(initial), perValue_(perValue) {}

  void receive(std::shared_ptr<Subscription> s) override {
    {
      std::lock_guard lock(mutex_);
      subscription_ = s;
      ++subscriptions_;
    }
    if (!initial_.isNone()) s->request(initial_);
  }
  Demand receive(T value) override {
    std::lock_guard lock(mutex_);
    values_.push_back(value);
    return perValue_;
  }
  void receive(Completion<F> c) override {
    std::lock_guard lock(mutex_);
    completions_.push_back(c.isFinished() ? std::string("finished") : std::string("failure"));
  }

  std::vector<T> values() const {
    std::lock_guard lock(mutex_);
    return values_;
  }
  std::vector<std::string> completions() const {
    std::lock_guard lock(mutex_);
    return completions_;
  }
  int subscriptions() const {
    std::lock_guard lock(mutex_);
    return subscriptions_;
  }
  std::shared_ptr<Subscription> subscription() const {
    std::lock_guard lock(mutex_);
    return subscription_;
  }

 private:
  const Demand initial_;
  const Demand perValue_;
  mutable std::mutex mutex_;
  std::shared_ptr<Subscription> subscription_;
  int subscriptions_ = 0;
  std::vector<T> values_;
  std::vector<std::string> completions_;
};

}  // namespace platform::reactive::testing
