// Tasks, executors, spawning and continuations.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/async/Async.h"
#include "platform/async/tests/AsyncTestSupport.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/dispatch/Queue.h"

namespace platform::async {
namespace {

using dispatch::Queue;
using dispatch::Time;
using namespace std::chrono_literals;

constexpr auto kLimit = 20s;

// Counts live instances, so a test sees that a task's frame released what it held.
struct Tracked {
  static inline std::atomic<int> live{0};
  Tracked() { ++live; }
  Tracked(const Tracked&) { ++live; }
  ~Tracked() { --live; }
};

using async_test::finish;

Task<int> addOne(int v) {
  Tracked held;
  co_return v + 1;
}

Task<int> failWith(std::string text) {
  Tracked held;
  throw std::runtime_error(text);
  co_return 0;
}

Task<std::string> chain(QueuePtr other) {
  Tracked held;
  const std::string home = Queue::currentLabel();
  int a = co_await addOne(1);
  // A child that moves to another queue: the parent still goes on where it was.
  std::string childLabel = co_await [](QueuePtr q) -> Task<std::string> {
    co_await switchTo(q);
    co_return Queue::currentLabel();
  }(other);
  std::string after = Queue::currentLabel();
  std::string caught;
  try {
    co_await failWith("boom");
  } catch (const std::runtime_error& e) {
    caught = e.what();
  }
  co_return home + " " + std::to_string(a) + " " + childLabel + " " + after + " " + caught;
}

TEST(Task, ValuesErrorsAndExecutorsFlowThroughNestedAwaits) {
  auto home = Queue::makeSerial("task.home");
  auto other = Queue::makeSerial("task.other");
  auto h = spawn(home, chain(other));
  EXPECT_EQ(finish(h).value(), "task.home 2 task.other task.home boom");
  EXPECT_EQ(Tracked::live.load(), 0);

  // An error that leaves the task is its result; errorAs() tells its type.
  // The handle is kept while the error is read: the exception's count lives in the uninstrumented
  // C++ runtime, so ThreadSanitizer would not see the worker's last release of its copy (after
  // the handle was dropped) ordered after these reads.
  auto failing = spawn(home, failWith("lost"));
  auto failed = finish(failing);
  ASSERT_FALSE(failed.hasValue());
  ASSERT_NE(failed.errorAs<std::runtime_error>(), nullptr);
  EXPECT_STREQ(failed.errorAs<std::runtime_error>()->what(), "lost");
  EXPECT_EQ(failed.errorAs<CancellationError>(), nullptr);
  EXPECT_THROW(std::move(failed).get(), std::runtime_error);
  EXPECT_EQ(Tracked::live.load(), 0);
}

TEST(Task, SpawnedLambdaKeepsItsCapturesAndHandlesAreAwaitable) {
  auto q = Queue::makeSerial("task.lambda");
  std::string text = "captured";
  // The lambda object is gone after this statement; spawn keeps it for the task.
  auto inner = spawn(q, [text]() -> Task<std::string> {
    co_await switchTo(Queue::global());
    co_return text;
  });
  auto outer = spawn(q, [inner]() -> Task<std::string> {
    std::string v = co_await inner;
    co_return v + "!";
  });
  EXPECT_EQ(finish(outer).value(), "captured!");
  EXPECT_TRUE(inner.isFinished());

  // A handle that never finishes in time is told apart from a finished one.
  TestClock time;
  auto sleeping =
      spawn(q, [clock = time.monotonic()]() -> Task<void> { co_await clock.sleep(1h); });
  EXPECT_FALSE(sleeping.wait(Time::after(50ms)).has_value());
  sleeping.cancel();
  auto cancelled = finish(sleeping);
  EXPECT_NE(cancelled.errorAs<CancellationError>(), nullptr);
}

// Cancelling a spawned task reaches the sleep of a task it awaits, two levels down, and a task
// cancelled before it sleeps does not sleep at all.
TEST(Task, CancellationReachesWhatTheTaskAwaits) {
  TestClock time;
  auto q = Queue::makeSerial("task.cancel");
  std::atomic<int> stage{0};
  auto deep = [](MonotonicClock clock, std::atomic<int>& stage) -> Task<int> {
    Tracked held;
    stage = 1;
    co_await clock.sleep(10s);
    stage = 2;
    co_return 1;
  };
  auto h = spawn(q, [&, clock = time.monotonic()]() -> Task<int> {
    int v = co_await [&]() -> Task<int> { co_return co_await deep(clock, stage); }();
    co_return v;
  });
  ASSERT_TRUE(time.waitForSleepers(1));
  h.cancel();
  auto r = finish(h);
  EXPECT_NE(r.errorAs<CancellationError>(), nullptr);
  EXPECT_EQ(stage.load(), 1);
  EXPECT_EQ(time.sleeperCount(), 0u);
  EXPECT_EQ(Tracked::live.load(), 0);

  // Already cancelled when it reaches its sleep: the sleep throws at once, no clock involved.
  std::atomic<bool> go{false};
  auto early = spawn(q, [&, clock = time.monotonic()]() -> Task<void> {
    while (!go)
      std::this_thread::yield();
    co_await clock.sleep(1s);
  });
  early.cancel();
  go = true;
  EXPECT_NE(finish(early).errorAs<CancellationError>(), nullptr);

  // Cancelling after the end changes nothing.
  auto done = spawn(q, addOne(41));
  EXPECT_EQ(finish(done).value(), 42);
  done.cancel();
  EXPECT_EQ(finish(done).value(), 42);
}

Task<int> awaitCallback(std::function<void(CheckedContinuation<int>)> body) {
  co_return co_await withCheckedContinuation<int>(std::move(body));
}

TEST(Continuation, ResumesOnTheTasksExecutorWhoeverResumesIt) {
  auto q = Queue::makeSerial("cont.home");
  // From another thread, later: the task goes on on its own queue with the value.
  std::thread resumer;
  std::mutex m;
  std::string where;
  auto later = spawn(q, [&]() -> Task<int> {
    int v = co_await awaitCallback([&](CheckedContinuation<int> c) {
      resumer = std::thread([c] {
        std::this_thread::sleep_for(10ms);
        c.resumeReturning(7);
      });
    });
    std::lock_guard lock(m);
    where = Queue::currentLabel();
    co_return v;
  });
  EXPECT_EQ(finish(later).value(), 7);
  resumer.join();
  EXPECT_EQ(where, "cont.home");

  // Inside the body, on the task's own thread: no hop, and the error type comes through.
  auto now = spawn(q, awaitCallback([](CheckedContinuation<int> c) {
                     c.resumeThrowing(std::invalid_argument("bad"));
                   }));
  EXPECT_NE(finish(now).errorAs<std::invalid_argument>(), nullptr);

  // A body that throws ends the wait with its exception.
  auto thrower =
      spawn(q, awaitCallback([](CheckedContinuation<int>) { throw std::out_of_range("body"); }));
  EXPECT_NE(finish(thrower).errorAs<std::out_of_range>(), nullptr);
}

TEST(Continuation, MisuseIsReportedAndNeverResumesTwice) {
  auto q = Queue::makeSerial("cont.misuse");
  platform::diagnostics::ScopedCapture capture;
  auto twice = spawn(q, [&]() -> Task<int> {
    co_return co_await withCheckedContinuation<int>(
        [](CheckedContinuation<int> c) {
          c.resumeReturning(1);
          c.resumeReturning(2);
        },
        "twiceOperation");
  });
  EXPECT_EQ(finish(twice).value(), 1);

  auto dropped = spawn(q, [&]() -> Task<int> {
    co_return co_await withCheckedContinuation<int>([](CheckedContinuation<int>) {},
                                                    "droppingOperation");
  });
  EXPECT_NE(finish(dropped).errorAs<ContinuationDroppedError>(), nullptr);
  EXPECT_EQ(capture.texts(),
            (std::vector<std::string>{
                "Contract violation: twiceOperation: a continuation was resumed more than once; "
                "the later resume is ignored",
                "Contract violation: droppingOperation: a continuation was dropped without being "
                "resumed"}));
}

// Many threads racing to resume one continuation: exactly one value gets through, the others
// are reported, and the task resumes once.
TEST(Continuation, RacingResumersDeliverOneValue) {
  auto q = Queue::makeSerial("cont.race");
  for (int round = 0; round < 50; ++round) {
    platform::diagnostics::ScopedCapture capture;
    std::vector<std::thread> threads;
    std::atomic<int> resumes{0};
    auto h = spawn(q, [&]() -> Task<int> {
      int v = co_await withCheckedContinuation<int>([&](CheckedContinuation<int> c) {
        for (int i = 1; i <= 4; ++i)
          threads.emplace_back([c, i] { c.resumeReturning(i); });
      });
      ++resumes;
      co_return v;
    });
    int v = finish(h).value();
    for (auto& t : threads)
      t.join();
    EXPECT_GE(v, 1);
    EXPECT_LE(v, 4);
    EXPECT_EQ(resumes.load(), 1);
    EXPECT_EQ(capture.texts().size(), 3u);
  }
}

TEST(Executor, MainActorRunsOnTheMainThreadInQueueOrder) {
  ASSERT_TRUE(isOnMainActor());
  std::vector<std::string> order;  // touched on the main thread only
  Queue::main()->async([&] { order.push_back("queued first"); });
  auto h = spawn(Queue::global(), [&]() -> Task<bool> {
    bool before = isOnMainActor();
    co_await switchToMainActor();
    order.push_back("task");
    bool after = isOnMainActor();
    dispatch::stopMainQueue();
    co_return !before && after;
  });
  // The task cannot finish before the main thread serves the main queue.
  EXPECT_FALSE(h.wait(Time::after(20ms)).has_value());
  dispatch::runMainQueue(Time::after(kLimit));
  EXPECT_TRUE(finish(h).value());
  EXPECT_EQ(order.front(), "queued first");
  EXPECT_EQ(order.back(), "task");
  std::thread([&] { EXPECT_FALSE(isOnMainActor()); }).join();
}

TEST(UnfoldingStream, EndsForGoodTheFirstTimeNothingIsMade) {
  auto q = Queue::makeSerial("stream");
  int calls = 0;
  UnfoldingStream<int> stream([&]() -> Task<std::optional<int>> {
    ++calls;
    co_return calls <= 2 ? std::optional<int>(calls * 10) : std::nullopt;
  });
  auto h = spawn(q, [&]() -> Task<std::vector<std::optional<int>>> {
    std::vector<std::optional<int>> got;
    for (int i = 0; i < 5; ++i)
      got.push_back(co_await stream.next());
    co_return got;
  });
  EXPECT_EQ(finish(h).value(),
            (std::vector<std::optional<int>>{10, 20, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(calls, 3);
}

}  // namespace
}  // namespace platform::async
