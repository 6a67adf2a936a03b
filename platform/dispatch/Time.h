#pragma once
// Deadlines for waits, delayed work and timers. A deadline is either on the monotonic clock
// (immune to the wall clock being set) or on the wall clock (a timer on it fires when the wall
// clock reaches the deadline, including when the clock is set forward past it).

#include <chrono>
#include <cstdint>

namespace platform::dispatch {

class Time {
 public:
  enum class Clock : std::uint8_t { Monotonic, Wall };

  // The deadline that never comes: waits on it have no time limit.
  static constexpr Time forever() { return Time(Clock::Monotonic, INT64_MAX); }
  static Time now();                                  // monotonic now
  static Time after(std::chrono::nanoseconds delay);  // monotonic now + delay
  // A monotonic deadline from the steady clock (which is CLOCK_MONOTONIC here).
  static Time monotonic(std::chrono::steady_clock::time_point when);
  static Time wallNow();  // wall-clock now
  static Time wallAfter(std::chrono::nanoseconds delay);
  static Time wall(std::chrono::system_clock::time_point when);

  Clock clock() const { return clock_; }
  bool isForever() const { return ns_ == INT64_MAX; }
  // Nanoseconds since the epoch of this deadline's clock (CLOCK_MONOTONIC or CLOCK_REALTIME).
  std::int64_t nanoseconds() const { return ns_; }
  // Time left until the deadline on its own clock; zero when past, nanoseconds::max() for forever.
  std::chrono::nanoseconds remaining() const;

  friend bool operator==(const Time&, const Time&) = default;

 private:
  constexpr Time(Clock c, std::int64_t ns) : clock_(c), ns_(ns) {}
  Clock clock_;
  std::int64_t ns_;
};

}  // namespace platform::dispatch
