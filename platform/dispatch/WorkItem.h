#pragma once
// A cancellable work item: a closure that runs at most once, wherever it was submitted, unless
// it is cancelled first. Cancelling a pending item releases its closure at once (and with it
// whatever the closure captured); cancelling an item that is running or has run changes nothing.
//
//   auto item = WorkItem::make([] { ... });
//   Queue::global()->asyncAfter(Time::after(5s), item->block());
//   item->cancel();   // from any thread

#include <functional>
#include <memory>
#include <mutex>

#include "platform/dispatch/Block.h"

namespace platform::dispatch {

class WorkItem : public std::enable_shared_from_this<WorkItem> {
 public:
  static std::shared_ptr<WorkItem> make(std::function<void()> work);

  // Runs the closure on the calling thread unless the item was cancelled or has run already.
  void perform();
  // A queue item that performs this item; it keeps the item alive until it has run.
  Block block();
  void cancel();
  bool isCancelled() const;

 private:
  struct Key {};

 public:
  // Use make(); public only so that make() can use make_shared.
  WorkItem(Key, std::function<void()> work) : work_(std::move(work)) {}

 private:
  mutable std::mutex m_;
  std::function<void()> work_;  // empty once run or cancelled
  bool cancelled_ = false;
};

}  // namespace platform::dispatch
