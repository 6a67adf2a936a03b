#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/reactive/Reactive.h"
#include "testsupport/RecordingSubscriber.h"

namespace platform::reactive {
namespace {

using testsupport::RecordingSubscriber;

TEST(OperatorTests, MapAndCompactMapChainAndCompactMapGivesBackDemandForDroppedValues) {
  PassthroughSubject<int> subject;
  auto evensAsText = subject.eraseToAnyPublisher()
                         .compactMap([](int v) -> std::optional<int> {
                           if (v % 2) return std::nullopt;
                           return v;
                         })
                         .map([](int v) { return "#" + std::to_string(v); });
  // Asks for exactly two: dropped odd values must not use them up.
  auto two = std::make_shared<RecordingSubscriber<std::string>>(Demand::max(2), Demand::none());
  evensAsText.subscribe(two);
  std::vector<std::string> all;
  auto token = evensAsText.sink([&](std::string s) { all.push_back(std::move(s)); });
  for (int v : {1, 3, 2, 5, 4, 6})
    subject.send(v);
  EXPECT_EQ(two->values(), (std::vector<std::string>{"#2", "#4"}));
  EXPECT_EQ(all, (std::vector<std::string>{"#2", "#4", "#6"}));

  // Cancelling through the operator chain reaches the subject.
  EXPECT_EQ(subject.subscriberCount(), 2u);
  two->subscription()->cancel();
  token.cancel();
  EXPECT_EQ(subject.subscriberCount(), 0u);
}

TEST(OperatorTests, CompletionPassesThroughOperators) {
  CurrentValueSubject<int> subject(1);
  std::vector<double> values;
  int finished = 0;
  auto token = subject.eraseToAnyPublisher()
                   .map([](int v) { return v / 2.0; })
                   .sink([&](double v) { values.push_back(v); },
                         [&](Completion<Never> c) { finished += c.isFinished(); });
  subject.send(3);
  subject.send(Completion<Never>::finished());
  EXPECT_EQ(values, (std::vector<double>{0.5, 1.5}));
  EXPECT_EQ(finished, 1);
}

}  // namespace
}  // namespace platform::reactive
