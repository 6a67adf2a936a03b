// GCC 12 reports std::optional of vectors as maybe-uninitialized when inlining with the
// sanitizers on; the values are always constructed before use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "SharedUtils/PublishedUserDefault.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "SharedUtils/AnyOptional.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/Eventually.h"
#include "testsupport/RecordingSubscriber.h"
#include "testsupport/TemporaryDirectory.h"

namespace sharedutils {
namespace {

using platform::defaults::Domain;
using platform::defaults::Value;
using testsupport::eventually;

// A subscriber recording everything the publisher delivers, in order.
template <class T>
auto received(platform::reactive::AnyPublisher<T>& publisher) {
  auto r = std::make_shared<testsupport::RecordingSubscriber<T>>(
      platform::reactive::Demand::unlimited(), platform::reactive::Demand::none());
  publisher.subscribe(r);
  return r;
}

class PublishedUserDefaultTest : public ::testing::Test {
 protected:
  testsupport::TemporaryDirectory base;
  std::shared_ptr<Domain> domain = Domain::open("dom", base.path() / "dom");
};

TEST_F(PublishedUserDefaultTest, WriteRuleSkipsNoOpsAndComparesWithTheStoredObject) {
  PublishedUserDefault<std::optional<std::string>> user(Keys("user"), std::nullopt, domain);
  auto got = received(user.projectedValue());
  using Seen = std::vector<std::optional<std::string>>;
  // After each step, let the domain report its changes so that they land in a known place.
  user.setWrappedValue(std::nullopt);  // nothing stored: nothing happens
  domain->pollChanges();
  EXPECT_FALSE(domain->object("user"));
  EXPECT_EQ(got->values(), Seen{std::nullopt});
  // Published by the write, then again by the domain's change notification.
  user.setWrappedValue("alice");
  domain->pollChanges();
  EXPECT_EQ(got->values(), (Seen{std::nullopt, "alice", "alice"}));
  user.setWrappedValue("alice");  // equal to the stored value: nothing happens
  domain->pollChanges();
  EXPECT_EQ(got->values(), (Seen{std::nullopt, "alice", "alice"}));
  EXPECT_EQ(domain->object("user"), Value("alice"));
  // Stored: removed and published (a removal is not published by the notification path).
  user.setWrappedValue(std::nullopt);
  domain->pollChanges();
  EXPECT_FALSE(domain->object("user"));
  EXPECT_EQ(got->values(), (Seen{std::nullopt, "alice", "alice", std::nullopt}));

  // With nothing stored, writing the default still stores and publishes it.
  PublishedUserDefault<bool> flag(Keys("flag"), true, domain);
  auto flags = received(flag.projectedValue());
  flag.setWrappedValue(true);
  EXPECT_EQ(domain->object("flag"), Value(true));
  ASSERT_GE(flags->values().size(), 2u);
  EXPECT_EQ(flags->values()[1], true);
}

TEST_F(PublishedUserDefaultTest, WrongKindReadsAsDefaultIsIgnoredByObservationAndIsReplaced) {
  ASSERT_TRUE(domain->set("flag", Value("yes")));
  PublishedUserDefault<bool> flag(Keys("flag"), false, domain);
  EXPECT_FALSE(flag.wrappedValue());
  EXPECT_FALSE(flag.publisher.value());
  auto got = received(flag.projectedValue());
  ASSERT_TRUE(domain->set("flag", Value("still not a bool")));
  domain->pollChanges();
  EXPECT_EQ(got->values(), std::vector<bool>{false});
  // Writing the default over an unreadable object replaces it.
  flag.setWrappedValue(false);
  EXPECT_EQ(domain->object("flag"), Value(false));
  // A number out of the setting's range reads as the default too.
  PublishedUserDefault<std::uint64_t> big(Keys("big"), 7, domain);
  ASSERT_TRUE(domain->set("big", Value(std::int64_t{-1})));
  EXPECT_EQ(big.wrappedValue(), 7u);
}

TEST_F(PublishedUserDefaultTest, ObservationPublishesOnlyReadableChangedValuesOfItsKey) {
  using platform::defaults::Change;
  PublishedUserDefault<std::int64_t> n(Keys("n"), 5, domain);
  auto got = received(n.projectedValue());
  const Value one(std::int64_t{1}), two(std::int64_t{2}), three(std::int64_t{3});
  Change change{"n", one, two};
  n.observeValue(std::nullopt, domain.get(), &change, nullptr);
  n.observeValue("other", domain.get(), &change, nullptr);
  n.observeValue("n", nullptr, &change, nullptr);
  n.observeValue("n", domain.get(), nullptr, nullptr);
  for (Change ignored : {Change{"n", one, std::nullopt}, Change{"n", one, Value("2")},
                         Change{"n", three, three}})  // removed, unreadable, unchanged
    n.observeValue("n", domain.get(), &ignored, nullptr);
  EXPECT_EQ(got->values(), std::vector<std::int64_t>{5});
  n.observeValue("n", domain.get(), &change, nullptr);
  Change fromUnreadable{"n", Value("x"), three};
  n.observeValue("n", domain.get(), &fromUnreadable, nullptr);
  EXPECT_EQ(got->values(), (std::vector<std::int64_t>{5, 2, 3}));
}

TEST_F(PublishedUserDefaultTest, InPlaceModificationIsAtomicAcrossThreadsAndObjects) {
  PublishedUserDefault<StringMap> ranges(Keys("ranges"), StringMap{}, domain);
  ranges.modifyWrappedValue([](StringMap& m) { m["10.0.0.0/8"] = "office"; });
  ranges.modifyWrappedValue([](StringMap& m) { m["192.168.0.0/16"] = "home"; });
  EXPECT_EQ(ranges.wrappedValue().size(), 2u);
  // The publisher follows the store through the domain's change notifications, which arrive on
  // the domain's queue: take the two writes' notifications before looking at it.
  domain->pollChanges();
  auto got = received(ranges.projectedValue());  // it starts with the stored map
  EXPECT_EQ(got->values().front(), ranges.wrappedValue());

  auto other = Domain::open("dom", base.path() / "dom");
  PublishedUserDefault<std::int64_t> a(Keys("count"), 0, domain);
  PublishedUserDefault<std::int64_t> b(Keys("count"), 0, other);
  auto bump = [](PublishedUserDefault<std::int64_t>& s) {
    for (int i = 0; i < 100; ++i)
      s.modifyWrappedValue([](std::int64_t& v) { ++v; });
  };
  { std::jthread t1(bump, std::ref(a)), t2(bump, std::ref(b)); }
  EXPECT_EQ(a.wrappedValue(), 200);
}

TEST_F(PublishedUserDefaultTest, TeardownStopsObservation) {
  std::atomic<int> delivered{0};
  {
    PublishedUserDefault<std::int64_t> n(Keys("n"), 0, domain);
    auto token = n.projectedValue().sink([&](std::int64_t) { delivered.fetch_add(1); });
    ASSERT_TRUE(domain->set("n", Value(std::int64_t{1})));
    domain->pollChanges();
    EXPECT_EQ(delivered.load(), 2);  // the current value, then the change
    token.cancel();
  }
  // The object is gone; changes to its key must not reach it (ASan would see the use).
  ASSERT_TRUE(domain->set("n", Value(std::int64_t{2})));
  domain->pollChanges();
  EXPECT_EQ(delivered.load(), 2);
}

TEST_F(PublishedUserDefaultTest, ChangesFromAnotherProcessArriveAndEqualValuesDoNot) {
  PublishedUserDefault<std::optional<std::string>> user(Keys("user"), std::nullopt, domain);
  auto got = received(user.projectedValue());
  const auto tool = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {CORESERVICECTL_PATH, "defaults", "--dir", base.path().string()});
    return testsupport::runProcess(args).exitStatus;
  };
  ASSERT_EQ(tool({"write", "dom", "user", "string", "bob"}), 0);
  ASSERT_TRUE(eventually([&] { return got->values().size() >= 2; }));
  ASSERT_EQ(tool({"write", "dom", "user", "string", "bob"}), 0);
  ASSERT_EQ(tool({"write", "dom", "user", "int", "7"}), 0);  // unreadable as a string
  ASSERT_EQ(tool({"write", "dom", "user", "string", "carol"}), 0);
  ASSERT_TRUE(eventually([&] { return got->values().size() >= 3; }));
  domain->pollChanges();
  const std::vector<std::optional<std::string>> expected = {std::nullopt, "bob", "carol"};
  EXPECT_EQ(got->values(), expected);
  EXPECT_EQ(user.wrappedValue(), "carol");
  // A removal by another process is not published through observation, but reads see it.
  ASSERT_EQ(tool({"delete", "dom", "user"}), 0);
  domain->pollChanges();
  EXPECT_EQ(got->values().size(), 3u);
  EXPECT_EQ(user.wrappedValue(), std::nullopt);
}

TEST(AnyOptional, NilAndEmpty) {
  EXPECT_FALSE(isNil(std::optional<int>(0)));
  EXPECT_TRUE(isNilOrEmpty(std::optional<std::string>("")));
  EXPECT_FALSE(isNilOrEmpty(std::optional<DataList>(DataList{{}})));
  static_assert(AnyOptional<std::optional<Data>> && !AnyOptional<Data>);
}

}  // namespace
}  // namespace sharedutils
