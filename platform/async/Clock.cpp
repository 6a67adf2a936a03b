#include "platform/async/Clock.h"

#include <time.h>

#include <mutex>
#include <set>
#include <vector>

#include "platform/base/NoDestructor.h"
#include "platform/dispatch/Source.h"

namespace platform::async {
namespace {

using dispatch::Time;
using dispatch::TimerSource;

Time deadlineOn(Time::Clock clock, std::int64_t ns) {
  if (clock == Time::Clock::Wall) {
    return Time::wall(std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::nanoseconds(ns))));
  }
  return Time::monotonic(std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::nanoseconds(ns))));
}

// A timer of the system's clocks: a strict dispatch timer source.
class SystemTimer final : public TimerCore {
 public:
  SystemTimer(Time::Clock clock, QueuePtr queue)
      : clock_(clock), source_(TimerSource::make(std::move(queue), TimerSource::Strict)) {}

  void setEventHandler(std::function<void()> handler) override {
    source_->setEventHandler(std::move(handler));
  }
  void schedule(std::int64_t start, std::int64_t interval) override {
    source_->schedule(deadlineOn(clock_, start), std::chrono::nanoseconds(interval),
                      std::chrono::nanoseconds::zero());
  }
  void resume() override { source_->resume(); }
  void cancel() override { source_->cancel(); }
  bool isCancelled() const override { return source_->isCancelled(); }

 private:
  const Time::Clock clock_;
  const std::shared_ptr<TimerSource> source_;
};

struct EarlierDeadline {
  bool operator()(const Sleeper* a, const Sleeper* b) const {
    return a->deadline != b->deadline ? a->deadline < b->deadline : a->order < b->order;
  }
};

// One of the system's clocks: its sleepers in deadline order and one timer source armed for
// the earliest of them. The source's handler runs on a serial queue of its own, wakes what is
// due (each sleeper resumes on its own executor) and arms the source for the next one.
class SystemClockDriver final : public ClockDriver {
 public:
  explicit SystemClockDriver(Time::Clock clock)
      : clock_(clock),
        id_(clock == Time::Clock::Wall ? CLOCK_REALTIME : CLOCK_MONOTONIC),
        timer_(TimerSource::make(
            dispatch::Queue::makeSerial(clock == Time::Clock::Wall ? "async.clock.wall"
                                                                   : "async.clock.monotonic"),
            TimerSource::Strict)) {
    // The driver is never destroyed, so the handler may keep a plain pointer to it.
    timer_->setEventHandler([this] { wakeDue(); });
    timer_->schedule(Time::forever(), std::chrono::nanoseconds::zero(),
                     std::chrono::nanoseconds::zero());
    timer_->resume();
  }

  std::int64_t now() const override {
    timespec ts{};
    clock_gettime(id_, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  }

  void add(Sleeper& s) override {
    std::lock_guard lock(m_);
    s.order = nextOrder_++;
    sleepers_.insert(&s);
    if (*sleepers_.begin() == &s) armLocked();
  }

  void remove(Sleeper& s) override {
    std::lock_guard lock(m_);
    sleepers_.erase(&s);
  }

  std::shared_ptr<TimerCore> makeTimer(QueuePtr queue) override {
    return std::make_shared<SystemTimer>(clock_, std::move(queue));
  }

 private:
  void armLocked() {
    Time at =
        sleepers_.empty() ? Time::forever() : deadlineOn(clock_, (*sleepers_.begin())->deadline);
    timer_->schedule(at, std::chrono::nanoseconds::zero(), std::chrono::nanoseconds::zero());
  }

  void wakeDue() {
    std::vector<Sleeper*> due;
    {
      std::lock_guard lock(m_);
      const std::int64_t t = now();
      while (!sleepers_.empty() && (*sleepers_.begin())->deadline <= t) {
        Sleeper* s = *sleepers_.begin();
        sleepers_.erase(sleepers_.begin());
        // A sleeper whose cancellation claimed it first is woken by that cancellation, which
        // waits for this lock before it lets the sleeper go.
        if (s->claim()) due.push_back(s);
      }
      armLocked();
    }
    for (Sleeper* s : due)
      s->suspension.wake();
  }

  const Time::Clock clock_;
  const clockid_t id_;
  const std::shared_ptr<TimerSource> timer_;
  std::mutex m_;
  std::set<Sleeper*, EarlierDeadline> sleepers_;
  std::uint64_t nextOrder_ = 0;
};

}  // namespace

const std::shared_ptr<ClockDriver>& systemMonotonicDriver() {
  static base::NoDestructor<std::shared_ptr<ClockDriver>> driver(
      std::make_shared<SystemClockDriver>(Time::Clock::Monotonic));
  return *driver;
}

const std::shared_ptr<ClockDriver>& systemWallDriver() {
  static base::NoDestructor<std::shared_ptr<ClockDriver>> driver(
      std::make_shared<SystemClockDriver>(Time::Clock::Wall));
  return *driver;
}

}  // namespace platform::async
