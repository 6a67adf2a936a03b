#include "platform/dispatch/TimerScheduling.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/base/FileDescriptor.h"
#include "platform/base/NoDestructor.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/DescriptorWatch.h"

namespace platform::dispatch::detail {

namespace {

// The items of Queue::asyncAfter on one clock: one heap behind one timer descriptor, watched on
// the event thread. Programs keep many such items pending (time-outs above all, which are mostly
// cancelled long before they come due and stay scheduled until then), so a pending item costs a
// heap entry rather than a descriptor, and scheduling one makes a system call only when it comes
// due before every other. Items fire exactly at their deadline (no leeway), those with the same
// deadline in the order they were scheduled.
//
// On the wall clock the descriptor is cancelled when the clock is set, and the items are looked
// at again against the new reading: those it has passed fire at once, the others keep waiting
// for their own deadline, as every wall-clock timer of this layer does.
class DelayedItems {
 public:
  explicit DelayedItems(Time::Clock clock) : clock_(clock) {}
  DelayedItems(const DelayedItems&) = delete;
  DelayedItems& operator=(const DelayedItems&) = delete;

  void add(std::shared_ptr<Queue> queue, std::int64_t deadline, Block work) {
    std::lock_guard lock(m_);
    heap_.push_back({deadline, nextOrder_++, std::move(queue), std::move(work)});
    std::push_heap(heap_.begin(), heap_.end(), Later{});
    if (!openLocked()) return;
    if (deadline < armedAt_) armLocked(deadline);
  }

 private:
  struct Entry {
    std::int64_t deadline;
    std::uint64_t order;
    std::shared_ptr<Queue> queue;
    Block work;
  };
  // The heap's top is the earliest deadline, and among equal ones the earliest scheduled.
  struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.deadline != b.deadline ? a.deadline > b.deadline : a.order > b.order;
    }
  };

  // The descriptor and its watch, made on first use; a failure is reported and tried again by
  // the next item (the items already scheduled wait until then).
  bool openLocked() {
    if (watch_) return true;
    const int id = clock_ == Time::Clock::Wall ? CLOCK_REALTIME : CLOCK_MONOTONIC;
    platform::base::FileDescriptor fd(timerfd_create(id, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!fd) {
      platform::diagnostics::reportf("dispatch: timerfd_create for delayed items failed (errno %d)",
                                     errno);
      return false;
    }
    auto watch = DescriptorWatch::make(fd.get(), [this](std::uint32_t) { onTimer(); });
    if (!watch || !watch->arm(DescriptorWatch::Readable)) {
      platform::diagnostics::reportf("dispatch: cannot watch the delayed items' timer");
      return false;
    }
    fd_ = std::move(fd);
    watch_ = std::move(watch);
    armedAt_ = INT64_MAX;
    return true;
  }

  void armLocked(std::int64_t deadline) {
    itimerspec setting{};
    // Zero would disarm: a deadline at the clock's epoch is simply due.
    const std::int64_t at = std::max<std::int64_t>(deadline, 1);
    setting.it_value.tv_sec = at / 1'000'000'000;
    setting.it_value.tv_nsec = at % 1'000'000'000;
    int flags = TFD_TIMER_ABSTIME;
    if (clock_ == Time::Clock::Wall) flags |= TFD_TIMER_CANCEL_ON_SET;
    if (timerfd_settime(fd_.get(), flags, &setting, nullptr) != 0) {
      platform::diagnostics::reportf(
          "dispatch: timerfd_settime for delayed items failed (errno %d)", errno);
      return;
    }
    armedAt_ = deadline;
  }

  // On the event thread: the timer expired, or (wall clock) the clock was set.
  void onTimer() {
    std::vector<Entry> due;
    {
      std::lock_guard lock(m_);
      std::uint64_t expirations = 0;
      // Nothing to read (a report raced a re-arm), an expiry, or ECANCELED after a clock set:
      // in every case the heap is looked at against the clock as it reads now.
      [[maybe_unused]] const ssize_t got = read(fd_.get(), &expirations, sizeof expirations);
      const Time now = clock_ == Time::Clock::Wall ? Time::wallNow() : Time::now();
      while (!heap_.empty() && heap_.front().deadline <= now.nanoseconds()) {
        std::pop_heap(heap_.begin(), heap_.end(), Later{});
        due.push_back(std::move(heap_.back()));
        heap_.pop_back();
      }
      armedAt_ = INT64_MAX;
      // Re-armed even when the earliest deadline did not change: a clock set cancelled it.
      if (!heap_.empty()) armLocked(heap_.front().deadline);
      watch_->arm(DescriptorWatch::Readable);
    }
    for (Entry& entry : due)
      entry.queue->async(std::move(entry.work));
  }

  const Time::Clock clock_;
  std::mutex m_;
  std::vector<Entry> heap_;  // guarded by m_, ordered by Later
  std::uint64_t nextOrder_ = 0;
  platform::base::FileDescriptor fd_;
  std::unique_ptr<DescriptorWatch> watch_;
  std::int64_t armedAt_ = INT64_MAX;  // the deadline the descriptor is set for; INT64_MAX: none
};

DelayedItems& delayedItems(Time::Clock clock) {
  static platform::base::NoDestructor<DelayedItems> monotonic(Time::Clock::Monotonic);
  static platform::base::NoDestructor<DelayedItems> wall(Time::Clock::Wall);
  return clock == Time::Clock::Wall ? *wall : *monotonic;
}

}  // namespace

void scheduleAfter(std::shared_ptr<Queue> queue, Time deadline, Block work) {
  delayedItems(deadline.clock()).add(std::move(queue), deadline.nanoseconds(), std::move(work));
}

}  // namespace platform::dispatch::detail
