#pragma once
// Clocks: the time a task sleeps on and the timers that fire on it.
//
// A clock tells the time (now()), lets a task sleep until an instant (co_await
// clock.sleepUntil(t), or sleep(d)) and makes timers (makeTimer(queue)) whose handlers run on a
// queue, like the dispatch layer's timer sources. Two kinds exist:
// - MonotonicClock: time since boot, never set, stopped while the machine is suspended;
// - WallClock: the calendar time, which can be set; sleeps and timers on it follow its
//   reading: a set that passes a deadline makes it due at once, a set back delays it (the full
//   rule is in platform/dispatch/TimerSchedule.h).
// A default-made clock is the system's. TestClock (TestClock.h) makes clocks of both kinds whose
// time a test moves; code that takes its clocks as values works with either.
//
// Sleeping costs no thread: the sleeping task's frame waits in the clock's list, and one timer
// per clock wakes whatever is due. A sleep ends early with CancellationError when its task is
// cancelled, including when the task was cancelled before it began to sleep. A sleep until an
// instant that has passed returns at once.
//
// Timers are strict: they fire on time, with no leeway. A timer is created suspended (call
// resume() once), its handler never runs concurrently with itself, cancel() stops further
// runs, and dropping the last copy of a timer cancels it.

#include <atomic>
#include <chrono>
#include <concepts>
#include <coroutine>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>

#include "platform/async/Suspension.h"
#include "platform/async/Task.h"

namespace platform::async {

// A sleeping task, as a clock's list holds it.
struct Sleeper {
  std::int64_t deadline = 0;  // nanoseconds on the clock
  std::uint64_t order = 0;    // tie-break between equal deadlines: first come, first woken
  Suspension suspension;
  std::atomic<bool> claimed{false};
  bool cancelled = false;  // written by whoever claimed the sleeper, before its wake-up

  // Exactly one of the clock (deadline reached) and the task's cancellation claims a sleeper,
  // and only the claimer wakes it.
  bool claim() noexcept { return !claimed.exchange(true, std::memory_order_acq_rel); }
};

// A timer on some clock, in that clock's nanoseconds.
class TimerCore {
 public:
  virtual ~TimerCore() = default;
  virtual void setEventHandler(std::function<void()> handler) = 0;
  // First fire at `start`, then every `interval` (zero or less: one-shot). Calling it again
  // re-arms the timer.
  virtual void schedule(std::int64_t start, std::int64_t interval) = 0;
  virtual void resume() = 0;
  virtual void cancel() = 0;
  virtual bool isCancelled() const = 0;
};

// What a clock is made of: its reading, its list of sleepers and its timers. The system's
// clocks and the test clock each provide one.
class ClockDriver {
 public:
  virtual ~ClockDriver() = default;
  // Nanoseconds since the clock's epoch.
  virtual std::int64_t now() const = 0;
  // Adds a sleeper; the driver claims and wakes it once its deadline is reached. Sleepers whose
  // deadline is already reached are not added (the sleep does not suspend).
  virtual void add(Sleeper& sleeper) = 0;
  // Takes a sleeper out of the list (after its cancellation claimed it); nothing if not in it.
  virtual void remove(Sleeper& sleeper) = 0;
  virtual std::shared_ptr<TimerCore> makeTimer(QueuePtr queue) = 0;
};

// `co_await clock.sleepUntil(t)`.
class SleepAwaiter {
 public:
  SleepAwaiter(std::shared_ptr<ClockDriver> driver, std::int64_t deadline)
      : driver_(std::move(driver)) {
    sleeper_.deadline = deadline;
  }
  SleepAwaiter(SleepAwaiter&& other) noexcept : driver_(std::move(other.driver_)) {
    sleeper_.deadline = other.sleeper_.deadline;
  }

  bool await_ready() const noexcept { return false; }
  template <class P>
  bool await_suspend(std::coroutine_handle<P> h) {
    static_assert(std::is_base_of_v<TaskPromiseBase, P>, "only inside a task");
    TaskPromiseBase& promise = h.promise();
    if (promise.stopToken().stop_requested()) {
      sleeper_.cancelled = true;
      return false;
    }
    if (sleeper_.deadline <= driver_->now()) return false;
    sleeper_.suspension.prepare(h, promise.executor());
    driver_->add(sleeper_);
    // Registered after the sleeper is listed: a cancellation from here on finds it (and one
    // that came in between runs right here, inside emplace()).
    onCancel_.emplace(promise.stopToken(), Cancel{this});
    return sleeper_.suspension.suspend();
  }
  void await_resume() {
    onCancel_.reset();
    if (sleeper_.cancelled) throw CancellationError();
  }

 private:
  struct Cancel {
    SleepAwaiter* self;
    void operator()() const noexcept {
      Sleeper& s = self->sleeper_;
      if (!s.claim()) return;
      self->driver_->remove(s);
      s.cancelled = true;
      s.suspension.wake();
    }
  };

  std::shared_ptr<ClockDriver> driver_;
  Sleeper sleeper_;
  std::optional<std::stop_callback<Cancel>> onCancel_;
};

// A timer on a clock, in the clock's own time points. A handle: copies share the timer.
template <class TimePoint>
class ClockTimer {
 public:
  explicit ClockTimer(std::shared_ptr<TimerCore> core) : core_(std::move(core)) {}

  void setEventHandler(std::function<void()> handler) const {
    core_->setEventHandler(std::move(handler));
  }
  // First fire at `start`, then every `interval` (zero: one-shot).
  void schedule(TimePoint start,
                std::chrono::nanoseconds interval = std::chrono::nanoseconds::zero()) const {
    core_->schedule(
        std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count(),
        interval.count());
  }
  void resume() const { core_->resume(); }
  void cancel() const { core_->cancel(); }
  bool isCancelled() const { return core_->isCancelled(); }

  friend bool operator==(const ClockTimer& a, const ClockTimer& b) { return a.core_ == b.core_; }

 private:
  std::shared_ptr<TimerCore> core_;
};

// The system's monotonic and wall-clock drivers (process-wide, never destroyed).
const std::shared_ptr<ClockDriver>& systemMonotonicDriver();
const std::shared_ptr<ClockDriver>& systemWallDriver();

template <class StdClock>
class BasicClock {
 public:
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<StdClock, duration>;
  using Timer = ClockTimer<time_point>;

  // The system's clock of this kind.
  BasicClock() : driver_(systemDriver()) {}
  // A clock run by `driver` (a test clock's).
  explicit BasicClock(std::shared_ptr<ClockDriver> driver) : driver_(std::move(driver)) {}

  time_point now() const { return time_point(duration(driver_->now())); }
  SleepAwaiter sleepUntil(time_point deadline) const {
    return SleepAwaiter(driver_, deadline.time_since_epoch().count());
  }
  SleepAwaiter sleep(duration d) const { return sleepUntil(now() + d); }
  // A strict timer whose handler runs on `queue`; created suspended.
  Timer makeTimer(QueuePtr queue) const { return Timer(driver_->makeTimer(std::move(queue))); }

  const std::shared_ptr<ClockDriver>& driver() const { return driver_; }

 private:
  static const std::shared_ptr<ClockDriver>& systemDriver() {
    if constexpr (std::is_same_v<StdClock, std::chrono::system_clock>) {
      return systemWallDriver();
    } else {
      return systemMonotonicDriver();
    }
  }

  std::shared_ptr<ClockDriver> driver_;
};

// libstdc++'s steady clock is CLOCK_MONOTONIC and its system clock CLOCK_REALTIME, both in
// nanoseconds, so instants convert to and from the standard clocks' without loss.
using MonotonicClock = BasicClock<std::chrono::steady_clock>;
using WallClock = BasicClock<std::chrono::system_clock>;

// What generic code needs of a clock.
template <class C>
concept Clock = std::copy_constructible<C> &&
    requires(const C& c, typename C::time_point t, typename C::duration d, QueuePtr q) {
  typename C::duration;
  typename C::time_point;
  { c.now() } -> std::same_as<typename C::time_point>;
  { t + d } -> std::same_as<typename C::time_point>;
  c.sleepUntil(t);
  c.sleep(d);
  c.makeTimer(q);
};

static_assert(Clock<MonotonicClock> && Clock<WallClock>);

}  // namespace platform::async
