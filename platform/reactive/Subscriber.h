#pragma once
// The receiving end of a stream. A publisher calls, in this order: receive(subscription) once,
// receive(value) zero or more times (never more than the demand requested, never concurrently
// with each other), then at most one receive(completion).

#include <memory>

#include "platform/reactive/Completion.h"
#include "platform/reactive/Demand.h"
#include "platform/reactive/Subscription.h"

namespace platform::reactive {

template <class Input, class Failure = Never>
class Subscriber {
 public:
  using InputType = Input;
  using FailureType = Failure;

  virtual ~Subscriber() = default;
  virtual void receive(std::shared_ptr<Subscription> subscription) = 0;
  // Returns the demand to add on top of what is still outstanding (usually none).
  virtual Demand receive(Input value) = 0;
  virtual void receive(Completion<Failure> completion) = 0;
};

}  // namespace platform::reactive
