#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/reactive/Reactive.h"
#include "testsupport/RecordingSubscriber.h"

namespace platform::reactive {
namespace {

using testsupport::RecordingSubscriber;
using V = std::vector<int>;

template <class T = int, class F = Never>
auto recorder(Demand initial, Demand perValue = Demand::none()) {
  return std::make_shared<RecordingSubscriber<T, F>>(initial, perValue);
}

struct Error {
  int code;
};

TEST(PassthroughSubjectTests, DeliversOnlyWithinDemandAndDropsTheRest) {
  PassthroughSubject<int> subject;
  subject.send(0);  // nobody subscribed: gone
  auto limited = recorder(Demand::max(2));
  auto topping = recorder(Demand::max(1), Demand::max(1));
  auto idle = recorder(Demand::none());
  subject.subscribe(limited);
  subject.subscribe(topping);
  subject.subscribe(idle);
  EXPECT_EQ(limited->subscriptions(), 1);
  for (int i = 1; i <= 4; ++i)
    subject.send(i);
  EXPECT_EQ(limited->values(), (V{1, 2}));
  EXPECT_EQ(topping->values(), (V{1, 2, 3, 4}));
  EXPECT_EQ(idle->values(), V{});

  // Values sent while there was no demand are not replayed on a later request.
  idle->subscription()->request(Demand::max(1));
  limited->subscription()->request(Demand::max(1));
  EXPECT_EQ(idle->values(), V{});
  subject.send(5);
  subject.send(6);
  EXPECT_EQ(limited->values(), (V{1, 2, 5}));
  EXPECT_EQ(idle->values(), V{5});
}

TEST(PassthroughSubjectTests, CompletionEndsEveryStreamAndReachesLateSubscribers) {
  PassthroughSubject<int, Error> subject;
  auto early = recorder<int, Error>(Demand::unlimited());
  subject.subscribe(early);
  subject.send(1);
  subject.send(Completion<Error>::failure(Error{7}));
  subject.send(2);
  subject.send(Completion<Error>::finished());
  EXPECT_EQ(early->values(), V{1});
  EXPECT_EQ(early->completions(), std::vector<std::string>{"failure"});
  EXPECT_EQ(subject.subscriberCount(), 0u);

  auto late = recorder<int, Error>(Demand::unlimited());
  subject.subscribe(late);
  EXPECT_EQ(late->subscriptions(), 1);
  EXPECT_EQ(late->completions(), std::vector<std::string>{"failure"});
  EXPECT_EQ(late->values(), V{});

  std::vector<int> errors;
  auto token =
      subject.sink([](int) {}, [&](Completion<Error> c) { errors.push_back(c.error().code); });
  EXPECT_EQ(errors, V{7});
}

TEST(CurrentValueSubjectTests, NewSubscriberGetsCurrentValueThenEverySendIncludingRepeats) {
  CurrentValueSubject<std::string> subject("a");
  subject.send("b");
  EXPECT_EQ(subject.value(), "b");
  std::vector<std::string> seen;
  auto token = subject.sink([&](const std::string& s) { seen.push_back(s); });
  subject.send("c");
  subject.send("c");
  EXPECT_EQ(seen, (std::vector<std::string>{"b", "c", "c"}));

  subject.send(Completion<Never>::finished());
  subject.send("d");
  EXPECT_EQ(subject.value(), "c");
  EXPECT_EQ(seen.size(), 3u);
}

TEST(CurrentValueSubjectTests, KeepsOnlyTheLatestValueWhileDemandIsExhausted) {
  CurrentValueSubject<int> subject(10);
  auto lazy = recorder(Demand::none());
  subject.subscribe(lazy);
  EXPECT_EQ(lazy->values(), V{});  // nothing before a request
  lazy->subscription()->request(Demand::max(1));
  EXPECT_EQ(lazy->values(), V{10});
  for (int v : {11, 12, 13})
    subject.send(v);
  EXPECT_EQ(lazy->values(), V{10});
  lazy->subscription()->request(Demand::max(2));
  EXPECT_EQ(lazy->values(), (V{10, 13}));
  subject.send(14);  // the one remaining unit of demand
  subject.send(15);
  EXPECT_EQ(lazy->values(), (V{10, 13, 14}));
  lazy->subscription()->cancel();
  lazy->subscription()->request(Demand::max(5));  // the held-back 15 went with the cancel
  EXPECT_EQ(lazy->values(), (V{10, 13, 14}));
  EXPECT_EQ(subject.subscriberCount(), 0u);
}

TEST(PassthroughSubjectTests, DestroyingTheSubjectReleasesSubscribersThatHoldTheirSubscription) {
  std::weak_ptr<RecordingSubscriber<int>> watch;
  std::shared_ptr<Subscription> kept;
  {
    auto subject = std::make_unique<CurrentValueSubject<int>>(1);
    auto subscriber = recorder(Demand::max(1));
    subject->subscribe(subscriber);
    watch = subscriber;
    kept = subscriber->subscription();
  }
  EXPECT_TRUE(watch.expired());
  kept->request(Demand::max(1));  // a link outliving its subject does nothing
  kept->cancel();
}

TEST(SinkTests, TokenDestructionAndCancelStopDeliveryAndReleaseTheSubscriber) {
  PassthroughSubject<int> subject;
  auto alive = std::make_shared<int>(0);
  std::weak_ptr<int> watch = alive;
  std::vector<int> a, b;
  {
    auto tokenA = subject.sink([&a, alive](int v) { a.push_back(v); });
    alive.reset();
    AnyCancellable tokenB = subject.sink([&b](int v) { b.push_back(v); });
    subject.send(1);
    tokenB.cancel();
    EXPECT_FALSE(tokenB.isActive());
    tokenB.cancel();  // idempotent
    subject.send(2);
    EXPECT_FALSE(watch.expired());
  }
  subject.send(3);
  EXPECT_EQ(a, (V{1, 2}));
  EXPECT_EQ(b, V{1});
  EXPECT_TRUE(watch.expired()) << "the handler's captures outlived the token";
  EXPECT_EQ(subject.subscriberCount(), 0u);

  // Move-assigning over a live token cancels the old subscription.
  std::vector<int> c;
  auto token = subject.sink([&](int v) { a.push_back(v); });
  token = subject.sink([&](int v) { c.push_back(v); });
  subject.send(4);
  EXPECT_EQ(a, (V{1, 2}));
  EXPECT_EQ(c, V{4});

  std::vector<int> d;
  std::vector<AnyCancellable> bag;
  subject.sink([&](int v) { d.push_back(v); }).store(bag);
  subject.send(5);
  bag.clear();
  subject.send(6);
  EXPECT_EQ(d, V{5});
}

TEST(SinkTests, CancellingOrSubscribingFromInsideADeliveryIsSafe) {
  PassthroughSubject<int> subject;
  std::vector<int> first, second, nested;
  std::optional<AnyCancellable> selfToken;
  std::vector<AnyCancellable> added;
  selfToken = subject.sink([&](int v) {
    first.push_back(v);
    if (v == 2) selfToken.reset();  // destroys its own token mid-delivery
  });
  auto other = subject.sink([&](int v) {
    second.push_back(v);
    if (v == 1) added.push_back(subject.sink([&](int w) { nested.push_back(w); }));
    if (v == 3) subject.send(100);  // re-entrant send on the same thread
  });
  for (int v : {1, 2, 3})
    subject.send(v);
  EXPECT_EQ(first, (V{1, 2}));
  EXPECT_EQ(second, (V{1, 2, 3, 100}));
  // Subscribed during the delivery of 1: does not get 1, gets the rest in order (the re-entrant
  // send of 100 is delivered after 3 has reached everyone).
  EXPECT_EQ(nested, (V{2, 3, 100}));
}

}  // namespace
}  // namespace platform::reactive
