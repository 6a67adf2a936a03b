// Costs of the dispatch layer's hot paths, with a mutex + condition variable hand-off as the
// floor a hand-written queue would start from.

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/dispatch/Dispatch.h"

using namespace platform::dispatch;

namespace {

// N asyncs of a small closure onto one serial queue, then one sync to drain: the per-item cost
// seen by a producer that never waits, including the worker's drain.
void BM_SerialAsyncThroughput(benchmark::State& state) {
  auto q = Queue::makeSerial("bench.async");
  const auto n = state.range(0);
  std::uint64_t sink = 0;
  for (auto _ : state) {
    for (std::int64_t i = 0; i < n; ++i) {
      q->async([&sink, i] { sink += static_cast<std::uint64_t>(i); });
    }
    q->sync([] {});
  }
  benchmark::DoNotOptimize(sink);
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_SerialAsyncThroughput)->Arg(1000)->Arg(100000)->UseRealTime();

// The caller's side only: time spent inside async() while a worker drains concurrently.
void BM_SerialAsyncCallerCost(benchmark::State& state) {
  auto q = Queue::makeSerial("bench.async.caller");
  std::uint64_t sink = 0;
  for (auto _ : state) {
    q->async([&sink] { ++sink; });
  }
  q->sync([] {});
  benchmark::DoNotOptimize(sink);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SerialAsyncCallerCost);

// sync on an idle serial queue: runs inline on the caller.
void BM_SyncIdleInline(benchmark::State& state) {
  auto q = Queue::makeSerial("bench.sync.idle");
  int x = 0;
  for (auto _ : state) {
    q->sync([&x] { ++x; });
  }
  benchmark::DoNotOptimize(x);
}
BENCHMARK(BM_SyncIdleInline);

// sync behind an async item: the caller waits its turn and is handed the queue.
void BM_SyncBusy(benchmark::State& state) {
  auto q = Queue::makeSerial("bench.sync.busy");
  int x = 0;
  for (auto _ : state) {
    q->async([&x] { ++x; });
    q->sync([&x] { ++x; });
  }
  benchmark::DoNotOptimize(x);
}
BENCHMARK(BM_SyncBusy)->UseRealTime();

void BM_GroupEnterLeave(benchmark::State& state) {
  Group g;
  for (auto _ : state) {
    g.enter();
    g.leave();
  }
  g.wait();
}
BENCHMARK(BM_GroupEnterLeave);

// One item handed to another thread and waited for, the way a dispatcher fans a record out
// to a logger queue and waits on a group.
void BM_GroupFanOutAndWait(benchmark::State& state) {
  auto q = Queue::makeSerial("bench.fanout");
  Group g;
  int x = 0;
  for (auto _ : state) {
    q->async(g, [&x] { ++x; });
    g.wait();
  }
  benchmark::DoNotOptimize(x);
}
BENCHMARK(BM_GroupFanOutAndWait)->UseRealTime();

// Reference floor: a std::mutex + condition_variable queue with one consumer thread, N pushes
// then a wait for the consumer to finish them.
void BM_MutexCondvarHandoff(benchmark::State& state) {
  const auto n = state.range(0);
  std::mutex m;
  std::condition_variable cv, doneCv;
  std::deque<std::function<void()>> items;
  bool stop = false;
  std::int64_t done = 0;
  std::thread consumer([&] {
    std::unique_lock lock(m);
    for (;;) {
      cv.wait(lock, [&] { return stop || !items.empty(); });
      if (items.empty()) return;
      auto f = std::move(items.front());
      items.pop_front();
      lock.unlock();
      f();
      lock.lock();
      ++done;
      doneCv.notify_one();
    }
  });
  std::uint64_t sink = 0;
  for (auto _ : state) {
    std::int64_t target;
    {
      std::lock_guard lock(m);
      target = done + n;
    }
    for (std::int64_t i = 0; i < n; ++i) {
      std::lock_guard lock(m);
      items.emplace_back([&sink, i] { sink += static_cast<std::uint64_t>(i); });
      cv.notify_one();
    }
    std::unique_lock lock(m);
    doneCv.wait(lock, [&] { return done >= target; });
  }
  {
    std::lock_guard lock(m);
    stop = true;
  }
  cv.notify_one();
  consumer.join();
  benchmark::DoNotOptimize(sink);
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_MutexCondvarHandoff)->Arg(1000)->Arg(100000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
