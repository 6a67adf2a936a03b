#pragma once
// Dispatch groups: a count of outstanding work that can be waited for, with or without a deadline,
// or observed with a notification item submitted once the count drops to zero.

#include <memory>

#include "platform/dispatch/Block.h"
#include "platform/dispatch/Time.h"

namespace platform::dispatch {

class Queue;
namespace detail {
struct WorkNode;
}

class Group {
 public:
  Group();
  ~Group();
  Group(const Group&) = delete;
  Group& operator=(const Group&) = delete;

  void enter();
  // Leaving more often than entering is a contract violation (reported, otherwise ignored).
  void leave();
  // Waits until every entered piece of work has left. False when the deadline passed first.
  bool wait(Time deadline = Time::forever());
  // Submits `work` to `queue` once the group is empty (at once when it already is).
  void notify(const std::shared_ptr<Queue>& queue, Block work);

 private:
  friend class QueueImpl;
  friend struct detail::WorkNode;
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace platform::dispatch
