// The paced sequence, on a test clock.
#include "SharedUtils/TimedSequence.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/async/Spawn.h"
#include "platform/async/TestClock.h"
#include "platform/dispatch/Queue.h"
#include "testsupport/Eventually.h"

namespace sharedutils {
namespace {

using platform::async::MonotonicClock;
using platform::async::spawn;
using platform::async::Task;
using platform::async::TestClock;
using platform::dispatch::Queue;
using platform::dispatch::Time;
using namespace std::chrono_literals;

// The first value comes without the clock moving; each later one only once a whole interval
// has passed since it was asked for, measured from the ask (not from the previous value).
TEST(TimedSequence, FirstValueAtOnceThenOneIntervalAfterEachAsk) {
  TestClock time;
  MonotonicClock clock = time.monotonic();
  const auto start = clock.now();
  auto q = Queue::makeSerial("timed.sequence");
  std::atomic<int> received{0};
  std::vector<std::chrono::nanoseconds> at;  // written by the task, read after it ended
  auto h = spawn(q, [&]() -> Task<void> {
    TimedSequence<MonotonicClock> sequence(5s, clock);
    auto it = sequence.makeAsyncIterator();
    for (int i = 0; i < 3; ++i) {
      if (!co_await it.next()) break;
      at.push_back(clock.now() - start);
      ++received;
      // The consumer's own pause before it asks again.
      if (i == 1) co_await clock.sleep(2s);
    }
  });
  ASSERT_TRUE(::testsupport::eventually([&] { return received.load() == 1; }));
  ASSERT_TRUE(time.waitForSleepers(1));
  time.advance(5s - 1ns);
  EXPECT_EQ(received.load(), 1);
  time.advance(1ns);
  EXPECT_EQ(received.load(), 2);
  time.advance(2s);  // the consumer's pause ends; now it asks
  EXPECT_EQ(received.load(), 2);
  time.advance(5s);
  ASSERT_TRUE(h.wait(Time::after(20s)).has_value());
  EXPECT_EQ(at, (std::vector<std::chrono::nanoseconds>{0s, 5s, 12s}));
}

// Cancelling the consuming task during a pause ends that call with nothing, and every later call
// gives nothing too, without pausing.
TEST(TimedSequence, CancellationEndsItForGood) {
  TestClock time;
  MonotonicClock clock = time.monotonic();
  auto q = Queue::makeSerial("timed.cancel");
  auto h = spawn(q, [clock]() -> Task<std::string> {
    TimedSequence<MonotonicClock> sequence(1h, clock);
    auto it = sequence.makeAsyncIterator();
    std::string got;
    for (int i = 0; i < 4; ++i)
      got += (co_await it.next()) ? "v" : "-";
    co_return got;
  });
  ASSERT_TRUE(time.waitForSleepers(1));
  h.cancel();
  auto r = h.wait(Time::after(20s));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->value(), "v---");
  EXPECT_EQ(time.sleeperCount(), 0u);
}

}  // namespace
}  // namespace sharedutils
