// Reaching the main thread: runOnMain and runOnMainActorBlocking. The test's own thread is the
// main thread; it serves the main queue with runMainQueue() where a test needs it to.
#include "SharedUtils/MainActorBlocking.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Queue.h"

namespace sharedutils {
namespace {

using platform::dispatch::Queue;
using platform::dispatch::Time;
using namespace std::chrono_literals;

constexpr auto kLimit = 20s;

const char* isMainThreadText() {
  return platform::async::isOnMainActor() ? "main" : "other";
}

TEST(RunOnMain, RunsAtOnceOnlyWhenAllowedToOnTheMainThread) {
  std::vector<std::string> order;  // touched on the main thread only
  Queue::main()->async([&] {
    order.push_back("queued");
    // Forced: behind the item being run now and the one queued after it.
    runOnMain(true, [&] {
      order.push_back("forced");
      platform::dispatch::stopMainQueue();
    });
    runOnMain(false, [&] { order.push_back("inline"); });
    order.push_back("queued done");
  });
  Queue::main()->async([&] { order.push_back("next item"); });
  runOnMain(false, [&] { order.push_back("now"); });
  platform::dispatch::runMainQueue(Time::after(kLimit));
  EXPECT_EQ(order, (std::vector<std::string>{"now", "queued", "inline", "queued done", "next item",
                                             "forced"}));

  // From another thread the closure always waits for the main queue.
  std::atomic<bool> ran{false};
  std::thread([&] {
    runOnMain(false, [&] {
      ran = true;
      platform::dispatch::stopMainQueue();
    });
  }).join();
  EXPECT_FALSE(ran.load());
  platform::dispatch::runMainQueue(Time::after(kLimit));
  EXPECT_TRUE(ran.load());
}

// Runs `body` on a background thread while the main thread serves the main queue until the
// body is done.
template <class Body>
void fromBackground(Body body) {
  std::thread t([&] {
    body();
    Queue::main()->async([] { platform::dispatch::stopMainQueue(); });
  });
  platform::dispatch::runMainQueue(Time::after(kLimit));
  t.join();
}

TEST(RunOnMainActorBlocking, ReturnsTheOperationsValueOrItsOwnError) {
  fromBackground([] {
    auto value = runOnMainActorBlocking([] { return std::string(isMainThreadText()); }, 20.0);
    ASSERT_TRUE(value.hasValue());
    EXPECT_EQ(value.value(), "main");

    auto failed =
        runOnMainActorBlocking([]() -> int { throw std::domain_error("operation failed"); }, 20.0);
    ASSERT_FALSE(failed.hasValue());
    ASSERT_NE(failed.errorAs<std::domain_error>(), nullptr);
    EXPECT_STREQ(failed.errorAs<std::domain_error>()->what(), "operation failed");
    EXPECT_EQ(failed.errorAs<MainActorBlockingError>(), nullptr);
  });

  // On the main thread the operation runs at once, whatever the time-out.
  auto inline_ = runOnMainActorBlocking([] { return std::string(isMainThreadText()); }, 0.0);
  ASSERT_TRUE(inline_.hasValue());
  EXPECT_EQ(inline_.value(), "main");
}

// The main thread is busy for longer than the time-out: the caller gets timedOut, and the
// operation, which had not begun, never runs.
TEST(RunOnMainActorBlocking, TimesOutWhileTheMainThreadIsBusyAndSkipsTheWork) {
  std::atomic<bool> ran{false};
  std::atomic<bool> returned{false};
  platform::async::Result<int> result = platform::async::Result<int>::success(0);
  std::thread caller([&] {
    result = runOnMainActorBlocking(
        [&] {
          ran = true;
          return 1;
        },
        0.2);
    returned = true;
  });
  // Busy: the main thread serves nothing until the caller has its answer.
  while (!returned)
    std::this_thread::sleep_for(1ms);
  caller.join();
  ASSERT_FALSE(result.hasValue());
  ASSERT_NE(result.errorAs<MainActorBlockingError>(), nullptr);
  EXPECT_EQ(*result.errorAs<MainActorBlockingError>(),
            MainActorBlockingError(MainActorBlockingError::timedOut));
  // Now the queued task gets its turn, finds itself cancelled and does nothing.
  Queue::main()->async([] { platform::dispatch::stopMainQueue(); });
  platform::dispatch::runMainQueue(Time::after(kLimit));
  EXPECT_FALSE(ran.load());
}

}  // namespace
}  // namespace sharedutils
