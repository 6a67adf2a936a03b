// Tick publisher: one timer per subscriber, first tick at once, demand ignored, cancellation.
#include "SharedUtils/DispatchTimerPublisher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/reactive/Sink.h"
#include "testsupport/Eventually.h"

namespace sharedutils {
namespace {

using platform::dispatch::Queue;
using platform::reactive::Completion;
using platform::reactive::Demand;
using platform::reactive::Never;
using platform::reactive::Subscription;
using ::testsupport::eventually;
using namespace std::chrono_literals;

// Asks for one value only, notes the queue each tick arrives on, and can cancel from inside a
// delivery.
class Recorder final : public TickSubscriber {
 public:
  explicit Recorder(bool cancelOnFirstTick = false) : cancelOnFirstTick_(cancelOnFirstTick) {}

  void receive(std::shared_ptr<Subscription> subscription) override {
    {
      std::lock_guard lock(m_);
      subscription_ = subscription;
    }
    subscription->request(Demand::max(1));
  }
  Demand receive(Tick) override {
    std::shared_ptr<Subscription> toCancel;
    {
      std::lock_guard lock(m_);
      labels_.push_back(Queue::currentLabel());
      if (cancelOnFirstTick_) toCancel = subscription_;
    }
    if (toCancel) toCancel->cancel();
    return Demand::max(1);
  }
  void receive(Completion<Never>) override {}

  void cancel() {
    std::shared_ptr<Subscription> s;
    {
      std::lock_guard lock(m_);
      s = subscription_;
    }
    s->cancel();
  }
  std::vector<std::string> labels() {
    std::lock_guard lock(m_);
    return labels_;
  }
  std::size_t count() { return labels().size(); }

 private:
  const bool cancelOnFirstTick_;
  std::mutex m_;
  std::shared_ptr<Subscription> subscription_;
  std::vector<std::string> labels_;
};

// Drains a serial queue, so that a tick already queued has been delivered.
void drain(const platform::dispatch::QueuePtr& q) {
  q->sync([] {});
}

TEST(DispatchTimerPublisher, TicksComeOnTheQueueFirstAtOnceWhateverTheDemand) {
  auto q = Queue::makeSerial("timer.publisher");
  DispatchTimerPublisher fast(0.01, q);
  auto recorder = std::make_shared<Recorder>();
  fast.receive(recorder);
  // Demand was one value; every tick still comes, each on the publisher's queue.
  ASSERT_TRUE(eventually([&] { return recorder->count() >= 4; }));
  recorder->cancel();
  drain(q);
  const auto labels = recorder->labels();
  EXPECT_EQ(labels, std::vector<std::string>(labels.size(), "timer.publisher"));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(recorder->count(), labels.size());
  recorder->cancel();  // a second cancel is harmless

  // With an hour's interval only the first tick can come, and it comes at once, also to a sink
  // that takes values only once it holds its subscription.
  DispatchTimerPublisher slow(3600, q);
  std::atomic<int> sinkTicks{0};
  auto sink = std::make_shared<platform::reactive::Sink<Tick>>([&](Tick) { ++sinkTicks; });
  slow.subscribe(sink);
  ASSERT_TRUE(eventually([&] { return sinkTicks.load() == 1; }));
  sink->cancel();
}

TEST(DispatchTimerPublisher, SubscribersHaveTimersOfTheirOwn) {
  auto q = Queue::makeSerial("timer.two");
  DispatchTimerPublisher publisher(0.01, q);
  auto first = std::make_shared<Recorder>();
  auto second = std::make_shared<Recorder>();
  publisher.receive(first);
  publisher.receive(second);
  ASSERT_TRUE(eventually([&] { return first->count() >= 2 && second->count() >= 2; }));
  first->cancel();
  drain(q);
  const std::size_t firstCount = first->count();
  const std::size_t secondCount = second->count();
  ASSERT_TRUE(eventually([&] { return second->count() >= secondCount + 3; }));
  EXPECT_EQ(first->count(), firstCount);
  second->cancel();

  // Cancelled from inside its first delivery: no tick after that one.
  auto once = std::make_shared<Recorder>(true);
  publisher.receive(once);
  ASSERT_TRUE(eventually([&] { return once->count() == 1; }));
  std::this_thread::sleep_for(50ms);
  drain(q);
  EXPECT_EQ(once->count(), 1u);
}

}  // namespace
}  // namespace sharedutils
