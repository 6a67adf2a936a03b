#include "platform/dispatch/WorkItem.h"

#include <utility>

namespace platform::dispatch {

std::shared_ptr<WorkItem> WorkItem::make(std::function<void()> work) {
  return std::make_shared<WorkItem>(Key{}, std::move(work));
}

void WorkItem::perform() {
  std::function<void()> work;
  {
    std::lock_guard lock(m_);
    if (cancelled_) return;
    work = std::move(work_);
    work_ = nullptr;
  }
  // Outside the lock: the closure may cancel its own item or submit it again.
  if (work) work();
}

Block WorkItem::block() {
  return [self = shared_from_this()] { self->perform(); };
}

void WorkItem::cancel() {
  std::function<void()> dropped;
  std::lock_guard lock(m_);
  cancelled_ = true;
  dropped = std::move(work_);
  work_ = nullptr;
  // `dropped` is destroyed after the lock is released (declared before the guard), so a
  // captured object whose destructor comes back here cannot deadlock.
}

bool WorkItem::isCancelled() const {
  std::lock_guard lock(m_);
  return cancelled_;
}

}  // namespace platform::dispatch
