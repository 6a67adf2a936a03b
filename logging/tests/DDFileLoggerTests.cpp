#include "logging/DDFileLogger.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>
#include <set>
#include <sstream>

#include "logging/DDBufferedProxy.h"
#include "logging/DDLogFileManagerDefault.h"
#include "logging/tests/LogTestSupport.h"
#include "platform/diagnostics/Diagnostics.h"

using namespace logtest;
using platform::diagnostics::ScopedCapture;

namespace {

// Writes one record the way the dispatcher does: on the logger's queue, and waits for it.
void write(DDLogger& logger, const std::string& text) {
  auto m = record(text);
  logger.loggerQueue()->sync([&] { logger.logMessage(m); });
}

// A logger whose lines are the records' bare texts, for exact content checks.
std::shared_ptr<DDFileLogger> plainLogger(std::shared_ptr<DDLogFileManager> manager,
                                          platform::dispatch::QueuePtr completion = nullptr) {
  auto logger = std::make_shared<DDFileLogger>(std::move(manager), std::move(completion));
  logger->setLogFormatter(nullptr);
  EXPECT_EQ(logger->logFormatter(), nullptr);  // waits until the change is made
  return logger;
}

std::string currentPath(DDFileLogger& logger) {
  auto info = logger.currentLogFileInfo();
  return info ? info->filePath() : std::string();
}

// One run of a program: a logger on `manager`, set up, one record, teardown. Returns the file
// the record went to.
std::string runOnce(const std::shared_ptr<DDLogFileManager>& manager, const std::string& text,
                    const std::function<void(DDFileLogger&)>& setup = {}) {
  auto logger = plainLogger(manager);
  if (setup) setup(*logger);
  logger->maximumFileSize();  // settings apply in order through the queues: wait for them
  write(*logger, text);
  return currentPath(*logger);
}

class Formatter : public DDLogFormatter {
 public:
  explicit Formatter(std::optional<std::string> text) : text_(std::move(text)) {}
  std::optional<std::string> formatLogMessage(const DDLogMessage&) override { return text_; }

 private:
  std::optional<std::string> text_;
};

// The default manager, noting the archive notices it gets; it may ask for locking.
class RecordingManager : public DDLogFileManagerDefault {
 public:
  using DDLogFileManagerDefault::DDLogFileManagerDefault;
  std::atomic<bool> lock = false;
  bool respondsTo(Operation op) const override {
    return op == Operation::DidArchiveLogFileWasRolled ||
           (lock && op == Operation::ShouldLockLogFile) || DDLogFileManagerDefault::respondsTo(op);
  }
  void didArchiveLogFile(const std::string& path, bool wasRolled) override {
    archived.add(path + (wasRolled ? " rolled" : " not rolled"));
  }
  bool shouldLockLogFile(const std::string&) override { return true; }
  Journal archived;
};

class FileLogger : public ::testing::Test {
 protected:
  void TearDown() override {
    logger.reset();  // its last roll may start a deletion run: let that finish before cleanup
    manager->waitForBackgroundDeletions();
  }
  std::multiset<std::string> allLines() {
    std::multiset<std::string> lines;
    for (const auto& path : manager->sortedLogFilePaths()) {
      std::istringstream in(readFile(path));
      for (std::string line; std::getline(in, line);)
        lines.insert(line);
    }
    return lines;
  }
  TempDir dir;
  std::shared_ptr<RecordingManager> manager = std::make_shared<RecordingManager>(dir.path());
  std::shared_ptr<DDFileLogger> logger;
  void writesUnderTheLock();
  void blockedDirectoryLosesRecordsOnlyUntilItIsBack();
};

}  // namespace

TEST_F(FileLogger, LinesFormattersAndLineEnds) {
  logger = std::make_shared<DDFileLogger>(manager);
  EXPECT_EQ(logger->loggerName(), "orvel.quillmark.fileLogger");
  // The default line: UTC timestamp, two blanks, the text.
  const auto when = DDLogMessage::Timestamp(
      std::chrono::sys_days(std::chrono::year(2024) / 5 / 1).time_since_epoch() +
      std::chrono::hours(9) + std::chrono::minutes(3) + std::chrono::seconds(7) +
      std::chrono::milliseconds(45));
  auto m = record("hello", DDLogFlag::info, when);
  logger->loggerQueue()->sync([&] { logger->logMessage(m); });
  const std::string path = currentPath(*logger);
  std::string expected = "2024/05/01 09:03:07:045  hello\n";
  EXPECT_EQ(readFile(path), expected);

  struct Case {
    bool formatter;
    std::optional<std::string> formatted;  // what the formatter returns
    bool append;
    std::string text, written;
  };
  const std::vector<Case> cases = {
      {true, "", true, "dropped", ""},               // empty text: nothing written
      {true, "<x>\n", true, "a", "<x>\n"},           // already ends with a line end
      {true, "<x>", true, "a", "<x>\n"},             // custom text gets one while enabled
      {true, "<x>", false, "a", "<x>"},              // and none when disabled
      {true, "same", false, "same", "same\n"},       // the record's own text counts as unformatted
      {true, std::nullopt, true, "declined", ""},    // a declining formatter suppresses the record
      {false, std::nullopt, false, "raw", "raw\n"},  // no formatter: the record's text
  };
  for (const auto& c : cases) {
    logger->setLogFormatter(c.formatter ? std::make_shared<Formatter>(c.formatted) : nullptr);
    logger->logFormatter();
    logger->setAutomaticallyAppendNewlineForCustomFormatters(c.append);
    write(*logger, c.text);
    expected += c.written;
    EXPECT_EQ(readFile(path), expected) << c.text;
  }
}

TEST_F(FileLogger, ResumesOnlyAnUnfinishedRegularFileBelowBothLimits) {
  const std::string first = runOnce(manager, "first run");
  EXPECT_FALSE(DDLogFileInfo(first).isArchived());  // teardown closes without archiving
  EXPECT_EQ(runOnce(manager, "second run"), first);
  EXPECT_EQ(readFile(first), "first run\nsecond run\n");

  // Not reusing: the file is archived (the manager hears "not rolled") and a new one begins.
  const std::string third =
      runOnce(manager, "third run", [](DDFileLogger& l) { l.setDoNotReuseLogFiles(true); });
  EXPECT_NE(third, first);
  EXPECT_TRUE(DDLogFileInfo(first).isArchived());
  EXPECT_EQ(readFile(first), "first run\nsecond run\n");
  ASSERT_TRUE(eventually([&] { return !manager->archived.items().empty(); }));
  EXPECT_EQ(manager->archived.items()[0], first + " not rolled");

  // A file at the size limit is not resumed either.
  EXPECT_NE(runOnce(manager, "fourth run", [](DDFileLogger& l) { l.setMaximumFileSize(10); }),
            third);
  EXPECT_TRUE(DDLogFileInfo(third).isArchived());

  // A symbolic link or a FIFO with the newest log file's name is never written through.
  const std::string target = dir / "target.txt";
  writeFile(target, "keep");
  const std::string link =
      dir / (DDLogFileManagerDefault::applicationName() + " 2099-01-01--00-00-00-000.log");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  EXPECT_NE(runOnce(manager, "fifth run"), link);
  EXPECT_EQ(readFile(target), "keep");
  std::filesystem::remove(link);
  ASSERT_EQ(::mkfifo(link.c_str(), 0644), 0);
  EXPECT_NE(runOnce(manager, "sixth run"), link);
}

TEST_F(FileLogger, AnArchivedFileIsNeverResumedEvenWithoutUserXattrs) {
  auto fs = std::make_shared<ScriptedFileSystem>();
  fs->refuseUserXattrs = true;
  manager->setFileManager(fs);
  ScopedCapture capture;
  logger = plainLogger(manager);
  write(*logger, "before roll");
  const std::string rolled = currentPath(*logger);
  logger->rollLogFile();
  logger->maximumFileSize();  // waits for the roll
  logger.reset();
  EXPECT_NE(runOnce(manager, "after roll"), rolled);
  EXPECT_EQ(readFile(rolled), "before roll\n");
  EXPECT_EQ(capture.texts(), std::vector<std::string>{});
}

TEST_F(FileLogger, RollsBySizeAndByAgeAndOnLoweredLimits) {
  manager->setMaximumNumberOfLogFiles(0);
  logger = plainLogger(manager);
  logger->setMaximumFileSize(100);
  logger->setRollingFrequency(0);
  logger->rollingFrequency();
  for (int i = 0; i < 4; ++i)
    write(*logger, std::string(29, 'x'));  // 30 bytes with the line end
  // The fourth record took the file from 90 to 120 bytes: it completed, then the file rolled.
  const auto paths = manager->sortedLogFilePaths();
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(readFile(paths[0]).size(), 120u);
  EXPECT_TRUE(DDLogFileInfo(paths[0]).isArchived());
  ASSERT_TRUE(eventually([&] { return !manager->archived.items().empty(); }));
  EXPECT_EQ(manager->archived.items()[0], paths[0] + " rolled");

  // Lowering the size limit below the open file's size rolls at once.
  write(*logger, "next");
  const std::string open = currentPath(*logger);
  logger->setMaximumFileSize(3);
  logger->maximumFileSize();
  EXPECT_TRUE(DDLogFileInfo(open).isArchived());

  // Age: a 2-second frequency rolls the file by its timer (one second of leeway), and a
  // frequency lowered below the open file's age rolls at once.
  logger->setMaximumFileSize(0);
  logger->setRollingFrequency(2);
  logger->rollingFrequency();
  write(*logger, "aging");
  const std::string aging = currentPath(*logger);
  EXPECT_TRUE(eventually([&] { return DDLogFileInfo(aging).isArchived(); }));
  write(*logger, "young");
  const std::string young = currentPath(*logger);
  EXPECT_NE(young, aging);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the file age
  logger->setRollingFrequency(1000);
  logger->setRollingFrequency(1.2);  // age + 1 s of leeway >= 1.2
  logger->rollingFrequency();
  EXPECT_TRUE(DDLogFileInfo(young).isArchived());

  // A frequency that is not a number turns age rolling off, as 0 does; the file stays open. (Its
  // timer is armed far off first: at 1.2 s it could roll the file before the change arrives.)
  logger->setRollingFrequency(1000);
  write(*logger, "steady");
  const std::string steady = currentPath(*logger);
  logger->setRollingFrequency(std::nan(""));
  EXPECT_EQ(logger->rollingFrequency(), 0.0);
  write(*logger, "still steady");
  EXPECT_EQ(currentPath(*logger), steady);
  EXPECT_EQ(readFile(steady), "steady\nstill steady\n");
}

TEST_F(FileLogger, SettingsChangedWhileRecordsAreQueuedApplyInOrder) {
  manager->setMaximumNumberOfLogFiles(0);
  logger = plainLogger(manager);
  auto log = std::make_shared<DDLog>(2);
  log->addLogger(logger);
  for (int i = 0; i < 40; ++i) {
    log->log(true, record("record " + std::to_string(i)));
    if (i == 19) logger->setMaximumFileSize(30);
  }
  log->flushLog();
  // The first twenty records were queued before the change: they share one file, which the
  // change then rolled. Every later file holds at most one record past 30 bytes.
  const auto paths = manager->sortedLogFilePaths();
  for (const auto& path : paths) {
    const std::string content = readFile(path);
    if (content.find("record 0\n") != std::string::npos) {
      EXPECT_EQ(content.rfind("record 19\n"), content.size() - 10);
      EXPECT_TRUE(DDLogFileInfo(path).isArchived());
    } else {
      EXPECT_LT(content.size(), 30u + 10u) << content;
    }
  }
  EXPECT_GT(paths.size(), 5u);
  EXPECT_EQ(allLines().size(), 40u);
  log->removeLogger(logger);
  EXPECT_TRUE(eventually([&] { return log->allLoggers().empty(); }));
}

TEST_F(FileLogger, FilesOrTheDirectoryBrokenFromOutsideLoseRecordsOnlyUntilTheyAreBack) {
  logger = plainLogger(manager);
  write(*logger, "one");
  const std::string first = currentPath(*logger);
  ASSERT_EQ(::rename(first.c_str(), (dir / "moved.txt").c_str()), 0);
  // The watcher rolls the log; the next record then goes to a new file. Its name may be the
  // old one (names have millisecond resolution and the old name is free), so the logger is
  // known to have moved on once the file it reports exists.
  const auto movedOn = [&] { return std::filesystem::exists(currentPath(*logger)); };
  ASSERT_TRUE(eventually(movedOn));
  write(*logger, "two");
  const std::string second = currentPath(*logger);
  EXPECT_EQ(readFile(dir / "moved.txt"), "one\n");
  EXPECT_EQ(readFile(second), "two\n");
  std::filesystem::remove(second);
  ASSERT_TRUE(eventually(movedOn));
  write(*logger, "three");
  EXPECT_EQ(readFile(currentPath(*logger)), "three\n");

  blockedDirectoryLosesRecordsOnlyUntilItIsBack();
}

// A file where the logs directory should be. Records are dropped, with the reason on the
// diagnostic channel, and counted; a new attempt to make a file is made at most once a second,
// not for every record; the first line written once the directory can be made says how many
// records were lost.
void FileLogger::blockedDirectoryLosesRecordsOnlyUntilItIsBack() {
  writeFile(dir / "logs", "a file where the directory should be");
  auto fs = std::make_shared<ScriptedFileSystem>();
  auto blockedManager = std::make_shared<DDLogFileManagerDefault>(dir / "logs");
  blockedManager->setFileManager(fs);
  auto blocked = plainLogger(blockedManager);
  int written = 0;
  {
    ScopedCapture capture;
    const auto start = std::chrono::steady_clock::now();
    for (; written < 3000; ++written)
      write(*blocked, "lost");
    const auto rounds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count() +
        1;
    EXPECT_TRUE(capture.contains("DDFileLogger: Failed to create new log file: open(" +
                                 (dir / "logs/").string()));
    EXPECT_TRUE(capture.contains("): Not a directory"));
    // One round of attempts per second: five creations, and their reports with the listing's,
    // the directory's and the logger's own.
    EXPECT_LE(fs->createAttempts.items().size(), static_cast<std::size_t>(5 * rounds));
    EXPECT_LE(capture.texts().size(), static_cast<std::size_t>(10 * rounds));
  }
  std::filesystem::remove(dir / "logs");
  // The next attempt comes within a second or so; records up to then are lost as well.
  ASSERT_TRUE(eventually([&] {
    write(*blocked, "kept " + std::to_string(written++));
    return !blockedManager->sortedLogFilePaths().empty();
  }));
  write(*blocked, "kept " + std::to_string(written++));
  // The record that found the directory back and the one after it, behind the count of all the
  // others.
  EXPECT_EQ(readFile(currentPath(*blocked)),
            "DDFileLogger: " + std::to_string(written - 2) +
                " records were lost while the log file could not be written\nkept " +
                std::to_string(written - 2) + "\nkept " + std::to_string(written - 1) + "\n");
  blocked.reset();
  blockedManager->waitForBackgroundDeletions();
}

TEST_F(FileLogger, AFileMovedBetweenOpeningAndWatchingIsRolledAtOnce) {
  auto fs = std::make_shared<ScriptedFileSystem>();
  std::string moved;
  fs->beforeAttributes = [&](const std::string& path) {
    // Only the logger's own look (a deletion run in the background reads attributes too).
    if (platform::dispatch::Queue::currentLabel() != DDFileLogger::kFileLoggerName) return;
    if (moved.empty() && path.ends_with(".log")) {
      moved = path;
      ASSERT_EQ(::rename(path.c_str(), (dir / "moved.txt").c_str()), 0);
    }
  };
  manager->setFileManager(fs);
  logger = plainLogger(manager);
  write(*logger, "one");
  ASSERT_FALSE(moved.empty());
  const std::string current = currentPath(*logger);
  // Another file, though perhaps of the same name: names have millisecond resolution, and the
  // moved file's is free again.
  EXPECT_FALSE(std::filesystem::equivalent(current, dir / "moved.txt"));
  EXPECT_EQ(readFile(dir / "moved.txt"), "");
  EXPECT_EQ(readFile(current), "one\n");
}

TEST_F(FileLogger, TwoLoggersOnOneDirectoryLoseNoLine) {
  manager->setMaximumNumberOfLogFiles(0);
  auto otherManager = std::make_shared<DDLogFileManagerDefault>(dir.path());
  otherManager->setMaximumNumberOfLogFiles(0);
  logger = plainLogger(manager);
  auto other = plainLogger(otherManager);
  for (auto& l : {logger, other})
    l->setMaximumFileSize(2000);  // both roll often
  for (auto& l : {logger, other})
    l->maximumFileSize();
  std::thread thread([&] {
    for (int i = 0; i < 300; ++i)
      write(*other, "b " + std::to_string(i));
  });
  for (int i = 0; i < 300; ++i)
    write(*logger, "a " + std::to_string(i));
  thread.join();
  logger.reset();
  other.reset();
  const auto lines = allLines();
  EXPECT_EQ(lines.size(), 600u);
  for (int i = 0; i < 300; ++i) {
    EXPECT_EQ(lines.count("a " + std::to_string(i)), 1u) << i;
    EXPECT_EQ(lines.count("b " + std::to_string(i)), 1u) << i;
  }
  otherManager->waitForBackgroundDeletions();
}

// Whether a manager offers locking is asked once per process, of the first file logger that
// writes: the tests that depend on that answer run in a fresh process of their own (a FileLogger
// test body; the child cleans up its own directory, since exit() runs no destructor).
#define IN_A_FRESH_PROCESS(...)                                          \
  do {                                                                   \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                      \
    EXPECT_EXIT(                                                         \
        {                                                                \
          __VA_ARGS__;                                                   \
          logger.reset();                                                \
          manager->waitForBackgroundDeletions();                         \
          std::filesystem::remove_all(dir.path()); /* exit() skips it */ \
          std::exit(::testing::Test::HasFailure() ? 1 : 0);              \
        },                                                               \
        ::testing::ExitedWithCode(0), "");                               \
  } while (0)

TEST_F(FileLogger, WritesUnderTheAdvisoryLockWhenTheManagerAsks) {
  IN_A_FRESH_PROCESS(writesUnderTheLock());
}

// The retired hooks and the locking answer are taken from the first logger that writes and hold
// for every other file logger of the process.
TEST_F(FileLogger, TheOncePerProcessAnswersComeFromTheFirstWriter) {
  struct Retired : DDFileLogger {
    using DDFileLogger::DDFileLogger;
    unsigned retiredHooks() const override {
      return kRetiredWillLogMessage | kRetiredDidLogMessage;
    }
  };
  struct Counting : DDFileLogger {
    using DDFileLogger::DDFileLogger;
    void willLogMessage() override { ++retiredCalls; }
    void didLogMessage() override { ++retiredCalls; }
    void willLogMessage(DDLogFileInfo&) override { ++currentCalls; }
    void didLogMessage(DDLogFileInfo&) override { ++currentCalls; }
    int retiredCalls = 0, currentCalls = 0;
  };
  struct AskedManager : DDLogFileManagerDefault {
    using DDLogFileManagerDefault::DDLogFileManagerDefault;
    bool respondsTo(Operation op) const override {
      return op == Operation::ShouldLockLogFile || DDLogFileManagerDefault::respondsTo(op);
    }
    bool shouldLockLogFile(const std::string&) override { return ++asked, true; }
    std::atomic<int> asked{0};
  };
  IN_A_FRESH_PROCESS({
    auto first = std::make_shared<Retired>(manager);
    first->setLogFormatter(nullptr);
    first->logFormatter();  // waits until the change is made
    write(*first, "first");
    auto askedManager = std::make_shared<AskedManager>(dir / "other");
    auto second = std::make_shared<Counting>(askedManager);
    second->setLogFormatter(nullptr);
    second->logFormatter();
    write(*second, "second");
    write(*second, "third");
    // The child's own failure messages do not reach the parent: say what was seen on stderr.
    const std::string seen = std::to_string(second->retiredCalls) + " retired, " +
                             std::to_string(second->currentCalls) + " current, " +
                             std::to_string(askedManager->asked.load()) + " asked, file \"" +
                             readFile(currentPath(*second)) + "\"";
    if (seen != "4 retired, 0 current, 0 asked, file \"second\nthird\n\"") {
      std::fprintf(stderr, "seen: %s\n", seen.c_str());
      ADD_FAILURE();
    }
    first.reset();
    second.reset();
    askedManager->waitForBackgroundDeletions();
  });
}

void FileLogger::writesUnderTheLock() {
  manager->lock = true;
  logger = plainLogger(manager);
  write(*logger, "first");
  const std::string path = currentPath(*logger);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);  // released after the first write
  auto log = std::make_shared<DDLog>(2);
  log->addLogger(logger);
  log->log(true, record("second"));
  // Nothing can signal "still waiting": give the write a chance to go wrong, then check.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(readFile(path), "first\n");
  ::flock(fd, LOCK_UN);
  log->flushLog();
  EXPECT_EQ(readFile(path), "first\nsecond\n");
  ::close(fd);
  log->removeLogger(logger);
  // Removal rolls: the file is closed and archived.
  EXPECT_TRUE(eventually([&] { return DDLogFileInfo(path).isArchived(); }));
}

TEST_F(FileLogger, ExceptionsWhileWritingAreReportedTenTimesAtMost) {
  struct ThrowingLogger : DDFileLogger {
    using DDFileLogger::DDFileLogger;
    void willLogMessage(DDLogFileInfo&) override { throw std::runtime_error("boom"); }
  };
  logger = std::make_shared<ThrowingLogger>(manager);
  const int before = DDFileLogger::exceptionCount();
  ScopedCapture capture;
  for (int i = 0; i < 12; ++i)
    write(*logger, "x");
  EXPECT_EQ(DDFileLogger::exceptionCount(), before + 12);
  const auto texts = capture.texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "DDFileLogger.logMessage: boom"),
            std::max(0, 10 - before));
  EXPECT_EQ(std::count(texts.begin(), texts.end(),
                       "DDFileLogger.logMessage: Too many exceptions -- will not log any more of "
                       "them."),
            before < 10 ? 1 : 0);
  EXPECT_EQ(readFile(currentPath(*logger)), "");  // every record was lost, nothing half-written
  // Inner operations refuse to run off the logger queue.
  logger->lt_rollLogFileNow();
  EXPECT_TRUE(
      capture.contains("lt_rollLogFileNow must only be called on the internal logger queue!"));
}

TEST_F(FileLogger, RollCompletionAndLimitsChangesReachTheManager) {
  auto fs = std::make_shared<ScriptedFileSystem>();
  manager->setFileManager(fs);
  auto completion = platform::dispatch::Queue::makeSerial("completion");
  logger = plainLogger(manager, completion);
  write(*logger, "x");
  const std::string path = currentPath(*logger);
  std::atomic<bool> archivedWhenDone{false}, done{false};
  logger->rollLogFileWithCompletionBlock([&] {
    archivedWhenDone = DDLogFileInfo(path).isArchived() &&
                       platform::dispatch::Queue::current() == completion.get();
    done = true;
  });
  ASSERT_TRUE(eventually([&] { return done.load(); }));
  EXPECT_TRUE(archivedWhenDone.load());

  // Once a file logger has taken the manager, changing a limit starts one deletion run; setting
  // the value it already has starts none.
  const auto settle = [&] {
    return manager->waitForBackgroundDeletions(
        platform::dispatch::Time::after(std::chrono::seconds(30)));
  };
  ASSERT_TRUE(settle());
  const int listings = fs->listings.load();
  manager->setMaximumNumberOfLogFiles(manager->maximumNumberOfLogFiles());
  manager->setLogFilesDiskQuota(manager->logFilesDiskQuota());
  ASSERT_TRUE(settle());
  EXPECT_EQ(fs->listings.load(), listings);
  manager->setMaximumNumberOfLogFiles(3);
  ASSERT_TRUE(settle());
  EXPECT_EQ(fs->listings.load(), listings + 1);
}

TEST_F(FileLogger, BufferedProxyHoldsRecordsUntilABlockIsFullThenOnFlushAndRemoval) {
  logger = plainLogger(manager);
  auto proxy = logger->wrapWithBuffer();
  ASSERT_NE(proxy, nullptr);
  EXPECT_EQ(proxy->wrapWithBuffer(), proxy);  // never a buffer in front of a buffer
  EXPECT_EQ(proxy->loggerQueue(), logger->loggerQueue());
  proxy->setMaxBufferSizeBytes(UINT64_MAX);
  EXPECT_EQ(proxy->maxBufferSizeBytes(), DDBufferedProxy::maximumBufferSize());
  proxy->setMaxBufferSizeBytes(20);

  write(*proxy, "123456");                             // 7 bytes
  write(*proxy, "abcdef");                             // 14
  EXPECT_TRUE(manager->sortedLogFilePaths().empty());  // nothing on disk yet
  EXPECT_EQ(proxy->currentBufferSizeBytes(), 14u);
  write(*proxy, "ABCDEF");  // 21 >= 20: sent in one write
  EXPECT_EQ(proxy->currentBufferSizeBytes(), 0u);
  const std::string path = currentPath(*logger);
  EXPECT_EQ(readFile(path), "123456\nabcdef\nABCDEF\n");
  write(*proxy, "tail");
  proxy->flush();
  EXPECT_EQ(readFile(path), "123456\nabcdef\nABCDEF\ntail\n");

  // Through the dispatcher: removing the proxy sends the buffer before the file is archived.
  auto log = std::make_shared<DDLog>(2);
  log->addLogger(proxy);
  log->log(true, record("last"));
  {
    ScopedCapture capture;
    log->loggingQueue()->sync([&] { proxy->flush(); });
    EXPECT_TRUE(capture.contains("Core architecture requirement failure"));
  }
  log->removeLogger(proxy);
  EXPECT_TRUE(eventually([&] { return DDLogFileInfo(path).isArchived(); }));
  EXPECT_EQ(readFile(path), "123456\nabcdef\nABCDEF\ntail\nlast\n");

  // Dropping the proxy sends what it still holds.
  write(*proxy, "orphan");
  proxy.reset();
  EXPECT_EQ(readFile(currentPath(*logger)), "orphan\n");
}

// The disk-full case runs in a child with its own mount namespace and a 64 KiB tmpfs, so the
// host's file systems are never filled. The child re-runs this binary with only the test below.
TEST(DDFileLogger, DiskFullThenRoomAgain) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs in a private mount namespace";
  TempDir dir;
  // Everything the child needs is prepared before fork: a process with other threads may only
  // make system calls between fork and exec.
  std::vector<std::string> envStrings{"DDFILELOGGER_FULL_DISK=" + dir.path().string()};
  for (char** e = environ; *e; ++e)
    envStrings.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : envStrings)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k") != 0) {
      ::_exit(77);
    }
    ::execle("/proc/self/exe", "DDFileLoggerTests", "--gtest_also_run_disabled_tests",
             "--gtest_filter=DDFileLogger.DISABLED_DiskFullChild", "--gtest_brief=1", nullptr,
             envp.data());
    ::_exit(78);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot make a private mount namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the disk-full child failed; see its output above";
}

TEST(DDFileLogger, DISABLED_DiskFullChild) {
  const char* mount = std::getenv("DDFILELOGGER_FULL_DISK");
  ASSERT_NE(mount, nullptr);
  const std::string base = mount;
  writeFile(base + "/filler", std::string(24 * 1024, 'f'));
  auto manager = std::make_shared<DDLogFileManagerDefault>(base + "/logs");
  auto logger = plainLogger(manager);
  logger->setMaximumFileSize(0);
  logger->maximumFileSize();
  const auto line = [](int i) { return "line " + std::to_string(i) + " " + std::string(60, '.'); };
  ScopedCapture capture;
  int failedAt = -1;
  for (int i = 0; i < 4000 && failedAt < 0; ++i) {
    write(*logger, line(i));
    if (capture.contains("DDFileLogger: Failed to write data: ")) failedAt = i;
  }
  ASSERT_GE(failedAt, 0) << "the small file system never filled up";
  EXPECT_TRUE(capture.contains("No space left on device"));
  std::filesystem::remove(base + "/filler");
  write(*logger, "after room");
  const std::string content = readFile(currentPath(*logger));
  for (int i = 0; i < failedAt; ++i) {
    ASSERT_NE(content.find(line(i) + "\n"), std::string::npos) << i;
  }
  // A record the full disk cut short must not swallow the start of the next line: every line is
  // whole.
  EXPECT_TRUE(content.ends_with("\nafter room\n")) << content.substr(content.size() - 100);
  std::istringstream lines(content);
  int lostLines = 0;
  for (std::string text; std::getline(lines, text);) {
    if (text.starts_with("DDFileLogger: ")) {
      EXPECT_TRUE(text.ends_with(" records were lost while the log file could not be written"))
          << text;
      ++lostLines;
    } else if (text != "after room") {
      EXPECT_TRUE(text.starts_with("line ") && text.ends_with(" " + std::string(60, '.'))) << text;
    }
  }
  EXPECT_EQ(lostLines, 1);
  logger.reset();
  manager->waitForBackgroundDeletions();
}
