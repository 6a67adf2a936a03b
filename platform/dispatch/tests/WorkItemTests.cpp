#include "platform/dispatch/WorkItem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "testsupport/Eventually.h"

namespace platform::dispatch {
namespace {

using namespace std::chrono_literals;

TEST(WorkItem, RunsOnceHoweverOftenItIsPerformed) {
  std::atomic<int> runs{0};
  auto item = WorkItem::make([&] { runs.fetch_add(1); });
  auto queue = Queue::makeConcurrent("test.workitem");
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < 8; ++i)
      threads.emplace_back([&] { item->perform(); });
    for (int i = 0; i < 8; ++i)
      queue->async(item->block());
  }
  queue->syncBarrier([] {});
  EXPECT_EQ(runs.load(), 1);
  EXPECT_FALSE(item->isCancelled());
}

TEST(WorkItem, CancelledBeforeItsTimeNeverRunsAndLetsGoOfItsClosure) {
  auto captured = std::make_shared<int>(0);
  std::weak_ptr<int> watch = captured;
  std::atomic<bool> ran{false};
  auto item = WorkItem::make([&ran, captured = std::move(captured)] { ran = true; });
  // Held back behind a blocked serial queue, so that it is still pending when cancelled however
  // slow the machine is.
  auto queue = Queue::makeSerial("test.workitem.pending");
  Semaphore gate(0);
  queue->async([&gate] { gate.wait(); });
  queue->async(item->block());
  item->cancel();
  EXPECT_TRUE(item->isCancelled());
  EXPECT_TRUE(watch.expired());  // at once, not when the queue gets to it
  gate.signal();
  queue->sync([] {});
  EXPECT_FALSE(ran.load());

  // Submitted to a timer after it was cancelled: the timer fires and finds nothing to do; a later
  // item on the same queue shows it has.
  Queue::global()->asyncAfter(Time::after(10ms), item->block());
  std::atomic<bool> later{false};
  Queue::global()->asyncAfter(Time::after(20ms), [&] { later = true; });
  ASSERT_TRUE(testsupport::eventually([&] { return later.load(); }));
  EXPECT_FALSE(ran.load());

  // A closure may cancel its own item while it runs.
  std::shared_ptr<WorkItem> self;
  self = WorkItem::make([&] { self->cancel(); });
  self->perform();
  EXPECT_TRUE(self->isCancelled());
}

}  // namespace
}  // namespace platform::dispatch
