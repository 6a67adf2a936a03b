// The SQLite logger: rows as stored, durability of saved batches across a crash, deletion by
// age, and an unusable path.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <cstdlib>

#include "logging/sqlite/DDSQLiteLogger.h"
#include "logging/tests/LogTestSupport.h"
#include "platform/diagnostics/Diagnostics.h"

namespace {

using namespace logtest;
using Clock = std::chrono::system_clock;

// Every row of the logs table, columns joined by "|", read through a connection of its own.
Texts rows(const std::string& path, const std::string& columns = "message") {
  sqlite3* db = nullptr;
  Texts out;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return {"<cannot open>"};
  }
  const std::string sql = "SELECT " + columns + " FROM logs ORDER BY id";
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
    out.push_back(std::string("<cannot read: ") + sqlite3_errmsg(db) + ">");
  } else {
    while (sqlite3_step(s) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(s); ++i) {
        if (i) row += "|";
        const auto* text = sqlite3_column_text(s, i);
        row += text ? reinterpret_cast<const char*>(text) : "<null>";
      }
      out.push_back(row);
    }
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  return out;
}

DDLogMessagePtr at(std::string text, Clock::time_point when, DDLogFlag flag = DDLogFlag::info,
                   std::int64_t context = 0, const char* function = "fn") {
  return std::make_shared<DDLogMessage>(std::move(text), DDLogLevel::all, flag, context,
                                        "/src/a/b.cpp", function, 42, nullptr, 0, when);
}

class DDSQLiteLoggerTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir / "logs.sqlite";
  std::shared_ptr<DDLog> log = std::make_shared<DDLog>();
  void TearDown() override {
    log->removeAllLoggers();
    log->flushLog();
  }
};

TEST_F(DDSQLiteLoggerTest, StoresEveryFieldOfEachRecord) {
  auto db = std::make_shared<DDSQLiteLogger>(path);
  ASSERT_TRUE(db->isOpen());
  log->addLogger(db);
  const auto when = Clock::time_point(std::chrono::microseconds(1796483809123456));
  log->log(false, at("it's \"quoted\"\nand\xC3\xA9", when, DDLogFlag::error, -5));
  log->log(false, std::make_shared<DDLogMessage>("no function", DDLogLevel(7), DDLogFlag::warning,
                                                 9, "/x.c", nullptr, 0, nullptr, 0, when));
  // Stored but not yet saved: another connection sees nothing.
  EXPECT_TRUE(rows(path).empty());
  log->flushLog();
  const std::string tid = std::to_string(::getpid());  // records are built on the main thread
  EXPECT_EQ(rows(path,
                 "printf('%.6f', time), level, flag, context, file, function, line, thread, "
                 "queue, message"),
            (Texts{"1796483809.123456|-1|1|-5|/src/a/b.cpp|fn|42|" + tid +
                       "|main|it's \"quoted\"\nand\xC3\xA9",
                   "1796483809.123456|7|2|9|/x.c|<null>|0|" + tid + "|main|no function"}));
  EXPECT_EQ(rows(path, "(SELECT journal_mode FROM pragma_journal_mode)").front(), "wal");
}

// Runs in a child: logs 25 records in batches of 10, then crashes.
TEST(DDSQLiteLoggerChild, CrashesWithABatchPending) {
  if (!isChildRun()) GTEST_SKIP() << "runs only as the child of DDSQLiteLoggerTest";
  auto log = std::make_shared<DDLog>();
  auto db = std::make_shared<DDSQLiteLogger>(std::getenv("DDSQLITE_TEST_PATH"));
  log->addLogger(db);
  db->setSaveThreshold(10);
  for (int i = 1; i <= 25; ++i)
    log->log(false, at("r" + std::to_string(i), Clock::now()));
  std::abort();
}

TEST_F(DDSQLiteLoggerTest, SavedBatchesSurviveACrashAndTheDatabaseReopens) {
  const int status =
      runSelf("DDSQLiteLoggerChild.*", {"DDSQLITE_TEST_PATH=" + path}, dir / "child.err");
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
  Texts saved;
  for (int i = 1; i <= 20; ++i)
    saved.push_back("r" + std::to_string(i));
  EXPECT_EQ(rows(path), saved);  // two whole batches; the five pending records are gone

  auto db = std::make_shared<DDSQLiteLogger>(path);
  log->addLogger(db);
  log->log(false, at("after", Clock::now()));
  log->flushLog();
  saved.push_back("after");
  EXPECT_EQ(rows(path), saved);
}

TEST_F(DDSQLiteLoggerTest, DeletesRecordsOlderThanTheMaximumAge) {
  using namespace std::chrono;
  auto db = std::make_shared<DDSQLiteLogger>(path);
  log->addLogger(db);
  const auto now = Clock::now();
  log->log(false, at("ten days", now - hours(240)));
  log->log(false, at("two days", now - hours(48)));
  log->log(false, at("now", now));
  log->flushLog();
  EXPECT_EQ(rows(path), (Texts{"ten days", "two days", "now"}));  // the default age is 7 days
  db->setMaxAge(3 * 86400.0);
  EXPECT_EQ(db->maxAge(), 3 * 86400.0);
  EXPECT_EQ(rows(path), (Texts{"two days", "now"}));
  // Deleting on every save: a record too old when its batch is saved never lands.
  db->setDeleteOnEverySave(true);
  log->log(false, at("five days", now - hours(120)));
  log->log(false, at("later", now));
  log->flushLog();
  EXPECT_EQ(rows(path), (Texts{"two days", "now", "later"}));
  db->setMaxAge(86400.0);
  EXPECT_EQ(db->maxAge(), 86400.0);
  EXPECT_EQ(rows(path), (Texts{"now", "later"}));
}

TEST_F(DDSQLiteLoggerTest, AnUnusablePathIsReportedAndRecordsAreDropped) {
  platform::diagnostics::ScopedCapture capture;
  const std::string bad = dir / "missing/dir/logs.sqlite";
  auto db = std::make_shared<DDSQLiteLogger>(bad);
  EXPECT_FALSE(db->isOpen());
  log->addLogger(db);
  log->log(false, at("lost", Clock::now()));
  log->flushLog();
  EXPECT_EQ(capture.texts(), Texts{"DDSQLiteLogger: Failed to open database at " + bad +
                                   ": unable to open database file"});
  EXPECT_FALSE(std::filesystem::exists(bad));
}

}  // namespace
