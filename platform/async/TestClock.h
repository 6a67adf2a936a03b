#pragma once
// A pair of clocks, one monotonic and one wall clock, whose time only the test moves. Code under
// test takes them as values (MonotonicClock, WallClock) and cannot tell them from the system's,
// except that time stands still until the test calls advance() or setWall().
//
//   TestClock time;
//   auto handle = spawn(queue, work(time.monotonic()));   // work sleeps for 5 s
//   ASSERT_TRUE(time.waitForSleepers(1));                  // it has gone to sleep
//   time.advance(5s);                                      // it has woken and run on
//
// advance() moves both clocks. Every sleep and timer that falls due on the way is served at its
// own instant, earliest first (ties in the order they were armed), and the clocks read that
// instant meanwhile; before going further, advance() waits until the woken work has run (a
// woken task: up to its next suspension), so a timer's handler that arms another timer is
// served in the same advance when the new deadline is within it. Call advance() and setWall()
// from a thread that the woken work does not need (the test's own thread, not one of the
// queues involved).
//
// setWall() sets the wall clock alone, as when the system's clock is set: sleeps and timers on
// the wall clock follow the rule in platform/dispatch/TimerSchedule.h (a passed deadline is due
// at once, a set back delays), while the monotonic clock does not move.
//
// A deadline that is already reached when a timer is armed makes it fire at once, without an
// advance, as a system timer would.

#include <chrono>
#include <cstddef>
#include <memory>

#include "platform/async/Clock.h"

namespace platform::async {

class TestClock {
 public:
  // 2026-01-01 00:00:00 UTC, a fixed start so that texts with dates are the same on every run.
  static WallClock::time_point defaultWallStart();

  explicit TestClock(WallClock::time_point wallStart = defaultWallStart());
  ~TestClock();
  TestClock(const TestClock&) = delete;
  TestClock& operator=(const TestClock&) = delete;

  MonotonicClock monotonic() const;
  WallClock wall() const;

  void advance(std::chrono::nanoseconds by);
  void setWall(WallClock::time_point to);
  // Moves the wall clock alone by `by` (negative: back).
  void moveWall(std::chrono::nanoseconds by);

  // Tasks asleep on either clock.
  std::size_t sleeperCount() const;
  // Waits until at least `count` tasks are asleep on either clock. False when `limit` passed
  // first.
  bool waitForSleepers(std::size_t count,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) const;

 private:
  struct State;
  class Driver;
  class Timer;
  std::shared_ptr<State> state_;
};

}  // namespace platform::async
