#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/TrackedItem.h"
#include "platform/dispatch/WakeDeferral.h"
#include "testsupport/Eventually.h"

using namespace platform::dispatch;
using namespace std::chrono_literals;
using testsupport::eventually;

namespace {

std::string selfSyncText(const std::string& label) {
  return "Contract violation: dispatch: sync onto a queue the caller is running on would "
         "deadlock (" +
         label + ")";
}

TEST(SerialQueue, KeepsSubmissionOrderAndNeverOverlaps) {
  auto q = Queue::makeSerial("test.order");
  constexpr int kProducers = 8;
  constexpr int kPerProducer = 25000;
  std::vector<int> lastSeen(kProducers, -1);  // touched only on q
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0}, outOfOrder{0}, ran{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        q->async([&, p, i] {
          if (inside.exchange(true)) overlaps.fetch_add(1);
          if (lastSeen[p] != i - 1) outOfOrder.fetch_add(1);
          lastSeen[p] = i;
          ran.fetch_add(1, std::memory_order_relaxed);
          inside.store(false);
        });
        // Mix in syncs: they must slot into the same order, even when another producer was
        // preempted between linking an item and counting it and the queue looks idle.
        if (i % 500 == 0) q->sync([&, p, i] { EXPECT_EQ(lastSeen[p], i); });
      }
    });
  }
  for (auto& t : producers)
    t.join();
  q->sync([] {});
  EXPECT_EQ(ran.load(), kProducers * kPerProducer);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(outOfOrder.load(), 0);
  // One producer in a tight loop keeps the worker racing the producer's link-then-count step:
  // a drainer that ran an item before it was counted would let a second drainer start.
  int expected = 0;
  std::atomic<int> wrong{0};
  for (int i = 0; i < 200000; ++i) {
    q->async([&, i] {
      if (inside.exchange(true)) overlaps.fetch_add(1);
      if (expected++ != i) wrong.fetch_add(1);
      inside.store(false);
    });
  }
  q->sync([] {});
  EXPECT_EQ(expected, 200000);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(overlaps.load(), 0);

  // A closure bigger than the inline storage takes the heap path and still runs once, in order.
  std::array<char, 200> big{};
  big[199] = 7;
  int seen = 0;
  q->async([big, &seen] { seen = big[199]; });
  q->sync([] {});
  EXPECT_EQ(seen, 7);
}

TEST(SerialQueue, SyncRunsInlineWhenIdleAndWaitsItsTurnWhenBusy) {
  auto q = Queue::makeSerial("test.sync", QoS::Utility);
  const pthread_t caller = pthread_self();
  bool onCaller = false;
  q->sync([&] {
    onCaller = pthread_equal(pthread_self(), caller);
    EXPECT_EQ(Queue::current(), q.get());
    EXPECT_EQ(Queue::currentLabel(), "test.sync");
    EXPECT_EQ(Queue::currentQoS(), QoS::Utility);
  });
  EXPECT_TRUE(onCaller);
  EXPECT_EQ(q->sync([] { return 42; }), 42);

  // Busy: the sync item waits for what was queued ahead of it (the blocking item, and one its own
  // thread queued just before), then runs on the caller. Only the caller's thread orders its
  // sync against other submissions, so nothing queued from another thread is judged here.
  Semaphore release;
  std::mutex m;
  std::vector<std::string> order;
  const auto note = [&](const char* what) {
    std::lock_guard lock(m);
    order.push_back(what);
  };
  q->async([&] {
    release.wait();
    note("first");
  });
  std::atomic<bool> syncReturned{false};
  std::thread waiter([&] {
    const pthread_t me = pthread_self();
    q->async([&] { note("queued by the caller"); });
    q->sync([&] {
      EXPECT_TRUE(pthread_equal(pthread_self(), me));
      note("sync");
    });
    syncReturned = true;
  });
  std::this_thread::sleep_for(50ms);  // room to queue the sync behind the blocked item
  EXPECT_FALSE(syncReturned.load());
  release.signal();
  waiter.join();
  q->sync([] {});
  EXPECT_EQ(order, (std::vector<std::string>{"first", "queued by the caller", "sync"}));
}

TEST(SerialQueue, InlineRunsOnlyWhenIdleAndDrainingKeepsTheQueueSerial) {
  auto q = Queue::makeSerial("test.inline");
  const pthread_t caller = pthread_self();

  // Without draining, what the inline item queues goes to a worker.
  std::atomic<bool> laterOnCaller{true};
  EXPECT_TRUE(q->runInlineIfIdle([&] {
    EXPECT_EQ(Queue::current(), q.get());
    q->async([&] { laterOnCaller = pthread_equal(pthread_self(), caller); });
  }));
  q->sync([] {});
  EXPECT_FALSE(laterOnCaller.load());

  // Draining: the items queued meanwhile run on the caller too, in order, as the queue, before
  // the call returns; past one batch the rest goes to a worker, still in order.
  constexpr int kItems = 200;
  std::vector<int> order;  // touched only as q
  std::atomic<int> onCaller{0};
  EXPECT_TRUE(q->runInlineAndDrainIfIdle([&] {
    for (int i = 0; i < kItems; ++i) {
      q->async([&, i] {
        EXPECT_EQ(Queue::current(), q.get());
        if (pthread_equal(pthread_self(), caller)) onCaller.fetch_add(1);
        order.push_back(i);
      });
    }
  }));
  const int ranBeforeReturn = onCaller.load();
  EXPECT_GT(ranBeforeReturn, 0);
  EXPECT_LT(ranBeforeReturn, kItems);
  q->sync([] {});
  ASSERT_EQ(order.size(), static_cast<std::size_t>(kItems));
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));

  // Busy (an item is running) or concurrent: refused at once, nothing runs.
  Semaphore release, entered;
  q->async([&] {
    entered.signal();
    release.wait();
  });
  entered.wait();
  bool ran = false;
  EXPECT_FALSE(q->runInlineIfIdle([&] { ran = true; }));
  EXPECT_FALSE(q->runInlineAndDrainIfIdle([&] { ran = true; }));
  release.signal();
  auto concurrent = Queue::makeConcurrent("test.inline.concurrent");
  EXPECT_FALSE(concurrent->runInlineAndDrainIfIdle([&] { ran = true; }));
  q->sync([] {});
  EXPECT_FALSE(ran);
}

// A tracked item stays "last" only until anything is queued behind it (async or a waiting sync)
// or it is taken to run; it runs in its place either way.
TEST(SerialQueue, ATrackedItemIsLastUntilSomethingFollowsItOrItStarts) {
  auto q = Queue::makeSerial("test.tracked");
  std::mutex m;
  std::vector<std::string> order;
  auto note = [&](std::string what) {
    return [&, what] {
      std::lock_guard lock(m);
      order.push_back(what);
    };
  };
  Semaphore release, entered;
  q->async([&] {
    entered.signal();
    release.wait();
  });
  entered.wait();
  const TrackedItem a = asyncTracked(*q, note("a"));
  EXPECT_TRUE(isLastQueued(*q, a));
  q->async(note("b"));
  EXPECT_FALSE(isLastQueued(*q, a));
  const TrackedItem c = asyncTracked(*q, note("c"));
  EXPECT_TRUE(isLastQueued(*q, c));
  std::thread waiter([&] { q->sync(note("sync")); });
  EXPECT_TRUE(eventually([&] { return !isLastQueued(*q, c); }));
  release.signal();
  waiter.join();

  // Taken to run: no longer last, though nothing was queued behind it.
  Semaphore go;
  TrackedItem running = nullptr;
  std::atomic<int> whileRunning{-1};
  running = asyncTracked(*q, [&] {
    go.wait();
    whileRunning = isLastQueued(*q, running) ? 1 : 0;
  });
  go.signal();
  q->sync([] {});
  EXPECT_EQ(whileRunning.load(), 0);
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c", "sync"}));

  // A concurrent queue runs the work but tracks nothing.
  auto concurrent = Queue::makeConcurrent("test.tracked.concurrent");
  Semaphore ran;
  EXPECT_EQ(asyncTracked(*concurrent, [&] { ran.signal(); }), nullptr);
  ran.wait();
  EXPECT_FALSE(isLastQueued(*concurrent, nullptr));
}

TEST(SerialQueue, DeferredWakeUpsKeepOrderAndASyncDoesNotWaitOutTheWindow) {
  EXPECT_FALSE(deferWakeUps(*Queue::makeConcurrent("test.defer.concurrent"), 1ms));
  auto q = Queue::makeSerial("test.defer");

  // A window far longer than the test: only the sync's own wake-up can run the item ahead of it.
  ASSERT_TRUE(deferWakeUps(*q, 10min));
  std::vector<std::string> order;  // touched only on q
  q->async([&] { order.push_back("deferred"); });
  std::promise<void> synced;
  std::future<void> syncedFuture = synced.get_future();
  std::thread syncer([&] {
    q->sync([&] { order.push_back("sync"); });
    synced.set_value();
  });
  const bool syncReturned = syncedFuture.wait_for(20s) == std::future_status::ready;
  EXPECT_TRUE(syncReturned) << "a sync behind a deferred item waited for the window";
  if (!syncReturned) {
    syncer.detach();
    return;
  }
  syncer.join();
  EXPECT_EQ(order, (std::vector<std::string>{"deferred", "sync"}));

  // The watcher still sleeps towards the long window's end: a shorter window must wake it.
  ASSERT_TRUE(deferWakeUps(*q, 1ms));
  std::atomic<bool> lone{false};
  q->async([&] { lone = true; });
  EXPECT_TRUE(eventually([&] { return lone.load(); })) << "a lone deferred item never ran";

  // Producers racing idle-to-busy transitions: every item runs once, in each producer's order.
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 2000;
  std::vector<int> lastSeen(kProducers, -1);  // touched only on q
  std::atomic<int> ran{0}, outOfOrder{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        q->async([&, p, i] {
          if (lastSeen[p] != i - 1) outOfOrder.fetch_add(1);
          lastSeen[p] = i;
          ran.fetch_add(1);
        });
        if (i % 500 == 0) std::this_thread::yield();
      }
    });
  }
  for (auto& t : producers)
    t.join();
  EXPECT_TRUE(eventually([&] { return ran.load() == kProducers * kPerProducer; }))
      << ran.load() << " of " << kProducers * kPerProducer << " items ran";
  EXPECT_EQ(outOfOrder.load(), 0);
  EXPECT_TRUE(deferWakeUps(*q, 0ms));
}

TEST(SerialQueue, SyncOntoOwnChainIsReportedNotRun) {
  platform::diagnostics::ScopedCapture capture;
  auto a = Queue::makeSerial("test.a");
  auto b = Queue::makeSerial("test.b");
  int innerRuns = 0;
  a->sync([&] { a->sync([&] { ++innerRuns; }); });
  // A -> B -> A, with A entered from a worker this time.
  std::promise<void> done;
  a->async([&] {
    b->sync([&] {
      EXPECT_TRUE(Queue::isCurrentlyOn(*a));
      EXPECT_TRUE(Queue::isCurrentlyOn(*b));
      a->sync([&] { ++innerRuns; });
    });
    done.set_value();
  });
  ASSERT_EQ(done.get_future().wait_for(20s), std::future_status::ready);
  EXPECT_EQ(innerRuns, 0);
  auto texts = capture.texts();
  ASSERT_EQ(texts.size(), 2U);
  EXPECT_EQ(texts[0], selfSyncText("test.a"));
  EXPECT_EQ(texts[1], selfSyncText("test.a"));
  // Both queues are usable afterwards (nothing was left claimed).
  EXPECT_EQ(a->sync([] { return 1; }) + b->sync([] { return 2; }), 3);
  // A refused call with a result gives a value-initialized one; a const callable is accepted.
  const std::function<std::string()> text = [] { return std::string("ran"); };
  EXPECT_EQ(a->sync([&] { return a->sync(text); }), "");
  EXPECT_EQ(a->sync(text), "ran");
  EXPECT_EQ(capture.texts().size(), 3U);

  // The test runs on the main thread, which counts as running the main queue.
  Queue::main()->sync([&] { ++innerRuns; });
  EXPECT_EQ(innerRuns, 0);
  EXPECT_TRUE(capture.contains(selfSyncText("main")));

  // A concurrent queue: a plain nested sync runs at once, a barrier one would deadlock.
  auto c = Queue::makeConcurrent("test.c");
  int nested = 0;
  c->sync([&] { c->sync([&] { ++nested; }); });
  c->sync([&] { c->syncBarrier([&] { ++nested; }); });
  EXPECT_EQ(nested, 1);
  EXPECT_TRUE(capture.contains(selfSyncText("test.c")));
}

TEST(Queue, SpecificsAndCurrentQueueFollowTheRunningItem) {
  static const int kKeyA = 0, kKeyB = 0;
  int valueA = 1, valueB = 2;
  auto a = Queue::makeSerial("test.specific.a", QoS::UserInitiated);
  auto b = Queue::makeSerial("test.specific.b");
  a->setSpecific(&kKeyA, &valueA);
  b->setSpecific(&kKeyB, &valueB);
  EXPECT_EQ(a->getSpecific(&kKeyA), &valueA);
  EXPECT_EQ(a->getSpecific(&kKeyB), nullptr);

  std::promise<void> done;
  a->async([&] {
    EXPECT_EQ(Queue::getSpecificCurrent(&kKeyA), &valueA);
    EXPECT_EQ(Queue::currentLabel(), "test.specific.a");
    EXPECT_EQ(Queue::currentQoS(), QoS::UserInitiated);
    b->sync([&] {
      EXPECT_EQ(Queue::getSpecificCurrent(&kKeyB), &valueB);
      EXPECT_EQ(Queue::getSpecificCurrent(&kKeyA), nullptr);
      EXPECT_EQ(Queue::currentLabel(), "test.specific.b");
    });
    // Back on A after the nested sync.
    EXPECT_EQ(Queue::getSpecificCurrent(&kKeyA), &valueA);
    EXPECT_FALSE(Queue::isCurrentlyOn(*b));
    done.set_value();
  });
  ASSERT_EQ(done.get_future().wait_for(20s), std::future_status::ready);

  // The main thread outside an item: the main queue.
  EXPECT_EQ(Queue::getSpecificCurrent(&kKeyA), nullptr);
  EXPECT_EQ(Queue::current(), Queue::main().get());
  EXPECT_EQ(Queue::currentLabel(), "main");
  EXPECT_FALSE(Queue::isCurrentlyOn(*a));

  // A plain thread runs no queue.
  std::thread([&] {
    EXPECT_EQ(Queue::current(), nullptr);
    EXPECT_EQ(Queue::currentLabel(), "");
    EXPECT_EQ(Queue::currentQoS(), QoS::Unspecified);
    EXPECT_EQ(Queue::getSpecificCurrent(&kKeyA), nullptr);
    EXPECT_FALSE(Queue::isCurrentlyOn(*Queue::main()));
  }).join();
}

TEST(ConcurrentQueue, RunsInParallelAndBarriersExclude) {
  auto q = Queue::makeConcurrent("test.concurrent");
  std::atomic<int> active{0}, maxActive{0}, violations{0}, beforeDone{0};
  std::atomic<bool> inBarrier{false};
  constexpr int kBefore = 40;
  auto item = [&] {
    int now = active.fetch_add(1) + 1;
    int m = maxActive.load();
    while (now > m && !maxActive.compare_exchange_weak(m, now)) {
    }
    if (inBarrier.load()) violations.fetch_add(1);
    std::this_thread::sleep_for(1ms);
    active.fetch_sub(1);
  };
  for (int i = 0; i < kBefore; ++i) {
    q->async([&] {
      item();
      beforeDone.fetch_add(1);
    });
  }
  int barrierSawBefore = -1;
  q->asyncBarrier([&] {
    inBarrier = true;
    barrierSawBefore = beforeDone.load();
    if (active.load() != 0) violations.fetch_add(1);
    std::this_thread::sleep_for(5ms);
    inBarrier = false;
  });
  for (int i = 0; i < 40; ++i)
    q->async(item);
  int syncBarrierActive = -1;
  q->syncBarrier([&] { syncBarrierActive = active.load(); });
  EXPECT_EQ(barrierSawBefore, kBefore);
  EXPECT_EQ(syncBarrierActive, 0);
  EXPECT_EQ(violations.load(), 0);
  EXPECT_GE(maxActive.load(), 2);  // sleeping items overlap on any machine
  EXPECT_EQ(q->sync([] { return 5; }), 5);
}

TEST(Queue, GlobalAndMainQueues) {
  EXPECT_EQ(Queue::global(QoS::Unspecified), Queue::global(QoS::Default));
  EXPECT_EQ(Queue::global()->label(), "global.default");
  EXPECT_EQ(Queue::global(QoS::Background)->label(), "global.background");
  EXPECT_EQ(Queue::global(QoS::UserInteractive)->qos(), QoS::UserInteractive);
  EXPECT_FALSE(Queue::global()->isSerial());
  EXPECT_EQ(Queue::main()->label(), "main");

  // Main-queue items run only inside runMainQueue(), on this (the main) thread.
  const pthread_t mainThread = pthread_self();
  std::atomic<int> ran{0};
  bool onMain = false;
  Queue::main()->async([&] {
    onMain = pthread_equal(pthread_self(), mainThread) && Queue::currentLabel() == "main";
    ran.fetch_add(1);
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ran.load(), 0);
  // A worker's sync onto the main queue runs on the main thread too, then stops the loop.
  Queue::global()->async([&] {
    Queue::main()->sync([&] {
      EXPECT_TRUE(pthread_equal(pthread_self(), mainThread));
      ran.fetch_add(1);
    });
    Queue::main()->async([] { stopMainQueue(); });
  });
  std::size_t n = runMainQueue(Time::after(20s));
  EXPECT_EQ(n, 3U);
  EXPECT_EQ(ran.load(), 2);
  EXPECT_TRUE(onMain);
  // The deadline ends an idle loop.
  EXPECT_EQ(runMainQueue(Time::after(10ms)), 0U);
  // Off the main thread it is refused.
  platform::diagnostics::ScopedCapture capture;
  std::thread([] { EXPECT_EQ(runMainQueue(Time::after(1s)), 0U); }).join();
  EXPECT_EQ(capture.texts().size(), 1U);
}

// Whatever an item throws ends at the item: it is reported, and the queue carries on exactly as
// if the item had returned (later items run, sync callers return, groups are left).
TEST(Queue, AnItemsExceptionIsReportedAndTheQueueGoesOn) {
  const auto thrown = [](const std::string& label, const std::string& what) {
    return "Contract violation: dispatch: an item of " + label + " threw an exception (" + what +
           "); it is dropped and the queue goes on";
  };
  platform::diagnostics::ScopedCapture capture;
  std::vector<std::string> expected;
  auto serial = Queue::makeSerial("test.throw.serial");
  auto concurrent = Queue::makeConcurrent("test.throw.concurrent");
  for (const auto& q : {serial, concurrent}) {
    Group group;
    q->async([] { throw std::runtime_error("async"); });
    q->async(group, [] { throw 42; });
    EXPECT_TRUE(group.wait(Time::after(20s))) << q->label();
    q->sync([] { throw std::logic_error("sync"); });
    q->syncBarrier([] { throw std::runtime_error("barrier"); });
    EXPECT_EQ(q->sync([]() -> int { throw std::runtime_error("result"); }), 0);
    EXPECT_EQ(q->sync([] { return 7; }), 7) << q->label();
    for (const char* what : {"async", "not a std::exception", "sync", "barrier", "result"})
      expected.push_back(thrown(q->label(), what));
  }
  // A sync that has to wait its turn behind a busy serial queue releases the queue after it
  // throws: the item after it still runs.
  std::atomic<bool> release{false};
  serial->async([&] { eventually([&] { return release.load(); }); });
  std::thread waiter([&] { serial->sync([] { throw std::runtime_error("queued sync"); }); });
  std::this_thread::sleep_for(10ms);
  release = true;
  waiter.join();
  std::promise<void> after;
  serial->async([&] { after.set_value(); });
  EXPECT_EQ(after.get_future().wait_for(20s), std::future_status::ready);
  expected.push_back(thrown("test.throw.serial", "queued sync"));
  // A delayed item that throws is reported like the others (and its timer is let go).
  serial->asyncAfter(Time::after(1ms), [] { throw std::runtime_error("after"); });
  const std::string afterText = thrown("test.throw.serial", "after");
  ASSERT_TRUE(eventually([&] {
    const auto texts = capture.texts();
    return std::find(texts.begin(), texts.end(), afterText) != texts.end();
  }));
  expected.push_back(afterText);
  // Main queue: a worker's sync and an async item both throw; the loop runs on to the stop.
  Queue::global()->async([] {
    Queue::main()->sync([] { throw std::runtime_error("main sync"); });
    Queue::main()->async([] { throw std::runtime_error("main async"); });
    Queue::main()->async([] { stopMainQueue(); });
  });
  EXPECT_EQ(runMainQueue(Time::after(20s)), 3U);
  expected.push_back(thrown("main", "main sync"));
  expected.push_back(thrown("main", "main async"));

  // Items of the concurrent queue may report in any order.
  auto texts = capture.texts();
  std::sort(texts.begin(), texts.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(texts, expected);
}

TEST(Queue, AsyncAfterRunsOnTheQueueNotBeforeItsDeadline) {
  auto q = Queue::makeSerial("test.after");
  std::promise<std::pair<bool, bool>> result;
  Time deadline = Time::after(30ms);
  q->asyncAfter(deadline, [&] {
    result.set_value({Time::now().nanoseconds() >= deadline.nanoseconds(),
                      Queue::currentLabel() == "test.after"});
  });
  auto f = result.get_future();
  ASSERT_EQ(f.wait_for(20s), std::future_status::ready);
  auto [late, onQueue] = f.get();
  EXPECT_TRUE(late);
  EXPECT_TRUE(onQueue);
  // A wall-clock deadline, and one already past (runs like async).
  std::atomic<int> ran{0};
  q->asyncAfter(Time::wallAfter(20ms), [&] { ran.fetch_add(1); });
  q->asyncAfter(Time::after(-1s), [&] { ran.fetch_add(1); });
  EXPECT_TRUE(eventually([&] { return ran.load() == 2; }));

  // Pending items hold no descriptor each: time-outs are scheduled by the thousand.
  const auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  const auto before = openDescriptors();
  for (int i = 0; i < 2000; ++i)
    q->asyncAfter(Time::after(1h), [] {});
  EXPECT_LT(openDescriptors(), before + 5);

  // Deadlines decide the order, not submission; equal deadlines keep submission order; an item
  // scheduled after a later one still comes first. The order says so only when all four were
  // queued before the earliest deadline: a round the machine stalled through is run again.
  bool judged = false;
  for (int round = 0; round < 10 && !judged; ++round) {
    const auto base = std::chrono::steady_clock::now() + 100ms;
    std::vector<int> order;  // touched only on q
    q->asyncAfter(Time::monotonic(base + 30ms), [&] { order.push_back(3); });
    q->asyncAfter(Time::monotonic(base), [&] { order.push_back(1); });
    q->asyncAfter(Time::monotonic(base), [&] { order.push_back(2); });
    q->asyncAfter(Time::monotonic(base - 30ms), [&] { order.push_back(0); });
    judged = std::chrono::steady_clock::now() < base - 30ms;
    ASSERT_TRUE(eventually([&] { return q->sync([&] { return order.size(); }) == 4; }));
    if (judged) {
      EXPECT_EQ(q->sync([&] { return order; }), (std::vector<int>{0, 1, 2, 3}));
    }
  }
  EXPECT_TRUE(judged) << "every round stalled past its earliest deadline while queueing";
}

TEST(Group, WaitNotifyAndUnbalancedLeave) {
  Group g;
  EXPECT_TRUE(g.wait(Time::now()));  // empty: at once
  auto q = Queue::makeSerial("test.group");
  Semaphore gate;
  std::atomic<int> done{0};
  q->async(g, [&] {
    gate.wait();
    done.fetch_add(1);
  });
  for (int i = 0; i < 100; ++i)
    q->async(g, [&] { done.fetch_add(1); });
  EXPECT_FALSE(g.wait(Time::after(30ms)));
  EXPECT_FALSE(g.wait(Time::wallAfter(10ms)));
  std::promise<int> notified;
  g.notify(Queue::global(), [&] { notified.set_value(done.load()); });
  gate.signal();
  EXPECT_TRUE(g.wait(Time::after(20s)));
  EXPECT_EQ(done.load(), 101);
  auto f = notified.get_future();
  ASSERT_EQ(f.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(f.get(), 101);

  // Notify on an empty group fires at once.
  std::promise<void> immediate;
  g.notify(q, [&] { immediate.set_value(); });
  EXPECT_EQ(immediate.get_future().wait_for(20s), std::future_status::ready);

  // Manual enter/leave from many threads balance out.
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i) {
    ts.emplace_back([&] {
      for (int j = 0; j < 1000; ++j) {
        g.enter();
        g.leave();
      }
    });
  }
  for (auto& t : ts)
    t.join();
  EXPECT_TRUE(g.wait(Time::now()));

  platform::diagnostics::ScopedCapture capture;
  g.leave();
  EXPECT_EQ(capture.texts(), std::vector<std::string>{
                                 "Contract violation: dispatch: Group::leave() without a matching "
                                 "enter()"});
  // The stray leave was ignored: one enter makes the group busy again.
  g.enter();
  EXPECT_FALSE(g.wait(Time::after(5ms)));
  g.leave();
  EXPECT_TRUE(g.wait(Time::now()));
}

TEST(Semaphore, CountsTimesOutAndReportsWokenWaiters) {
  Semaphore s(2);
  EXPECT_TRUE(s.wait(Time::now()));
  EXPECT_TRUE(s.wait(Time::now()));
  EXPECT_FALSE(s.wait(Time::after(20ms)));
  EXPECT_FALSE(s.wait(Time::wallAfter(10ms)));
  // The timed-out waits gave their decrements back: one signal is one pass, nobody was woken.
  EXPECT_FALSE(s.signal());
  EXPECT_TRUE(s.wait(Time::now()));
  EXPECT_FALSE(s.wait(Time::now()));

  std::atomic<bool> started{false}, passed{false};
  std::thread waiter([&] {
    started = true;
    passed = s.wait(Time::after(30s));
  });
  ASSERT_TRUE(eventually([&] { return started.load(); }));
  std::this_thread::sleep_for(100ms);  // let it go to sleep
  EXPECT_TRUE(s.signal());
  waiter.join();
  EXPECT_TRUE(passed.load());

  // Many producers and consumers: every signal is consumed exactly once.
  Semaphore t;
  std::atomic<int> consumed{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 3; ++i) {
    ts.emplace_back([&] {
      for (int j = 0; j < 2000; ++j) {
        if (t.wait(Time::after(30s))) consumed.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 3; ++i) {
    ts.emplace_back([&] {
      for (int j = 0; j < 2000; ++j)
        t.signal();
    });
  }
  for (auto& th : ts)
    th.join();
  EXPECT_EQ(consumed.load(), 6000);
  EXPECT_FALSE(t.wait(Time::now()));
}

// Every timed wait, on both clocks: one that times out says so and returns no earlier than its
// deadline (a deadline read on the wrong clock would end at once, or never); one that is
// signalled while it waits says so, long before its deadline would have ended it.
TEST(TimedWaits, ATimeOutIsToldApartFromASignalOnBothClocks) {
  struct Clock {
    const char* name;
    Time (*after)(std::chrono::nanoseconds);
    Time (*now)();
  };
  const Clock clocks[] = {{"monotonic", &Time::after, &Time::now},
                          {"wall", &Time::wallAfter, &Time::wallNow}};
  for (const auto& clock : clocks) {
    SCOPED_TRACE(clock.name);
    const auto reached = [&](Time deadline) {
      return clock.now().nanoseconds() >= deadline.nanoseconds();
    };
    Group group;
    group.enter();
    Semaphore semaphore;
    Time deadline = clock.after(30ms);
    EXPECT_FALSE(group.wait(deadline));
    EXPECT_TRUE(reached(deadline));
    deadline = clock.after(30ms);
    EXPECT_FALSE(semaphore.wait(deadline));
    EXPECT_TRUE(reached(deadline));

    // Signalled while waiting: both report success although their deadline is far off.
    std::atomic<int> waiting{0};
    std::atomic<int> succeeded{0};
    std::thread groupWaiter([&] {
      waiting.fetch_add(1);
      if (group.wait(clock.after(60s))) succeeded.fetch_add(1);
    });
    std::thread semaphoreWaiter([&] {
      waiting.fetch_add(1);
      if (semaphore.wait(clock.after(60s))) succeeded.fetch_add(1);
    });
    ASSERT_TRUE(eventually([&] { return waiting.load() == 2; }));
    std::this_thread::sleep_for(50ms);  // let both go to sleep (a spin would pass too)
    group.leave();
    semaphore.signal();
    groupWaiter.join();
    semaphoreWaiter.join();
    EXPECT_EQ(succeeded.load(), 2);
  }
  // The main queue run for a while: an idle run lasts until its deadline, and a busy one runs
  // what it is given.
  const Time deadline = Time::after(30ms);
  EXPECT_EQ(runMainQueue(deadline), 0U);
  EXPECT_GE(Time::now().nanoseconds(), deadline.nanoseconds());
  Queue::main()->async([] {});
  Queue::main()->async([] { stopMainQueue(); });
  EXPECT_EQ(runMainQueue(Time::after(20s)), 2U);
}

TEST(WorkerPool, GrowsWhenEveryWorkerBlocks) {
  // 100 serial queues whose items each wait on a group for work on another queue: every worker
  // is blocked in a dispatch wait at some point, and replacements must keep the work flowing.
  constexpr int kQueues = 100;
  std::vector<QueuePtr> waiters, workers;
  for (int i = 0; i < kQueues; ++i) {
    waiters.push_back(Queue::makeSerial("test.pool.wait." + std::to_string(i)));
    workers.push_back(Queue::makeSerial("test.pool.work." + std::to_string(i)));
  }
  Semaphore startGate;
  std::atomic<int> finished{0};
  Group all;
  for (int i = 0; i < kQueues; ++i) {
    waiters[i]->async(all, [&, i] {
      Group g;
      workers[i]->async(g, [&] {
        // Held until every waiter is parked, so that they all block at once.
        if (startGate.wait(Time::after(30s))) startGate.signal();
      });
      if (g.wait(Time::after(60s))) finished.fetch_add(1);
    });
  }
  startGate.signal();
  EXPECT_TRUE(all.wait(Time::after(120s)));
  EXPECT_EQ(finished.load(), kQueues);

  // Blocking the pool cannot see (a future): the watcher adds workers after a stall.
  constexpr int kBlind = 8;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  Group blind;
  for (int i = 0; i < kBlind; ++i) {
    Queue::makeSerial("test.pool.blind")->async(blind, [released] { released.wait(); });
  }
  Queue::makeSerial("test.pool.release")->async(blind, [&] { release.set_value(); });
  EXPECT_TRUE(blind.wait(Time::after(120s)));
}

}  // namespace
