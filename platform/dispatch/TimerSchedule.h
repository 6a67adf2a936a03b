#pragma once
// The deadlines of one timer, one-shot or repeating, and what it does when its clock is set.
//
// A timer on the wall clock follows the clock's reading, not the time that passes: when the
// clock is set (by hand, by time synchronisation, or on waking from suspend), a deadline that
// the new reading has passed is due at once, and one that is still ahead waits for it. The rule
// after a set, in full:
// - the next deadline has been passed: the timer fires once now (however many periods the set
//   skipped), and a repeating timer goes on with its next period after the new reading;
// - the next deadline is still ahead (the clock went back, or not far enough forward): nothing
//   fires and the deadline stays where it was;
// - a one-shot timer that has fired already does nothing, whatever the set.
// The dispatch layer's timer sources and the test clock both follow it.

#include <cstdint>
#include <optional>

namespace platform::dispatch {

class TimerSchedule {
 public:
  // First deadline `start`, then every `interval` (zero or less: one-shot); nanoseconds on the
  // timer's clock.
  void arm(std::int64_t start, std::int64_t interval);
  void disarm() { armed_ = false; }

  bool isArmed() const { return armed_; }
  bool isRepeating() const { return interval_ > 0; }
  std::int64_t interval() const { return interval_; }
  // The next deadline; meaningful while armed.
  std::int64_t next() const { return next_; }

  // The timer fired `count` times (its kernel object's expirations).
  void expired(std::uint64_t count);

  struct AfterSet {
    bool fireNow = false;
    // Where the timer's kernel object is to be armed again; nothing: leave it disarmed.
    std::optional<std::int64_t> rearmAt;
  };
  // The clock was set and now reads `now`.
  AfterSet clockSet(std::int64_t now);

 private:
  bool armed_ = false;
  std::int64_t next_ = 0;
  std::int64_t interval_ = 0;
};

}  // namespace platform::dispatch
