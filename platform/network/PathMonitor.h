#pragma once
// A path monitor: reports the host's network path, now and whenever it changes.
//
// Contract of every monitor:
// - currentPath() may be called from any thread at any time; before start() it answers from the
//   monitor's own reading at creation.
// - After start(queue) the update handler runs on `queue`: once soon after start with the path
//   as it is then, and after that with every path that differs from the one it was last given.
//   A burst of kernel changes yields one evaluation, not one per change.
// - cancel() stops the updates for good (an update already running on the queue finishes) and
//   releases the handler; destroying the monitor cancels it. start() after cancel() does nothing.

#include <functional>
#include <memory>

#include "platform/dispatch/Queue.h"
#include "platform/network/Path.h"

namespace platform::network {

class PathMonitor {
 public:
  using UpdateHandler = std::function<void(const Path&)>;

  virtual ~PathMonitor() = default;

  virtual Path currentPath() const = 0;
  // Set before start(); a handler set later may miss the first update.
  virtual void setUpdateHandler(UpdateHandler handler) = 0;
  virtual void start(std::shared_ptr<platform::dispatch::Queue> queue) = 0;
  virtual void cancel() = 0;

 protected:
  PathMonitor() = default;
  PathMonitor(const PathMonitor&) = delete;
  PathMonitor& operator=(const PathMonitor&) = delete;
};

}  // namespace platform::network
