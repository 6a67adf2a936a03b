#pragma once
// A source of values. Subscribing hands the subscriber its subscription (receive(subscription));
// values flow only once the subscriber has requested them.

#include <memory>

#include "platform/reactive/Subscriber.h"

namespace platform::reactive {

template <class Output, class Failure = Never>
class Publisher {
 public:
  using OutputType = Output;
  using FailureType = Failure;

  virtual ~Publisher() = default;
  virtual void subscribe(std::shared_ptr<Subscriber<Output, Failure>> subscriber) = 0;
};

}  // namespace platform::reactive
