#pragma once
// The link between one publisher and one subscriber. The subscriber asks for values with
// request(); cancel() ends the link (it is a Cancellable).

#include "platform/reactive/Cancellable.h"
#include "platform/reactive/Demand.h"

namespace platform::reactive {

class Subscription : public Cancellable {
 public:
  // Adds to the outstanding demand. Values the publisher was holding back may be delivered from
  // inside this call, on the calling thread.
  virtual void request(Demand demand) = 0;
};

}  // namespace platform::reactive
