#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <limits>
#include <mutex>
#include <thread>

#include "platform/defaults/Domain.h"
#include "platform/defaults/tests/TempDir.h"
#include "platform/diagnostics/Diagnostics.h"

namespace platform::defaults {
namespace {

using testing::TempDir;
using namespace std::chrono_literals;

// Collects changes delivered to an observer and lets the test wait for a number of them.
class ChangeLog {
 public:
  Domain::Observer observer() {
    return [this](const Change& c) {
      std::lock_guard lock(mutex_);
      changes_.push_back(c);
      cv_.notify_all();
    };
  }
  bool waitFor(std::size_t n, std::chrono::seconds limit = 10s) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return changes_.size() >= n; });
  }
  std::vector<Change> changes() {
    std::lock_guard lock(mutex_);
    return changes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Change> changes_;
};

TEST(Domain, EveryKindPersistsExactlyAcrossConnections) {
  TempDir dir;
  const std::vector<std::pair<std::string, Value>> values = {
      {"bool", Value(true)},
      {"int", Value(std::numeric_limits<std::int64_t>::min())},
      {"uint", Value(std::numeric_limits<std::uint64_t>::max())},
      {"double", Value(-0.125)},
      {"string", Value("")},
      {"date", Value(Date(std::chrono::nanoseconds(1764947696123456789)))},
      {"data", Value(Data{})},
      {"map", Value(StringMap{{"10.0.0.0/8", "office"}, {"", ""}})},
      {"list", Value(DataList{{}, {0, 1, 2}})},
  };
  {
    auto d = Domain::open("d", dir.path());
    ASSERT_TRUE(d->isAvailable());
    for (const auto& [k, v] : values)
      ASSERT_TRUE(d->set(k, v)) << k;
  }
  auto d = Domain::open("d", dir.path());
  for (const auto& [k, v] : values)
    EXPECT_EQ(d->object(k), v) << k;
  const auto all = d->entries();
  ASSERT_EQ(all.size(), values.size());
  for (std::size_t i = 1; i < all.size(); ++i)
    EXPECT_LT(all[i - 1].first, all[i].first);

  EXPECT_TRUE(d->remove("bool"));
  EXPECT_TRUE(d->remove("never-set"));
  EXPECT_EQ(d->object("bool"), std::nullopt);
  // A changed kind under the same key replaces the old object entirely.
  ASSERT_TRUE(d->set("int", Value("now a string")));
  EXPECT_EQ(Domain::open("d", dir.path())->object("int"), Value("now a string"));
}

TEST(Domain, CachedReadsSeeWritesOfOtherConnectionsAtOnce) {
  TempDir dir;
  auto reader = Domain::open("d", dir.path());
  auto writer = Domain::open("d", dir.path());
  EXPECT_EQ(reader->object("k"), std::nullopt);  // absence is cached too
  ASSERT_TRUE(writer->set("k", Value(std::int64_t{1})));
  EXPECT_EQ(reader->object("k"), Value(std::int64_t{1}));
  EXPECT_EQ(reader->object("k"), Value(std::int64_t{1}));
  ASSERT_TRUE(writer->set("k", Value(std::int64_t{2})));
  EXPECT_EQ(reader->object("k"), Value(std::int64_t{2}));
  ASSERT_TRUE(writer->remove("k"));
  EXPECT_EQ(reader->object("k"), std::nullopt);
}

TEST(Domain, ObserversGetOrderedChangesWithOldAndNewValuesUntilRemoved) {
  TempDir dir;
  auto observed = Domain::open("d", dir.path());
  auto writer = Domain::open("d", dir.path());
  ChangeLog forKey, forAll;
  const auto keyId = observed->addObserver("k", forKey.observer());
  const auto allId = observed->addObserver("", forAll.observer());

  ASSERT_TRUE(writer->set("k", Value(std::int64_t{1})));
  ASSERT_TRUE(writer->set("other", Value(true)));
  ASSERT_TRUE(writer->set("k", Value(std::int64_t{1})));  // equal value: no change
  ASSERT_TRUE(writer->set("k", Value("two")));
  ASSERT_TRUE(writer->remove("k"));
  ASSERT_TRUE(writer->remove("k"));  // already absent: no change

  ASSERT_TRUE(forAll.waitFor(4));
  ASSERT_TRUE(forKey.waitFor(3));
  observed->pollChanges();
  const auto changes = forKey.changes();
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[0].oldValue, std::nullopt);
  EXPECT_EQ(changes[0].newValue, Value(std::int64_t{1}));
  EXPECT_EQ(changes[1].oldValue, Value(std::int64_t{1}));
  EXPECT_EQ(changes[1].newValue, Value("two"));
  EXPECT_EQ(changes[2].oldValue, Value("two"));
  EXPECT_EQ(changes[2].newValue, std::nullopt);
  for (const auto& c : changes)
    EXPECT_EQ(c.key, "k");
  EXPECT_LT(changes[0].sequence, changes[1].sequence);
  EXPECT_EQ(forAll.changes().size(), 4u);
  EXPECT_EQ(forAll.changes()[1].key, "other");

  observed->removeObserver(keyId);
  ASSERT_TRUE(writer->set("k", Value(std::int64_t{3})));
  ASSERT_TRUE(forAll.waitFor(5));
  observed->pollChanges();
  EXPECT_EQ(forKey.changes().size(), 3u);
  observed->removeObserver(allId);
}

TEST(Domain, ObserverRemovalWaitsForARunningDelivery) {
  TempDir dir;
  auto d = Domain::open("d", dir.path());
  std::mutex m;
  std::condition_variable cv;
  bool entered = false, released = false, finished = false;
  const auto id = d->addObserver("k", [&](const Change&) {
    std::unique_lock lock(m);
    entered = true;
    cv.notify_all();
    cv.wait(lock, [&] { return released; });
    finished = true;
  });
  ASSERT_TRUE(d->set("k", Value(true)));
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return entered; }));
  }
  std::thread releaser([&] {
    std::this_thread::sleep_for(100ms);
    std::lock_guard lock(m);
    released = true;
    cv.notify_all();
  });
  d->removeObserver(id);
  {
    std::lock_guard lock(m);
    EXPECT_TRUE(finished);
  }
  releaser.join();
}

TEST(Domain, ConcurrentModifiesInOneProcessLoseNothing) {
  TempDir dir;
  auto a = Domain::open("d", dir.path());
  auto b = Domain::open("d", dir.path());
  auto increment = [](const std::shared_ptr<Domain>& d) {
    for (int i = 0; i < 100; ++i) {
      ASSERT_TRUE(d->modify("n", [](const std::optional<Value>& cur) {
        return Domain::Update(Value(cur ? cur->as<std::int64_t>().value_or(0) + 1 : 1));
      }));
    }
  };
  std::thread t1(increment, a), t2(increment, b), t3(increment, a);
  t1.join();
  t2.join();
  t3.join();
  EXPECT_EQ(a->object("n"), Value(std::int64_t{300}));
  EXPECT_EQ(b->object("n"), Value(std::int64_t{300}));
  // A modification that declines changes nothing.
  ASSERT_TRUE(a->modify("n", [](const std::optional<Value>&) { return Domain::Update(); }));
  EXPECT_EQ(b->object("n"), Value(std::int64_t{300}));
}

TEST(Domain, CorruptDatabaseReportsOnceReadsNothingAndIsLeftAlone) {
  TempDir dir;
  const auto dbPath = dir.path() / "defaults.db";
  const std::string garbage(8192, 'x');
  std::ofstream(dbPath, std::ios::binary) << garbage;
  diagnostics::ScopedCapture capture;
  auto d = Domain::open("broken", dir.path());
  EXPECT_FALSE(d->isAvailable());
  EXPECT_EQ(d->object("k"), std::nullopt);
  EXPECT_FALSE(d->set("k", Value(true)));
  EXPECT_FALSE(d->remove("k"));
  EXPECT_TRUE(d->entries().empty());
  ChangeLog log;
  d->removeObserver(d->addObserver("k", log.observer()));
  const auto texts = capture.texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].rfind("Defaults: cannot read the domain \"broken\" at " + dbPath.string(), 0),
            0u)
      << texts[0];
  EXPECT_NE(texts[0].find("its settings read their defaults"), std::string::npos);
  std::ifstream in(dbPath, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage);
}

TEST(Domain, SuitesAreOnePerNameAndBadNamesAreRefused) {
  TempDir dir;
  Domain::setBaseDirectory(dir.path());
  auto a = Domain::suite("group.one");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, Domain::suite("group.one"));
  EXPECT_EQ(a->directory(), dir.path() / "group.one");
  EXPECT_NE(a, Domain::suite("group.two"));
  for (const char* bad : {"", ".", "..", "a/b"})
    EXPECT_EQ(Domain::suite(bad), nullptr) << bad;
  auto standard = Domain::standard();
  EXPECT_EQ(Domain::suite(standard->name()), nullptr);
  EXPECT_EQ(standard->directory(), dir.path() / standard->name());
  EXPECT_EQ(standard, Domain::standard());
}

}  // namespace
}  // namespace platform::defaults
