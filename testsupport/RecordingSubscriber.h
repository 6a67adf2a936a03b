#pragma once
// A subscriber that records what it receives, for tests of publishers.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/reactive/Reactive.h"

namespace testsupport {

// Asks for `initial` on subscription, returns `perValue` from each delivery, records everything.
template <class T, class F = platform::reactive::Never>
class RecordingSubscriber final : public platform::reactive::Subscriber<T, F> {
  using Demand = platform::reactive::Demand;
  using Subscription = platform::reactive::Subscription;

 public:
  RecordingSubscriber(Demand initial, Demand perValue) : initial_(initial), perValue_(perValue) {}

  void receive(std::shared_ptr<Subscription> s) override {
    locked([&] {
      subscription_ = s;
      ++subscriptions_;
    });
    if (!initial_.isNone()) s->request(initial_);
  }
  Demand receive(T value) override {
    locked([&] { values_.push_back(value); });
    return perValue_;
  }
  void receive(platform::reactive::Completion<F> c) override {
    locked([&] { completions_.push_back(c.isFinished() ? "finished" : "failure"); });
  }

  std::vector<T> values() const {
    return locked([&] { return values_; });
  }
  std::vector<std::string> completions() const {
    return locked([&] { return completions_; });
  }
  int subscriptions() const {
    return locked([&] { return subscriptions_; });
  }
  std::shared_ptr<Subscription> subscription() const {
    return locked([&] { return subscription_; });
  }

 private:
  template <class Fn>
  auto locked(Fn fn) const {
    std::lock_guard lock(mutex_);
    return fn();
  }
  const Demand initial_, perValue_;
  mutable std::mutex mutex_;
  std::shared_ptr<Subscription> subscription_;
  int subscriptions_ = 0;
  std::vector<T> values_;
  std::vector<std::string> completions_;
};

}  // namespace testsupport
