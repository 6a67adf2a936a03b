#include "platform/dispatch/TimerSchedule.h"

namespace platform::dispatch {

void TimerSchedule::arm(std::int64_t start, std::int64_t interval) {
  armed_ = true;
  next_ = start;
  interval_ = interval > 0 ? interval : 0;
}

void TimerSchedule::expired(std::uint64_t count) {
  if (!armed_ || count == 0) return;
  if (interval_ == 0) {
    armed_ = false;
    return;
  }
  next_ += static_cast<std::int64_t>(count) * interval_;
}

TimerSchedule::AfterSet TimerSchedule::clockSet(std::int64_t now) {
  AfterSet out;
  if (!armed_) return out;
  if (next_ > now) {
    out.rearmAt = next_;
    return out;
  }
  out.fireNow = true;
  if (interval_ == 0) {
    armed_ = false;
    return out;
  }
  next_ += ((now - next_) / interval_ + 1) * interval_;
  out.rearmAt = next_;
  return out;
}

}  // namespace platform::dispatch
