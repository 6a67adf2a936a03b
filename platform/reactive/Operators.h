#pragma once
// Value-transforming operators. Both pass the upstream subscription straight to the downstream
// subscriber, so demand and cancellation go directly to the source.
//   map:        every value v becomes transform(v).
//   compactMap: transform returns std::optional; std::nullopt drops the value, and the demand it
//               used up is given back upstream so the downstream still gets what it asked for.

#include <memory>
#include <optional>
#include <utility>

#include "platform/reactive/Publisher.h"

namespace platform::reactive::detail {

template <class In, class Out, class Failure, class Transform>
class MapSubscriber final : public Subscriber<In, Failure> {
 public:
  MapSubscriber(std::shared_ptr<Subscriber<Out, Failure>> downstream, Transform transform)
      : downstream_(std::move(downstream)), transform_(std::move(transform)) {}

  void receive(std::shared_ptr<Subscription> subscription) override {
    downstream_->receive(std::move(subscription));
  }
  Demand receive(In value) override { return downstream_->receive(transform_(std::move(value))); }
  void receive(Completion<Failure> completion) override {
    downstream_->receive(std::move(completion));
  }

 private:
  const std::shared_ptr<Subscriber<Out, Failure>> downstream_;
  Transform transform_;
};

template <class In, class Out, class Failure, class Transform>
class CompactMapSubscriber final : public Subscriber<In, Failure> {
 public:
  CompactMapSubscriber(std::shared_ptr<Subscriber<Out, Failure>> downstream, Transform transform)
      : downstream_(std::move(downstream)), transform_(std::move(transform)) {}

  void receive(std::shared_ptr<Subscription> subscription) override {
    downstream_->receive(std::move(subscription));
  }
  Demand receive(In value) override {
    std::optional<Out> mapped = transform_(std::move(value));
    if (!mapped) return Demand::max(1);
    return downstream_->receive(std::move(*mapped));
  }
  void receive(Completion<Failure> completion) override {
    downstream_->receive(std::move(completion));
  }

 private:
  const std::shared_ptr<Subscriber<Out, Failure>> downstream_;
  Transform transform_;
};

// A publisher that subscribes a fresh transforming subscriber upstream for each subscriber.
template <class In, class Out, class Failure, class Transform, template <class...> class Inner>
class TransformPublisher final : public Publisher<Out, Failure> {
 public:
  TransformPublisher(std::shared_ptr<Publisher<In, Failure>> upstream, Transform transform)
      : upstream_(std::move(upstream)), transform_(std::move(transform)) {}

  void subscribe(std::shared_ptr<Subscriber<Out, Failure>> subscriber) override {
    upstream_->subscribe(
        std::make_shared<Inner<In, Out, Failure, Transform>>(std::move(subscriber), transform_));
  }

 private:
  const std::shared_ptr<Publisher<In, Failure>> upstream_;
  const Transform transform_;
};

}  // namespace platform::reactive::detail
