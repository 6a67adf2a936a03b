// The database logger base: when it calls its four hooks, with a recorder standing in for a
// database.

#include <gtest/gtest.h>

#include <cmath>

#include "LogTestSupport.h"
#include "logging/DDAbstractDatabaseLogger.h"
#include "platform/diagnostics/Diagnostics.h"

namespace {

using namespace logtest;

// Notes every hook call: "log:<text>", "save", "delete", "saveAndDelete".
class HookRecorder : public DDAbstractDatabaseLogger, public Journal {
 public:
  explicit HookRecorder(bool accept = true) : accept_(accept) {}
  std::atomic<int> saves{0}, deletes{0};
  // Pending count as the base saw it at each save.
  Journal pendingAtSave;

 protected:
  bool db_log(const DDLogMessagePtr& m) override {
    add("log:" + std::string(m->message()));
    return accept_;
  }
  void db_save() override {
    pendingAtSave.add(std::to_string(unsavedCount()));
    add("save");
    ++saves;
  }
  void db_delete() override {
    add("delete");
    ++deletes;
  }
  void db_saveAndDelete() override { add("saveAndDelete"); }

 private:
  const bool accept_;
};

class DDAbstractDatabaseLoggerTest : public ::testing::Test {
 protected:
  std::shared_ptr<DDLog> log = std::make_shared<DDLog>();
  std::shared_ptr<HookRecorder> db = std::make_shared<HookRecorder>();
  void TearDown() override {
    log->removeAllLoggers();
    log->flushLog();
  }
  void logSync(const std::string& text) { log->log(false, record(text)); }
  // The hook calls after the first `skip`, ignoring stored records.
  Texts hooksAfter(std::size_t skip = 0) {
    Texts out;
    auto all = db->items();
    for (std::size_t i = skip; i < all.size(); ++i)
      if (!all[i].starts_with("log:")) out.push_back(all[i]);
    return out;
  }
};

TEST_F(DDAbstractDatabaseLoggerTest, SavesByCountAndOnFlush) {
  log->addLogger(db);
  for (int i = 1; i < 500; ++i)
    logSync("r" + std::to_string(i));
  EXPECT_EQ(db->saves.load(), 0);  // the default interval of a minute is far away
  logSync("r500");
  EXPECT_EQ(db->items().back(), "save");  // the 500th record is saved at once
  EXPECT_EQ(db->pendingAtSave.items(), Texts{"500"});

  // Threshold 1: every record is saved as it comes.
  db->setSaveThreshold(1);
  logSync("a");
  logSync("b");
  EXPECT_EQ(db->saves.load(), 3);
  // Threshold 0: nothing by count; flush saves what is pending, once.
  db->setSaveThreshold(0);
  for (int i = 0; i < 600; ++i)
    logSync("c");
  EXPECT_EQ(db->saves.load(), 3);
  log->flushLog();
  log->flushLog();  // nothing pending: no empty save
  EXPECT_EQ(db->saves.load(), 4);
  EXPECT_EQ(db->pendingAtSave.items().back(), "600");

  // Lowering the threshold below what is pending saves at once.
  db->setSaveThreshold(100);
  for (int i = 0; i < 5; ++i)
    logSync("d");
  db->setSaveThreshold(3);
  EXPECT_EQ(db->saveThreshold(), 3u);  // the read waits for the change before it
  EXPECT_EQ(db->saves.load(), 5);

  // Removal saves what is pending.
  logSync("e");
  const auto before = db->items().size();
  log->removeLogger(db);
  ASSERT_TRUE(eventually([&] { return db->saves.load() == 6; }));
  EXPECT_EQ(hooksAfter(before), Texts{"save"});
}

TEST_F(DDAbstractDatabaseLoggerTest, SaveTimerSavesAfterTheIntervalAndAgainAfterResuming) {
  log->addLogger(db);
  db->setSaveInterval(0.05);
  logSync("first");
  ASSERT_TRUE(eventually([&] { return db->saves.load() == 1; }));
  // The timer is suspended while nothing is pending, and resumes with the next record.
  logSync("second");
  logSync("third");
  ASSERT_TRUE(eventually([&] { return db->saves.load() == 2; }));
  EXPECT_EQ(db->pendingAtSave.items(), (Texts{"1", "2"}));
  // Interval 0 turns the timer off: records wait for flush.
  db->setSaveInterval(0);
  logSync("fourth");
  EXPECT_EQ(db->saveInterval(), 0.0);
  EXPECT_EQ(db->saves.load(), 2);
  log->flushLog();
  EXPECT_EQ(db->saves.load(), 3);
}

TEST_F(DDAbstractDatabaseLoggerTest, DeleteOnEverySaveUsesTheCombinedHook) {
  log->addLogger(db);
  db->setDeleteOnEverySave(true);
  EXPECT_TRUE(db->deleteOnEverySave());
  logSync("x");
  const auto before = db->items().size();
  db->savePendingLogEntries();
  log->flushLog();
  EXPECT_EQ(hooksAfter(before), Texts{"saveAndDelete"});
}

TEST_F(DDAbstractDatabaseLoggerTest, MaximumAgeAndDeleteTimer) {
  log->addLogger(db);
  EXPECT_EQ(db->maxAge(), 604800.0);
  db->setMaxAge(100);  // shorter: delete now
  EXPECT_EQ(db->maxAge(), 100.0);
  EXPECT_EQ(db->deletes.load(), 1);
  db->setMaxAge(200);  // longer: nothing
  db->setMaxAge(200);  // unchanged: nothing
  EXPECT_EQ(db->maxAge(), 200.0);
  EXPECT_EQ(db->deletes.load(), 1);
  db->setMaxAge(0);  // off: deleting does nothing, even when asked
  db->deleteOldLogEntries();
  EXPECT_EQ(db->maxAge(), 0.0);
  EXPECT_EQ(db->deletes.load(), 1);
  db->setMaxAge(50);  // on again: delete now
  EXPECT_EQ(db->maxAge(), 50.0);
  EXPECT_EQ(db->deletes.load(), 2);

  // A short delete interval: deletion runs over and over by itself.
  db->setDeleteInterval(0.02);
  EXPECT_EQ(db->deleteInterval(), 0.02);
  ASSERT_TRUE(eventually([&] { return db->deletes.load() >= 4; }));
  db->setDeleteInterval(0);
  EXPECT_EQ(db->deleteInterval(), 0.0);  // waits until the timer is gone
  const int settled = db->deletes.load();
  db->setDeleteInterval(0);
  EXPECT_EQ(db->deleteInterval(), 0.0);
  EXPECT_EQ(db->deletes.load(), settled);

  // A duration that is not a number is taken as 0: that timer or deletion is off.
  db->setSaveInterval(std::nan(""));
  db->setMaxAge(std::nan(""));
  db->setDeleteInterval(std::nan(""));
  EXPECT_EQ(db->saveInterval(), 0.0);
  EXPECT_EQ(db->maxAge(), 0.0);
  EXPECT_EQ(db->deleteInterval(), 0.0);
  db->deleteOldLogEntries();
  db->maxAge();
  EXPECT_EQ(db->deletes.load(), settled);
}

TEST_F(DDAbstractDatabaseLoggerTest, RefusedRecordsAreNeverSaved) {
  auto refusing = std::make_shared<HookRecorder>(false);
  log->addLogger(refusing);
  refusing->setSaveThreshold(1);
  for (int i = 0; i < 3; ++i)
    log->log(false, record("r"));
  log->flushLog();
  log->removeLogger(refusing);
  log->flushLog();
  ASSERT_TRUE(eventually([&] { return log->allLoggers().empty(); }));
  EXPECT_EQ(refusing->items(), (Texts{"log:r", "log:r", "log:r"}));
}

TEST_F(DDAbstractDatabaseLoggerTest, AccessorsOnTheGlobalLoggingQueueAreRefused) {
  log->addLogger(db);
  platform::diagnostics::ScopedCapture capture;
  DDLog::loggingQueue()->sync([&] {
    db->setSaveThreshold(1);
    EXPECT_EQ(db->saveThreshold(), 500u);  // refused: answers the stored value
  });
  EXPECT_EQ(capture.texts(),
            (Texts{"Contract violation: setSaveThreshold must not be called on the global logging "
                   "queue!",
                   "Contract violation: saveThreshold must not be called on the global logging "
                   "queue!"}));
  EXPECT_EQ(db->saveThreshold(), 500u);
}

}  // namespace
