#pragma once
// DispatchTimerPublisher: a publisher of ticks. Every subscriber gets a repeating timer of its
// own on the publisher's queue and receives an empty value on each tick: the first at once,
// then one every `interval` seconds, until it cancels its subscription (an interval of zero or
// less gives the first tick only). It never fails.
//
// The timer starts the moment the subscriber holds its subscription, not before: a subscriber
// that takes values only once subscribed (a sink) would otherwise lose a first tick that came
// too soon.
//
// Demand is not counted: each tick delivers one value whatever the subscriber requested, and the
// demand a delivery returns is ignored (a subscriber that asked for one value still gets every
// tick). cancel() may be called from any thread and more than once; after it returns no new tick
// is delivered (a delivery already running on the queue finishes). A subscription that is
// destroyed without cancel() stops too, since its timer goes with it.

#include <chrono>
#include <memory>
#include <mutex>
#include <variant>

#include "SharedUtils/Constants.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "platform/reactive/Publisher.h"
#include "platform/reactive/Subscriber.h"
#include "platform/reactive/Subscription.h"

namespace sharedutils {

// The empty value a tick delivers.
using Tick = std::monostate;
using TickSubscriber = platform::reactive::Subscriber<Tick, platform::reactive::Never>;

// The subscription of one subscriber (any subscriber type S of ticks).
template <class S = TickSubscriber>
class TimerSubscription final : public platform::reactive::Subscription,
                                public std::enable_shared_from_this<TimerSubscription<S>> {
 public:
  // A subscription whose timer is armed (first tick now, then every `interval` seconds) and
  // waits for start().
  static std::shared_ptr<TimerSubscription> make(std::shared_ptr<S> subscriber,
                                                 platform::dispatch::QueuePtr queue,
                                                 double interval);
  void start();

  void request(platform::reactive::Demand) override {}
  void cancel() override;

 private:
  struct Access {};

 public:
  TimerSubscription(Access, std::shared_ptr<S> subscriber) : subscriber_(std::move(subscriber)) {}

 private:
  void tick();

  std::mutex m_;
  std::shared_ptr<S> subscriber_;
  std::shared_ptr<platform::dispatch::TimerSource> timer_;
};

class DispatchTimerPublisher final : public platform::reactive::Publisher<Tick> {
 public:
  DispatchTimerPublisher(double interval, platform::dispatch::QueuePtr queue)
      : interval(interval), queue(std::move(queue)) {}

  // Starts the subscriber's timer, then hands it its subscription.
  template <class S>
  void receive(std::shared_ptr<S> subscriber) const {
    auto subscription = TimerSubscription<S>::make(subscriber, queue, interval);
    subscriber->receive(std::shared_ptr<platform::reactive::Subscription>(subscription));
    subscription->start();
  }
  void subscribe(std::shared_ptr<TickSubscriber> subscriber) override { receive(subscriber); }

  const double interval;
  const platform::dispatch::QueuePtr queue;
};

template <class S>
std::shared_ptr<TimerSubscription<S>> TimerSubscription<S>::make(std::shared_ptr<S> subscriber,
                                                                 platform::dispatch::QueuePtr queue,
                                                                 double interval) {
  using platform::dispatch::TimerSource;
  auto self = std::make_shared<TimerSubscription>(Access{}, std::move(subscriber));
  auto timer = TimerSource::make(std::move(queue));
  timer->schedule(platform::dispatch::Time::now(), TimeInterval::toNanoseconds(interval),
                  std::chrono::nanoseconds::zero());
  timer->setEventHandler([weak = std::weak_ptr<TimerSubscription>(self)] {
    if (auto s = weak.lock()) s->tick();
  });
  self->timer_ = std::move(timer);
  return self;
}

template <class S>
void TimerSubscription<S>::start() {
  std::shared_ptr<platform::dispatch::TimerSource> timer;
  {
    std::lock_guard lock(m_);
    timer = timer_;  // none once cancelled
  }
  if (timer) timer->resume();
}

template <class S>
void TimerSubscription<S>::tick() {
  std::shared_ptr<S> subscriber;
  {
    std::lock_guard lock(m_);
    subscriber = subscriber_;
  }
  if (subscriber) (void)subscriber->receive(Tick{});
}

template <class S>
void TimerSubscription<S>::cancel() {
  std::shared_ptr<platform::dispatch::TimerSource> timer;
  std::shared_ptr<S> subscriber;
  {
    std::lock_guard lock(m_);
    timer = std::move(timer_);
    subscriber = std::move(subscriber_);
  }
  if (timer) timer->cancel();
  // The subscriber is released here, outside the lock: it may be what holds this subscription.
}

}  // namespace sharedutils
