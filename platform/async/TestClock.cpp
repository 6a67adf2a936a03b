#include "platform/async/TestClock.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/TimerSchedule.h"

namespace platform::async {

using std::chrono::nanoseconds;

namespace {
constexpr int kMonotonic = 0;
constexpr int kWall = 1;
// The monotonic clock starts well after its epoch, as a machine's does some time after boot.
constexpr std::int64_t kMonotonicStart = 1000LL * 1000000000;
// How long advance() and setWall() wait for the work they woke before reporting it as stuck.
constexpr auto kWokenWorkLimit = std::chrono::seconds(60);
}  // namespace

struct TestClock::State {
  mutable std::mutex m;
  mutable std::condition_variable sleepersChanged;
  std::int64_t now[2] = {kMonotonicStart, 0};
  std::vector<Sleeper*> sleepers[2];
  std::vector<std::weak_ptr<Timer>> timers;
  std::uint64_t nextOrder = 0;
};

// A timer of the test clock. Its fields are guarded by the clock's lock. Fires that come while
// a run of its handler is queued or running merge into that run, so the handler never runs
// concurrently with itself.
class TestClock::Timer final : public TimerCore, public std::enable_shared_from_this<Timer> {
 public:
  Timer(std::shared_ptr<State> state, int kind, QueuePtr queue)
      : state_(std::move(state)), kind_(kind), queue_(std::move(queue)) {}
  ~Timer() override { cancel(); }

  void setEventHandler(std::function<void()> handler) override {
    auto fresh = handler ? std::make_shared<std::function<void()>>(std::move(handler)) : nullptr;
    std::lock_guard lock(state_->m);
    if (!cancelled_) handler_.swap(fresh);
  }

  void schedule(std::int64_t start, std::int64_t interval) override {
    bool fireNow;
    {
      std::lock_guard lock(state_->m);
      if (cancelled_) return;
      schedule_.arm(start, interval);
      order_ = state_->nextOrder++;
      fireNow = takeDueLocked();
    }
    if (fireNow) fire(nullptr);
  }

  void resume() override {
    bool fireNow;
    {
      std::lock_guard lock(state_->m);
      if (cancelled_ || resumed_) return;
      resumed_ = true;
      fireNow = takeDueLocked();
    }
    if (fireNow) fire(nullptr);
  }

  void cancel() override {
    std::shared_ptr<std::function<void()>> drop;
    std::lock_guard lock(state_->m);
    cancelled_ = true;
    drop.swap(handler_);
  }

  bool isCancelled() const override {
    std::lock_guard lock(state_->m);
    return cancelled_;
  }

  // With the clock's lock held.
  bool isLiveLocked() const { return resumed_ && !cancelled_ && schedule_.isArmed(); }
  int kind() const { return kind_; }
  std::uint64_t orderLocked() const { return order_; }
  dispatch::TimerSchedule& scheduleLocked() { return schedule_; }

  // Queues one run of the handler (in `group` when given), merged into a run already queued.
  void fire(dispatch::Group* group) {
    {
      std::lock_guard lock(state_->m);
      ++pending_;
      if (posted_) return;
      posted_ = true;
    }
    auto run = [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->runHandler();
    };
    if (group) {
      queue_->async(*group, run);
    } else {
      queue_->async(run);
    }
  }

 private:
  // With the clock's lock held: true when the timer's deadline is reached now; counts that fire.
  bool takeDueLocked() {
    if (!isLiveLocked() || schedule_.next() > state_->now[kind_]) return false;
    schedule_.expired(1);
    return true;
  }

  void runHandler() {
    for (;;) {
      std::shared_ptr<std::function<void()>> h;
      {
        std::lock_guard lock(state_->m);
        if (cancelled_ || pending_ == 0) {
          posted_ = false;
          return;
        }
        pending_ = 0;
        h = handler_;
      }
      if (h && *h) (*h)();
    }
  }

  const std::shared_ptr<State> state_;
  const int kind_;
  const QueuePtr queue_;
  std::shared_ptr<std::function<void()>> handler_;
  dispatch::TimerSchedule schedule_;
  std::uint64_t order_ = 0;
  std::uint64_t pending_ = 0;
  bool posted_ = false;
  bool resumed_ = false;
  bool cancelled_ = false;
};

class TestClock::Driver final : public ClockDriver {
 public:
  Driver(std::shared_ptr<State> state, int kind) : state_(std::move(state)), kind_(kind) {}

  std::int64_t now() const override {
    std::lock_guard lock(state_->m);
    return state_->now[kind_];
  }

  void add(Sleeper& s) override {
    {
      std::lock_guard lock(state_->m);
      if (s.deadline > state_->now[kind_]) {
        s.order = state_->nextOrder++;
        state_->sleepers[kind_].push_back(&s);
        state_->sleepersChanged.notify_all();
        return;
      }
    }
    // Time moved past the deadline since the sleep looked at the clock.
    if (s.claim()) s.suspension.wake();
  }

  void remove(Sleeper& s) override {
    std::lock_guard lock(state_->m);
    auto& list = state_->sleepers[kind_];
    list.erase(std::remove(list.begin(), list.end(), &s), list.end());
    state_->sleepersChanged.notify_all();
  }

  std::shared_ptr<TimerCore> makeTimer(QueuePtr queue) override {
    auto timer = std::make_shared<Timer>(state_, kind_, std::move(queue));
    std::lock_guard lock(state_->m);
    auto& timers = state_->timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(),
                                [](const std::weak_ptr<Timer>& t) { return t.expired(); }),
                 timers.end());
    timers.push_back(timer);
    return timer;
  }

 private:
  const std::shared_ptr<State> state_;
  const int kind_;
};

WallClock::time_point TestClock::defaultWallStart() {
  // 2026-01-01 00:00:00 UTC.
  return WallClock::time_point(std::chrono::seconds(1767225600));
}

TestClock::TestClock(WallClock::time_point wallStart) : state_(std::make_shared<State>()) {
  state_->now[kWall] = wallStart.time_since_epoch().count();
}

TestClock::~TestClock() = default;

MonotonicClock TestClock::monotonic() const {
  return MonotonicClock(std::make_shared<Driver>(state_, kMonotonic));
}

WallClock TestClock::wall() const {
  return WallClock(std::make_shared<Driver>(state_, kWall));
}

namespace {

// Wakes and fires what is due, as work of one group, and waits for it.
template <class Timers>
void serve(std::vector<Sleeper*>& sleepers, Timers& timers) {
  dispatch::Group group;
  for (Sleeper* s : sleepers) {
    // A task is listed a moment before it is suspended; its wake-up must be queued (and so
    // counted in the group), not noticed by the task on its way into the sleep.
    s->suspension.awaitSuspended();
    s->suspension.wake(&group);
  }
  for (auto& t : timers)
    t->fire(&group);
  if (!group.wait(dispatch::Time::after(kWokenWorkLimit))) {
    platform::diagnostics::contractViolation(
        "TestClock: the work woken by moving the clock did not finish within 60 s");
  }
}

}  // namespace

void TestClock::advance(nanoseconds by) {
  State& st = *state_;
  std::int64_t target;
  {
    std::lock_guard lock(st.m);
    target = st.now[kMonotonic] + std::max<std::int64_t>(by.count(), 0);
  }
  for (;;) {
    std::vector<Sleeper*> sleepers;
    std::vector<std::shared_ptr<Timer>> timers;
    // Timers looked at are kept here, so that none is destroyed (which takes the lock) inside.
    std::vector<std::shared_ptr<Timer>> seen;
    {
      std::lock_guard lock(st.m);
      // The earliest event, placed on the monotonic clock's time line.
      const std::int64_t offset = st.now[kWall] - st.now[kMonotonic];
      std::int64_t bestAt = 0;
      std::uint64_t bestOrder = 0;
      Sleeper* bestSleeper = nullptr;
      std::shared_ptr<Timer> bestTimer;
      bool found = false;
      auto consider = [&](std::int64_t at, std::uint64_t order) {
        if (found && (at > bestAt || (at == bestAt && order > bestOrder))) return false;
        found = true;
        bestAt = at;
        bestOrder = order;
        return true;
      };
      for (int kind : {kMonotonic, kWall}) {
        for (Sleeper* s : st.sleepers[kind]) {
          if (consider(kind == kWall ? s->deadline - offset : s->deadline, s->order)) {
            bestSleeper = s;
            bestTimer.reset();
          }
        }
      }
      for (const auto& weak : st.timers) {
        auto t = weak.lock();
        if (!t) continue;
        seen.push_back(t);
        if (!t->isLiveLocked()) continue;
        std::int64_t next = t->scheduleLocked().next();
        if (consider(t->kind() == kWall ? next - offset : next, t->orderLocked())) {
          bestTimer = t;
          bestSleeper = nullptr;
        }
      }
      if (!found || bestAt > target) {
        st.now[kWall] += target - st.now[kMonotonic];
        st.now[kMonotonic] = target;
        return;
      }
      if (bestAt > st.now[kMonotonic]) {
        st.now[kWall] += bestAt - st.now[kMonotonic];
        st.now[kMonotonic] = bestAt;
      }
      if (bestSleeper) {
        for (auto& list : st.sleepers)
          list.erase(std::remove(list.begin(), list.end(), bestSleeper), list.end());
        st.sleepersChanged.notify_all();
        if (bestSleeper->claim()) sleepers.push_back(bestSleeper);
      } else {
        bestTimer->scheduleLocked().expired(1);
        timers.push_back(std::move(bestTimer));
      }
    }
    serve(sleepers, timers);
  }
}

void TestClock::setWall(WallClock::time_point to) {
  State& st = *state_;
  std::vector<Sleeper*> sleepers;
  std::vector<std::shared_ptr<Timer>> timers;
  std::vector<std::shared_ptr<Timer>> seen;  // destroyed only after the lock is released
  {
    std::lock_guard lock(st.m);
    const std::int64_t now = to.time_since_epoch().count();
    st.now[kWall] = now;
    auto& list = st.sleepers[kWall];
    std::vector<Sleeper*> passed;
    for (Sleeper* s : list) {
      if (s->deadline <= now) passed.push_back(s);
    }
    std::sort(passed.begin(), passed.end(), [](const Sleeper* a, const Sleeper* b) {
      return a->deadline != b->deadline ? a->deadline < b->deadline : a->order < b->order;
    });
    for (Sleeper* s : passed) {
      list.erase(std::remove(list.begin(), list.end(), s), list.end());
      if (s->claim()) sleepers.push_back(s);
    }
    st.sleepersChanged.notify_all();
    for (const auto& weak : st.timers) {
      auto t = weak.lock();
      if (!t) continue;
      seen.push_back(t);
      if (t->kind() != kWall || !t->isLiveLocked()) continue;
      if (t->scheduleLocked().clockSet(now).fireNow) timers.push_back(std::move(t));
    }
  }
  serve(sleepers, timers);
}

void TestClock::moveWall(nanoseconds by) {
  std::int64_t now;
  {
    std::lock_guard lock(state_->m);
    now = state_->now[kWall];
  }
  setWall(WallClock::time_point(nanoseconds(now + by.count())));
}

std::size_t TestClock::sleeperCount() const {
  std::lock_guard lock(state_->m);
  return state_->sleepers[kMonotonic].size() + state_->sleepers[kWall].size();
}

bool TestClock::waitForSleepers(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(state_->m);
  return state_->sleepersChanged.wait_for(lock, limit, [&] {
    return state_->sleepers[kMonotonic].size() + state_->sleepers[kWall].size() >= count;
  });
}

}  // namespace platform::async
