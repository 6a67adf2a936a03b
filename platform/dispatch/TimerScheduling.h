#pragma once
// Delayed submission for Queue::asyncAfter: one timer per clock, on the event thread.

#include <memory>

#include "platform/dispatch/Block.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Time.h"

namespace platform::dispatch::detail {

// Submits `work` to `queue` once `deadline` (on its own clock) has come.
void scheduleAfter(std::shared_ptr<Queue> queue, Time deadline, Block work);

}  // namespace platform::dispatch::detail
