#pragma once
// The shared state behind a Group, reachable from queued items so that `async(group, ...)`
// can leave the group after its item ran without wrapping the item in a second closure.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/dispatch/Block.h"
#include "platform/dispatch/Group.h"

namespace platform::dispatch {

struct Group::State {
  std::atomic<long> count{0};
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::pair<std::shared_ptr<Queue>, Block>> notifications;  // guarded by m

  void enter() { count.fetch_add(1, std::memory_order_relaxed); }
  void leave();
  bool wait(Time deadline);
  void notify(const std::shared_ptr<Queue>& queue, Block work);
};

}  // namespace platform::dispatch
