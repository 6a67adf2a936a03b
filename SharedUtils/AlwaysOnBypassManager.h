#pragma once
// AlwaysOnBypassManager: the keeper of the bypass mode's time limit. The client normally keeps
// its protection always on; bypass mode lets the user step out of it for a while. The manager is
// told that bypass mode starts and for how long, ends it when the time is up, and guards the
// limit against the clock being wound back. Ending bypass mode opens the client application (the
// default) or calls a callback the owner installed; what bypass mode changes in the network is
// not its business.
//
// Two strict timers with no leeway keep the time, both on the global default-priority queue:
// - the expiry timer, a one-shot on the wall clock: bypass mode ends when the wall clock reaches
//   the end time, even across a suspend, and at once when the clock is set past the end time;
// - the monitoring timer, every 60 s on the monotonic clock: it compares the wall clock with
//   the last time the manager saw it (kept in the settings store under "lastKnowTime", so it
//   survives restarts) and ends bypass mode at once when the clock has gone back by more than
//   10 seconds; otherwise it records the time it saw.
//
// One lock serialises the owner's calls and both timers' handlers, so their work never
// overlaps; a handler whose timer was replaced or cancelled while it waited for the lock does
// nothing, so re-activating bypass mode leaves exactly one expiry. Ending bypass mode when it is
// off still logs and still opens the application (or calls the callback). The callback and the
// launcher are called after the lock is released, so they may call back into the manager.
//
// The process-wide instance is shared(), made on first use with the system's clocks and
// launcher; it lives for the rest of the process (the timers' handlers hold it). Tests make
// their own with make(), on a test clock, and end bypass mode before dropping it.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/async/Clock.h"
#include "platform/dispatch/Queue.h"
#include "platform/launcher/Launcher.h"

namespace sharedutils {

class AlwaysOnBypassManager : public std::enable_shared_from_this<AlwaysOnBypassManager> {
 public:
  using Date = platform::async::WallClock::time_point;

  // The address of the client application that ending bypass mode opens.
  static constexpr const char* kClientApplicationURL = "file:///Applications/TarvoClient.app";

  // What the manager keeps time with; the defaults are the system's.
  struct Environment {
    platform::async::WallClock wall;
    platform::async::MonotonicClock monotonic;
    std::shared_ptr<platform::launcher::Launcher> launcher = platform::launcher::systemLauncher();
    platform::dispatch::QueuePtr timerQueue = platform::dispatch::Queue::global();
  };

  static AlwaysOnBypassManager& shared();
  static std::shared_ptr<AlwaysOnBypassManager> make(Environment environment);

  // Starts (or restarts) bypass mode for `bypassModeDurationTimeSec` seconds.
  void bypassModeActivate(double bypassModeDurationTimeSec);
  // (Re)arms both timers: the expiry `expiry` seconds from now, the first check in a minute.
  void startBypassModeExpiryTimer(double expiry);
  // Ends bypass mode now.
  void bypassModeDeactivate();
  // The clock-jump check the monitoring timer runs.
  void checkTimeValidForBypass();

  // The duration offered to callers (15 minutes unless changed); the manager does not read it.
  double bypassModeTimeSec() const;
  void setBypassModeTimeSec(double seconds);
  // When the current bypass period ends; nothing while bypass mode is off.
  std::optional<Date> bypassModeEndTime() const;
  void setBypassModeEndTime(std::optional<Date> end);
  // Called when bypass mode ends and newMacBypass is false (initially a callback that does
  // nothing).
  std::function<void()> bypassModeDeactivateClosure() const;
  void setBypassModeDeactivateClosure(std::function<void()> closure);
  // True (the default): ending bypass mode opens the client application; false: it calls the
  // callback.
  bool newMacBypass() const;
  void setNewMacBypass(bool value);
  // The last time the manager saw the clock (the settings store's "lastKnowTime").
  Date lastKnowTimeForBypassClockTamperDetection() const;
  void setLastKnowTimeForBypassClockTamperDetection(Date date);

  struct Access;
  AlwaysOnBypassManager(const Access&, Environment environment);

 private:
  using WallTimer = platform::async::WallClock::Timer;
  using MonotonicTimer = platform::async::MonotonicClock::Timer;

  // What ending bypass mode leaves to do once the lock is released.
  using Ending = std::function<void()>;

  void startTimersLocked(double expiry);
  [[nodiscard]] Ending deactivateLocked();
  [[nodiscard]] Ending checkTimeLocked();
  void expiryFired(std::uint64_t generation);
  void monitorFired(std::uint64_t generation);

  const Environment env_;
  mutable std::mutex m_;
  std::optional<WallTimer> bypassModeTimer_;
  double bypassModeTimeSec_ = 900.0;
  std::optional<Date> bypassModeEndTime_;
  std::function<void()> bypassModeDeactivateClosure_ = [] {};
  bool newMacBypass_ = true;
  std::optional<MonotonicTimer> timeMonitoringTimer_;
  // Counts the arming and the clearing of the timers: a handler that carries an older number
  // belongs to timers that are gone.
  std::uint64_t generation_ = 0;
};

}  // namespace sharedutils
