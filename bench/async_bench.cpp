// The coroutine layer and its timers.
//
// TimerLateness/*: how late a strict, zero-leeway one-shot on the wall clock fires, over 200
// deadlines 2 ms apart: a dispatch timer source (what the bypass manager's expiry uses), a task
// sleeping on the wall clock, and, as the floor, a bare timerfd read by a thread of its own. The
// p50/p99/max lateness are counters, in microseconds.
//
// SleepingTasks: 10,000 tasks asleep on the monotonic clock: heap in use and threads added while
// they sleep (a suspended task should cost no thread: the threads added are the worker pool
// reaching its usual size, the same for 1,000 tasks as for 10,000).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <malloc.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/async/Async.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/Source.h"

namespace {

using namespace platform;
using namespace std::chrono_literals;

constexpr int kSamples = 200;
constexpr auto kSpacing = 2ms;

std::int64_t realtimeNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void report(benchmark::State& state, std::vector<std::int64_t> lateNs) {
  std::sort(lateNs.begin(), lateNs.end());
  auto us = [](std::int64_t ns) { return static_cast<double>(ns) / 1000.0; };
  state.counters["p50_us"] = us(lateNs[lateNs.size() / 2]);
  state.counters["p99_us"] = us(lateNs[lateNs.size() * 99 / 100]);
  state.counters["max_us"] = us(lateNs.back());
}

void TimerLateness_DispatchWallTimer(benchmark::State& state) {
  auto q = dispatch::Queue::makeSerial("bench.timer");
  std::vector<std::int64_t> late;
  for (auto _ : state) {
    late.clear();
    for (int i = 0; i < kSamples; ++i) {
      dispatch::Semaphore fired;
      std::int64_t lateness = 0;
      const std::int64_t deadline = realtimeNs() + std::chrono::nanoseconds(kSpacing).count();
      auto timer = dispatch::TimerSource::make(q, dispatch::TimerSource::Strict);
      timer->setEventHandler([&] {
        lateness = realtimeNs() - deadline;
        fired.signal();
      });
      timer->schedule(dispatch::Time::wall(std::chrono::system_clock::time_point(
                          std::chrono::nanoseconds(deadline))),
                      0ns, 0ns);
      timer->resume();
      fired.wait();
      timer->cancel();
      late.push_back(lateness);
    }
  }
  report(state, late);
}
BENCHMARK(TimerLateness_DispatchWallTimer)->Iterations(1)->Unit(benchmark::kMillisecond);

void TimerLateness_TaskSleepingOnWallClock(benchmark::State& state) {
  auto q = dispatch::Queue::makeSerial("bench.sleep");
  async::WallClock wall;
  std::vector<std::int64_t> late;
  for (auto _ : state) {
    auto h = async::spawn(q, [wall]() -> async::Task<std::vector<std::int64_t>> {
      std::vector<std::int64_t> out;
      for (int i = 0; i < kSamples; ++i) {
        auto deadline = wall.now() + kSpacing;
        co_await wall.sleepUntil(deadline);
        out.push_back((wall.now() - deadline).count());
      }
      co_return out;
    });
    late = h.wait()->value();
  }
  report(state, late);
}
BENCHMARK(TimerLateness_TaskSleepingOnWallClock)->Iterations(1)->Unit(benchmark::kMillisecond);

void TimerLateness_BareTimerfd(benchmark::State& state) {
  std::vector<std::int64_t> late;
  for (auto _ : state) {
    late.clear();
    int fd = timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC);
    for (int i = 0; i < kSamples; ++i) {
      const std::int64_t deadline = realtimeNs() + std::chrono::nanoseconds(kSpacing).count();
      itimerspec its{};
      its.it_value.tv_sec = deadline / 1000000000;
      its.it_value.tv_nsec = deadline % 1000000000;
      timerfd_settime(fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &its, nullptr);
      std::uint64_t n = 0;
      if (read(fd, &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
        late.push_back(realtimeNs() - deadline);
      }
    }
    close(fd);
  }
  report(state, late);
}
BENCHMARK(TimerLateness_BareTimerfd)->Iterations(1)->Unit(benchmark::kMillisecond);

std::size_t threadCount() {
  std::size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

void SleepingTasks(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  async::MonotonicClock clock;
  auto q = dispatch::Queue::global();
  for (auto _ : state) {
    // Warm the clock and the queue first, so that their own set-up is not counted.
    async::spawn(q, [clock]() -> async::Task<void> { co_await clock.sleep(1ms); }).wait();
    const std::size_t threadsBefore = threadCount();
    const std::size_t heapBefore = mallinfo2().uordblks;
    std::atomic<int> asleep{0};
    std::vector<async::TaskHandle<void>> tasks;
    tasks.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      tasks.push_back(async::spawn(q, [clock, &asleep]() -> async::Task<void> {
        ++asleep;
        co_await clock.sleep(1h);
      }));
    }
    while (asleep.load() < count) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);  // the last ones reach their sleep
    const std::size_t heapAsleep = mallinfo2().uordblks;
    const std::size_t threadsAsleep = threadCount();
    for (auto& t : tasks) t.cancel();
    for (auto& t : tasks) t.wait();
    state.counters["heap_MiB"] =
        static_cast<double>(heapAsleep - heapBefore) / (1024.0 * 1024.0);
    state.counters["bytes_per_task"] =
        static_cast<double>(heapAsleep - heapBefore) / static_cast<double>(count);
    state.counters["threads_added"] =
        static_cast<double>(threadsAsleep) - static_cast<double>(threadsBefore);
  }
}
BENCHMARK(SleepingTasks)->Arg(1000)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
