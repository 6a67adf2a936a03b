#include <gtest/gtest.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <limits>
#include <thread>

#include "platform/defaults/Domain.h"
#include "platform/defaults/tests/DefaultsTestSupport.h"
#include "platform/diagnostics/Diagnostics.h"
#include "testsupport/ChildProcess.h"

namespace platform::defaults {
namespace {

using namespace testing;
using Texts = std::vector<std::string>;

Value integer(std::int64_t v) {
  return Value(v);
}

TEST(Domain, EveryKindPersistsExactlyAcrossConnections) {
  testsupport::TemporaryDirectory dir;
  const std::vector<std::pair<std::string, Value>> values = {
      {"bool", Value(true)},
      {"data", Value(Data{})},
      {"date", Value(Date(std::chrono::nanoseconds(1764947696123456789)))},
      {"double", Value(-0.125)},
      {"int", Value(std::numeric_limits<std::int64_t>::min())},
      {"list", Value(DataList{{}, {0, 1, 2}})},
      {"map", Value(StringMap{{"10.0.0.0/8", "office"}, {"", ""}})},
      {"string", Value("")},
      {"uint", Value(std::numeric_limits<std::uint64_t>::max())},
  };
  {
    auto d = Domain::open("d", dir.path());
    ASSERT_TRUE(d->isAvailable());
    for (const auto& [k, v] : values)
      ASSERT_TRUE(d->set(k, v)) << k;
  }
  auto d = Domain::open("d", dir.path());
  EXPECT_EQ(d->entries(), values);  // every object, sorted by key

  EXPECT_TRUE(d->remove("bool"));
  EXPECT_TRUE(d->remove("never-set"));
  EXPECT_EQ(d->object("bool"), std::nullopt);
  // A changed kind under the same key replaces the old object entirely.
  ASSERT_TRUE(d->set("int", Value("now a string")));
  EXPECT_EQ(Domain::open("d", dir.path())->object("int"), Value("now a string"));
  // A modification that declines changes nothing.
  ASSERT_TRUE(d->modify("int", [](const std::optional<Value>&) { return Domain::Update(); }));
  EXPECT_EQ(d->object("int"), Value("now a string"));
}

TEST(Domain, CachedReadsSeeWritesOfOtherConnectionsAtOnce) {
  testsupport::TemporaryDirectory dir;
  auto reader = Domain::open("d", dir.path());
  auto writer = Domain::open("d", dir.path());
  EXPECT_EQ(reader->object("k"), std::nullopt);  // absence is cached too
  for (std::int64_t v : {1, 2}) {
    ASSERT_TRUE(writer->set("k", integer(v)));
    EXPECT_EQ(reader->object("k"), integer(v));
    EXPECT_EQ(reader->object("k"), integer(v));
  }
  ASSERT_TRUE(writer->remove("k"));
  EXPECT_EQ(reader->object("k"), std::nullopt);
}

// Runs `sql` on the domain's database behind every domain object's back: the change counter
// does not move, as when a writer dies between its commit and the counter's move. With
// `history` false the triggers are off too, so nothing at all tells an object that its cache
// went stale: what it reads afterwards shows whether it kept its cache.
void behindTheBack(const std::filesystem::path& db, const char* sql, bool history) {
  sqlite3* conn = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &conn), SQLITE_OK);
  sqlite3_busy_timeout(conn, 10000);
  EXPECT_EQ(sqlite3_db_config(conn, SQLITE_DBCONFIG_ENABLE_TRIGGER, history ? 1 : 0, nullptr),
            SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(conn, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(conn);
  sqlite3_close(conn);
}

TEST(Domain, OwnWritesKeepTheCacheAndEveryoneElsesWritesDropIt) {
  testsupport::TemporaryDirectory dir;
  auto d = Domain::open("d", dir.path());
  auto other = Domain::open("d", dir.path());
  const auto db = d->databasePath();
  const auto silently = [&db](const char* sql) { behindTheBack(db, sql, false); };
  ASSERT_TRUE(other->set("a", integer(1)));
  ASSERT_TRUE(other->set("b", integer(1)));
  EXPECT_EQ(d->object("b"), integer(1));

  // Own writes: the rest of the cache stays, and the written key reads as stored.
  ASSERT_TRUE(d->set("a", integer(2)));
  ASSERT_TRUE(d->set("nan", Value(std::numeric_limits<double>::quiet_NaN())));
  silently("UPDATE kv SET value = 100 WHERE key IN ('a', 'b')");
  EXPECT_EQ(d->object("b"), integer(1)) << "an own write dropped the cache";
  EXPECT_EQ(d->object("a"), integer(2));
  EXPECT_EQ(d->object("nan"), std::nullopt) << "the database keeps no NaN";
  ASSERT_TRUE(d->remove("a"));
  silently("INSERT INTO kv VALUES ('a', 2, 100)");
  EXPECT_EQ(d->object("a"), std::nullopt);

  // Another object's write drops the cache, also when it came before an own write.
  ASSERT_TRUE(other->set("c", integer(1)));
  EXPECT_EQ(d->object("b"), integer(100));
  EXPECT_EQ(d->object("a"), integer(100));
  ASSERT_TRUE(other->set("b", integer(5)));
  ASSERT_TRUE(d->set("a", integer(3)));
  EXPECT_EQ(d->object("b"), integer(5));
  EXPECT_EQ(other->object("a"), integer(3));

  // A failed write leaves the cached value, which is still the stored one.
  behindTheBack(db,
                "CREATE TRIGGER refuse BEFORE UPDATE ON kv WHEN new.key = 'a' "
                "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                true);
  diagnostics::ScopedCapture capture;
  EXPECT_FALSE(d->set("a", integer(4)));
  EXPECT_EQ(d->object("a"), integer(3));
  EXPECT_EQ(Domain::open("d", dir.path())->object("a"), integer(3));
  ASSERT_EQ(capture.texts().size(), 1u);
  EXPECT_TRUE(capture.texts()[0].starts_with("Defaults: cannot write \"a\" to the domain \"d\""))
      << capture.texts()[0];
}

// The watcher hears own writes like anyone else's but keeps the cache for them; a change that
// only the history tells of (its writer died before moving the counter) still drops it.
TEST(Domain, ObservedOwnWritesKeepTheCacheButUncountedChangesDropIt) {
  testsupport::TemporaryDirectory dir;
  auto d = Domain::open("d", dir.path());
  ChangeLog log;
  const auto id = d->addObserver("", log.observer());
  ASSERT_TRUE(d->set("b", integer(1)));
  EXPECT_EQ(d->object("b"), integer(1));
  ASSERT_TRUE(d->set("a", integer(1)));
  ASSERT_TRUE(log.waitFor(2));
  d->pollChanges();
  behindTheBack(d->databasePath(), "UPDATE kv SET value = 100 WHERE key = 'b'", false);
  EXPECT_EQ(d->object("b"), integer(1));

  behindTheBack(d->databasePath(), "UPDATE kv SET value = 7 WHERE key = 'a'", true);
  d->pollChanges();
  EXPECT_EQ(d->object("b"), integer(100));
  EXPECT_EQ(d->object("a"), integer(7));
  d->removeObserver(id);
  EXPECT_EQ(summary(log.all()),
            (Texts{"b: (none) -> int 1", "a: (none) -> int 1", "a: int 1 -> int 7"}));
}

TEST(Domain, ObserversGetOrderedChangesWithOldAndNewValuesUntilRemoved) {
  testsupport::TemporaryDirectory dir;
  auto observed = Domain::open("d", dir.path());
  auto writer = Domain::open("d", dir.path());
  ChangeLog forKey, forAll;
  const auto keyId = observed->addObserver("k", forKey.observer());
  const auto allId = observed->addObserver("", forAll.observer());

  ASSERT_TRUE(writer->set("k", integer(1)));
  ASSERT_TRUE(writer->set("other", Value(true)));
  ASSERT_TRUE(writer->set("k", integer(1)));  // equal value: no change
  ASSERT_TRUE(writer->set("k", Value("two")));
  ASSERT_TRUE(writer->remove("k"));
  ASSERT_TRUE(writer->remove("k"));  // already absent: no change
  ASSERT_TRUE(forAll.waitFor(4));
  observed->pollChanges();
  EXPECT_EQ(summary(forKey.all()),
            (Texts{"k: (none) -> int 1", "k: int 1 -> string two", "k: string two -> (none)"}));
  const auto all = forAll.all();
  EXPECT_EQ(summary(all), (Texts{"k: (none) -> int 1", "other: (none) -> bool true",
                                 "k: int 1 -> string two", "k: string two -> (none)"}));
  for (std::size_t i = 1; i < all.size(); ++i)
    EXPECT_LT(all[i - 1].sequence, all[i].sequence);

  observed->removeObserver(keyId);
  ASSERT_TRUE(writer->set("k", integer(3)));
  ASSERT_TRUE(forAll.waitFor(5));
  observed->pollChanges();
  EXPECT_EQ(forKey.all().size(), 3u);
  observed->removeObserver(allId);
}

TEST(Domain, HistoryKeepsTheLastMinuteOrTheLast1024ChangesAndObserversKeepUp) {
  testsupport::TemporaryDirectory dir;
  auto observed = Domain::open("d", dir.path());
  auto writer = Domain::open("d", dir.path());
  ChangeLog log;
  const auto id = observed->addObserver("n", log.observer());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(writer->databasePath().c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 10000);
  const auto rows = [db] {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM changes", -1, &st, nullptr);
    const int n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : -1;
    sqlite3_finalize(st);
    return n;
  };
  constexpr int kWrites = 1100;
  for (int i = 1; i <= kWrites; ++i)
    ASSERT_TRUE(writer->set("n", integer(i)));
  EXPECT_EQ(rows(), kWrites) << "changes younger than a minute are all kept";
  // Once they are older than a minute, each write trims the history to the last 1024.
  ASSERT_EQ(sqlite3_exec(db, "UPDATE changes SET at = at - 120", nullptr, nullptr, nullptr),
            SQLITE_OK);
  for (int i = kWrites + 1; i <= kWrites + 3; ++i) {
    ASSERT_TRUE(writer->set("n", integer(i)));
    EXPECT_EQ(rows(), 1024);
  }
  sqlite3_close(db);
  // Pruning may drop rows the observer had not read yet, but never the latest, and what it
  // does hear stays in order.
  ASSERT_TRUE(log.waitUntil([](const std::vector<Change>& c) {
    return !c.empty() && c.back().newValue == integer(kWrites + 3);
  }));
  observed->removeObserver(id);
  const auto seen = log.all();
  for (std::size_t i = 1; i < seen.size(); ++i)
    ASSERT_LT(seen[i - 1].sequence, seen[i].sequence);
  EXPECT_EQ(observed->object("n"), integer(kWrites + 3));
}

TEST(Domain, ObserverRemovalWaitsForARunningDelivery) {
  testsupport::TemporaryDirectory dir;
  auto d = Domain::open("d", dir.path());
  std::atomic<bool> entered{false}, released{false}, finished{false};
  const auto id = d->addObserver("k", [&](const Change&) {
    entered = true;
    eventually([&] { return released.load(); });
    finished = true;
  });
  ASSERT_TRUE(d->set("k", Value(true)));
  ASSERT_TRUE(eventually([&] { return entered.load(); }));
  // Released only after removeObserver has had ample time to (wrongly) return early.
  std::thread releaser([&] {
    std::this_thread::sleep_for(100ms);
    released = true;
  });
  d->removeObserver(id);
  EXPECT_TRUE(finished);
  releaser.join();
}

TEST(Domain, CorruptDatabaseReportsOnceReadsNothingAndIsLeftAlone) {
  testsupport::TemporaryDirectory dir;
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
  // The registry keeps the domains it made for the life of the process, so a repeated run of
  // this test must find them where the first run made them.
  static const testsupport::TemporaryDirectory dir;
  Domain::setBaseDirectory(dir.path());
  auto a = Domain::suite("group.one");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, Domain::suite("group.one"));
  EXPECT_EQ(a->directory(), dir.path() / "group.one");
  EXPECT_NE(a, Domain::suite("group.two"));
  auto standard = Domain::standard();
  for (const std::string bad : {"", ".", "..", "a/b", standard->name().c_str()})
    EXPECT_EQ(Domain::suite(bad), nullptr) << bad;
  EXPECT_EQ(standard->directory(), dir.path() / standard->name());
  EXPECT_EQ(standard, Domain::standard());
}

// A domain this process may read but not write (another user's): the write fails and says why,
// with the database's own reason, never "not an error".
TEST(Domain, AWriteToAReadOnlyDomainReportsWhy) {
  testsupport::TemporaryDirectory dir;
  Domain::open("ro", dir.path())->set("key", integer(1));
  const bool root = ::geteuid() == 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    ::chmod(entry.path().c_str(), 0644);
  ::chmod(dir.path().c_str(), root ? 0755 : 0555);
  // As root, the child becomes nobody, for whom the files are read-only.
  const auto [status, out] = testsupport::runInChild([root, &dir] {
    if (root && (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0))
      ::_exit(3);
    std::string out;
    diagnostics::ScopedCapture capture;
    auto d = Domain::open("ro", dir.path());
    out = d->set("key", integer(2)) ? "written" : "refused";
    for (const auto& t : capture.texts())
      out += "\n" + t;
    return out;
  });
  ::chmod(dir.path().c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(out.starts_with("refused\nDefaults: ")) << out;
  EXPECT_NE(out.find("readonly database"), std::string::npos) << out;
  EXPECT_EQ(out.find("not an error"), std::string::npos) << out;
}

// A user without a home keeps its settings in a directory of its own under the temporary
// directory: never the shared directory itself, nor a directory another user made first.
TEST(Domain, AUserWithoutAHomeGetsABaseDirectoryOfItsOwn) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as a user without a home";
  constexpr uid_t kUser = 2000000123;
  ASSERT_EQ(::getpwuid(kUser), nullptr) << "the test needs a user id without an account";
  testsupport::TemporaryDirectory tmp;
  ASSERT_EQ(::chmod(tmp.path().c_str(), 01777), 0);
  // Another user has taken the name this user's directory would have.
  const auto taken = tmp / ("config-" + std::to_string(kUser));
  ASSERT_EQ(::mkdir(taken.c_str(), 0777), 0);
  ASSERT_EQ(::chown(taken.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(taken.c_str(), 0777), 0);
  for (const char* home : {static_cast<const char*>(nullptr), "/nonexistent"}) {
    SCOPED_TRACE(home ? home : "no HOME");
    const auto [status, base] = testsupport::runInChild([&tmp, home] {
      ::setenv("TMPDIR", tmp.path().c_str(), 1);
      ::unsetenv("XDG_CONFIG_HOME");
      home ? ::setenv("HOME", home, 1) : ::unsetenv("HOME");
      if (::setresgid(kUser, kUser, kUser) != 0 || ::setresuid(kUser, kUser, kUser) != 0)
        ::_exit(3);
      return Domain::defaultBaseDirectory().string();
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(base.starts_with(tmp.path().string() + "/")) << base;
    EXPECT_NE(base, taken.string());
    struct stat st {};
    ASSERT_EQ(::lstat(base.c_str(), &st), 0) << base;
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, kUser);
    EXPECT_EQ(st.st_mode & 077, 0u);
  }
}

}  // namespace
}  // namespace platform::defaults
