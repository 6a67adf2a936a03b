#include "platform/dispatch/Group.h"

#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/GroupState.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/ThreadSupport.h"
#include "platform/dispatch/WaitSupport.h"
#include "platform/dispatch/WorkerPool.h"

namespace platform::dispatch {
void Group::State::leave() {
  long c = count.load(std::memory_order_relaxed);
  do {
    if (c <= 0) {
      platform::diagnostics::contractViolation(
          "dispatch: Group::leave() without a matching enter()");
      return;
    }
  } while (
      !count.compare_exchange_weak(c, c - 1, std::memory_order_acq_rel, std::memory_order_relaxed));
  if (c != 1) return;
  // The group just emptied: wake the waiters and submit the notifications registered so far.
  std::vector<std::pair<std::shared_ptr<Queue>, Block>> due;
  {
    std::lock_guard lock(m);
    due.swap(notifications);
    cv.notify_all();
  }
  for (auto& [queue, work] : due)
    queue->async(std::move(work));
}

bool Group::State::wait(Time deadline) {
  // A fan-out whose pieces finish within microseconds on the other core is seen without a
  // futex round trip.
  if (detail::spinFor([this] { return count.load(std::memory_order_acquire) == 0; },
                      detail::kSpinLimit)) {
    return true;
  }
  detail::BlockedScope blocked;
  std::unique_lock lock(m);
  while (count.load(std::memory_order_acquire) != 0) {
    if (!detail::waitUntil(cv, lock, deadline)) {
      return count.load(std::memory_order_acquire) == 0;
    }
  }
  return true;
}

void Group::State::notify(const std::shared_ptr<Queue>& queue, Block work) {
  if (!queue || !work) return;
  {
    std::lock_guard lock(m);
    // Checked under the lock: the leave() that empties the group takes the lock after its
    // decrement, so a notification queued here is always picked up by it.
    if (count.load(std::memory_order_acquire) != 0) {
      notifications.emplace_back(queue, std::move(work));
      return;
    }
  }
  queue->async(std::move(work));
}

Group::Group() : state_(std::make_shared<State>()) {}

Group::~Group() = default;

void Group::enter() {
  state_->enter();
}

void Group::leave() {
  state_->leave();
}

bool Group::wait(Time deadline) {
  return state_->wait(deadline);
}

void Group::notify(const std::shared_ptr<Queue>& queue, Block work) {
  state_->notify(queue, std::move(work));
}

}  // namespace platform::dispatch
