#include "logging/DDFileLogger.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "logging/DDBufferedProxy.h"
#include "logging/DDLog.h"
#include "logging/DDLogFileFormatterDefault.h"
#include "logging/DDLogFileManagerDefault.h"
#include "logging/tests/DDLogFileManagerTestSupport.h"
#include "platform/diagnostics/Diagnostics.h"

using logfiletest::readFile;
using logfiletest::ScriptedFileSystem;
using logfiletest::sortedNames;
using logfiletest::TempDir;
using logfiletest::waitUntil;
using logfiletest::writeFile;
using platform::diagnostics::ScopedCapture;

namespace {

DDLogMessagePtr record(std::string text,
                       std::optional<DDLogMessage::Timestamp> timestamp = std::nullopt) {
  return std::make_shared<DDLogMessage>(DDLogText(std::move(text)), DDLogLevel::all,
                                        DDLogFlag::info, 0, DDLogText("f.cpp"), DDLogText("fn"), 1,
                                        nullptr, 0, timestamp);
}

// Writes one record the way the dispatcher does: on the logger's queue, and waits for it.
void write(DDLogger& logger, const std::string& text) {
  auto m = record(text);
  logger.loggerQueue()->sync([&] { logger.logMessage(m); });
}

// A logger whose lines are the records' bare texts (no timestamp), for exact content checks.
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

// Every line of every log file in `dir`.
std::multiset<std::string> allLines(DDLogFileManagerDefault& manager) {
  std::multiset<std::string> lines;
  for (const auto& path : manager.sortedLogFilePaths()) {
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);)
      lines.insert(line);
  }
  return lines;
}

class Formatter : public DDLogFormatter {
 public:
  explicit Formatter(std::function<std::optional<std::string>(const DDLogMessage&)> f)
      : f_(std::move(f)) {}
  std::optional<std::string> formatLogMessage(const DDLogMessage& m) override { return f_(m); }

 private:
  std::function<std::optional<std::string>(const DDLogMessage&)> f_;
};

// A manager that records what the file logger tells it and may ask for locking.
class RecordingManager : public DDLogFileManagerDefault {
 public:
  using DDLogFileManagerDefault::DDLogFileManagerDefault;
  bool lock = false;
  std::mutex m;
  std::vector<std::pair<std::string, bool>> archived;
  bool respondsTo(Operation op) const override {
    return op == Operation::DidArchiveLogFileWasRolled ||
           (lock && op == Operation::ShouldLockLogFile) || DDLogFileManagerDefault::respondsTo(op);
  }
  void didArchiveLogFile(const std::string& path, bool wasRolled) override {
    std::lock_guard g(m);
    archived.emplace_back(path, wasRolled);
  }
  bool shouldLockLogFile(const std::string&) override { return true; }
  std::vector<std::pair<std::string, bool>> seen() {
    std::lock_guard g(m);
    return archived;
  }
};

}  // namespace

TEST(DDFileLogger, LinesFormattersAndLineEnds) {
  TempDir dir;
  auto manager = std::make_shared<DDLogFileManagerDefault>(dir.path());
  auto logger = std::make_shared<DDFileLogger>(manager);
  EXPECT_EQ(logger->loggerName(), "orvel.quillmark.fileLogger");
  EXPECT_EQ(logger->maximumFileSize(), 1048576u);
  EXPECT_EQ(logger->rollingFrequency(), 86400.0);

  // The default line: UTC timestamp, two blanks, the text.
  const auto when = DDLogMessage::Timestamp(
      std::chrono::sys_days(std::chrono::year(2024) / 5 / 1).time_since_epoch() +
      std::chrono::hours(9) + std::chrono::minutes(3) + std::chrono::seconds(7) +
      std::chrono::milliseconds(45));
  auto m = record("hello", when);
  logger->loggerQueue()->sync([&] { logger->logMessage(m); });
  const std::string path = currentPath(*logger);
  EXPECT_EQ(readFile(path), "2024/05/01 09:03:07:045  hello\n");

  struct Case {
    std::optional<std::string> formatted;  // nullopt: no formatter at all
    bool append;
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"", true, "dropped", ""},              // empty text: nothing written
      {"<x>\n", true, "a", "<x>\n"},          // already ends with a line end
      {"<x>", true, "a", "<x>\n"},            // custom text gets one while enabled
      {"<x>", false, "a", "<x>"},             // and none when disabled
      {"same", false, "same", "same\n"},      // the record's own text counts as unformatted
      {std::nullopt, false, "raw", "raw\n"},  // no formatter: the record's text
  };
  std::string expected = readFile(path);
  for (const auto& c : cases) {
    if (c.formatted) {
      const std::string f = *c.formatted;
      logger->setLogFormatter(std::make_shared<Formatter>([f](const DDLogMessage&) { return f; }));
    } else {
      logger->setLogFormatter(nullptr);
    }
    logger->logFormatter();
    logger->setAutomaticallyAppendNewlineForCustomFormatters(c.append);
    write(*logger, c.text);
    expected += c.expected;
    EXPECT_EQ(readFile(path), expected) << c.text;
  }
  // A formatter that declines the record suppresses it.
  logger->setLogFormatter(
      std::make_shared<Formatter>([](const DDLogMessage&) { return std::nullopt; }));
  logger->logFormatter();
  write(*logger, "declined");
  EXPECT_EQ(readFile(path), expected);
}

TEST(DDFileLogger, ResumesOnlyAnUnfinishedRegularFileBelowBothLimits) {
  TempDir dir;
  auto manager = std::make_shared<RecordingManager>(dir.path());
  {
    auto logger = plainLogger(manager);
    write(*logger, "first run");
  }  // teardown closes without archiving
  const auto first = manager->sortedLogFilePaths();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_FALSE(DDLogFileInfo(first[0]).isArchived());
  {
    auto logger = plainLogger(manager);
    write(*logger, "second run");
    EXPECT_EQ(currentPath(*logger), first[0]);
  }
  EXPECT_EQ(readFile(first[0]), "first run\nsecond run\n");

  // Not reusing: the file is archived (the manager hears wasRolled=false) and a new one begins.
  {
    auto logger = plainLogger(manager);
    logger->setDoNotReuseLogFiles(true);
    write(*logger, "third run");
    EXPECT_NE(currentPath(*logger), first[0]);
  }
  EXPECT_TRUE(DDLogFileInfo(first[0]).isArchived());
  EXPECT_EQ(readFile(first[0]), "first run\nsecond run\n");
  ASSERT_TRUE(waitUntil([&] { return !manager->seen().empty(); }));
  EXPECT_EQ(manager->seen()[0], std::make_pair(first[0], false));

  // A file at the size limit is not resumed either.
  const std::string third = manager->sortedLogFilePaths()[0];
  {
    auto logger = plainLogger(manager);
    logger->setMaximumFileSize(10);
    logger->maximumFileSize();  // settings apply in order through the queues: wait for it
    write(*logger, "fourth run");
    EXPECT_NE(currentPath(*logger), third);
  }
  EXPECT_TRUE(DDLogFileInfo(third).isArchived());

  // A symbolic link or a FIFO with the newest log file's name is never written through.
  const std::string target = dir / "target.txt";
  writeFile(target, "keep");
  const std::string link =
      dir / (DDLogFileManagerDefault::applicationName() + " 2099-01-01--00-00-00-000.log");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  {
    auto logger = plainLogger(manager);
    write(*logger, "fifth run");
    EXPECT_NE(currentPath(*logger), link);
  }
  EXPECT_EQ(readFile(target), "keep");
  std::filesystem::remove(link);
  ASSERT_EQ(::mkfifo(link.c_str(), 0644), 0);
  {
    auto logger = plainLogger(manager);
    write(*logger, "sixth run");
    EXPECT_NE(currentPath(*logger), link);
  }
  manager->waitForBackgroundDeletions();
}

TEST(DDFileLogger, AnArchivedFileIsNeverResumedEvenWithoutUserXattrs) {
  TempDir dir;
  auto fs = std::make_shared<ScriptedFileSystem>();
  fs->refuseUserXattrs = true;
  auto manager = std::make_shared<DDLogFileManagerDefault>(dir.path());
  manager->setFileManager(fs);
  ScopedCapture capture;
  std::string rolled;
  {
    auto logger = plainLogger(manager);
    write(*logger, "before roll");
    rolled = currentPath(*logger);
    logger->rollLogFile();
    EXPECT_EQ(logger->maximumFileSize(), 1048576u);  // waits for the roll
  }
  {
    auto logger = plainLogger(manager);
    write(*logger, "after roll");
    EXPECT_NE(currentPath(*logger), rolled);
  }
  EXPECT_EQ(readFile(rolled), "before roll\n");
  EXPECT_TRUE(capture.texts().empty()) << capture.texts().front();
  manager->waitForBackgroundDeletions();
}

TEST(DDFileLogger, RollsBySizeAndByAgeAndOnLoweredLimits) {
  TempDir dir;
  auto manager = std::make_shared<RecordingManager>(dir.path());
  manager->setMaximumNumberOfLogFiles(0);
  auto logger = plainLogger(manager);
  logger->setMaximumFileSize(100);
  logger->setRollingFrequency(0);
  logger->rollingFrequency();
  const std::string line(29, 'x');  // 30 bytes with its line end
  for (int i = 0; i < 4; ++i)
    write(*logger, line);
  // The fourth record took the file from 90 to 120 bytes: it completed, then the file rolled.
  auto paths = manager->sortedLogFilePaths();
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(readFile(paths[0]).size(), 120u);
  EXPECT_TRUE(DDLogFileInfo(paths[0]).isArchived());
  write(*logger, "next");
  EXPECT_EQ(manager->sortedLogFilePaths().size(), 2u);
  ASSERT_TRUE(waitUntil([&] { return !manager->seen().empty(); }));
  EXPECT_EQ(manager->seen()[0], std::make_pair(paths[0], true));

  // Lowering the size limit below the open file's size rolls at once.
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
  EXPECT_TRUE(waitUntil([&] { return DDLogFileInfo(aging).isArchived(); }));
  write(*logger, "young");
  const std::string young = currentPath(*logger);
  EXPECT_NE(young, aging);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  logger->setRollingFrequency(1000);
  logger->setRollingFrequency(1.2);  // age + 1 s of leeway >= 1.2
  logger->rollingFrequency();
  EXPECT_TRUE(DDLogFileInfo(young).isArchived());
  logger.reset();
  manager->waitForBackgroundDeletions();
}

TEST(DDFileLogger, SettingsChangedWhileRecordsAreQueuedApplyInOrder) {
  TempDir dir;
  auto manager = std::make_shared<DDLogFileManagerDefault>(dir.path());
  manager->setMaximumNumberOfLogFiles(0);
  auto logger = plainLogger(manager);
  auto log = std::make_shared<DDLog>(2);
  log->addLogger(logger);
  for (int i = 0; i < 40; ++i) {
    log->log(true, record("record " + std::to_string(i)));
    if (i == 19) logger->setMaximumFileSize(30);
  }
  log->flushLog();
  // The first twenty records were queued before the change: they share one file, which the
  // change then rolled. Every later file holds at most one record past 30 bytes.
  std::set<std::string> files;
  for (const auto& path : manager->sortedLogFilePaths()) {
    const std::string content = readFile(path);
    if (content.find("record 0\n") != std::string::npos) {
      EXPECT_EQ(content.rfind("record 19\n"), content.size() - 10);
      EXPECT_TRUE(DDLogFileInfo(path).isArchived());
    } else {
      EXPECT_LT(content.size(), 30u + 10u) << content;
    }
    files.insert(path);
  }
  EXPECT_GT(files.size(), 5u);
  EXPECT_EQ(allLines(*manager).size(), 40u);
  log->removeLogger(logger);
  EXPECT_TRUE(waitUntil([&] { return log->allLoggers().empty(); }));
  manager->waitForBackgroundDeletions();
}

TEST(DDFileLogger, AFileDeletedOrRenamedFromOutsideRollsTheLog) {
  TempDir dir;
  auto manager = std::make_shared<DDLogFileManagerDefault>(dir.path());
  auto logger = plainLogger(manager);
  write(*logger, "one");
  const std::string first = currentPath(*logger);
  ASSERT_EQ(::rename(first.c_str(), (dir / "moved.txt").c_str()), 0);
  // The watcher rolls the log; the next record then goes to a new file.
  ASSERT_TRUE(waitUntil([&] { return currentPath(*logger) != first; }));
  write(*logger, "two");
  const std::string second = currentPath(*logger);
  EXPECT_EQ(readFile(dir / "moved.txt"), "one\n");
  EXPECT_EQ(readFile(second), "two\n");

  std::filesystem::remove(second);
  ASSERT_TRUE(waitUntil([&] { return currentPath(*logger) != second; }));
  write(*logger, "three");
  EXPECT_EQ(readFile(currentPath(*logger)), "three\n");
  logger.reset();
  manager->waitForBackgroundDeletions();
}

TEST(DDFileLogger, AnUnusableLogsDirectoryLosesRecordsUntilItRecovers) {
  TempDir dir;
  writeFile(dir / "logs", "a file where the directory should be");
  auto manager = std::make_shared<DDLogFileManagerDefault>(dir / "logs");
  auto logger = plainLogger(manager);
  {
    ScopedCapture capture;
    write(*logger, "lost");
    EXPECT_TRUE(
        capture.contains("DDFileLogger: Failed to create new log file: open(" + dir / "logs/"));
    EXPECT_TRUE(capture.contains("): Not a directory"));
  }
  std::filesystem::remove(dir / "logs");
  write(*logger, "kept");
  EXPECT_EQ(readFile(currentPath(*logger)), "kept\n");
  logger.reset();
  manager->waitForBackgroundDeletions();
}

TEST(DDFileLogger, TwoLoggersOnOneDirectoryLoseNoLine) {
  TempDir dir;
  auto managerA = std::make_shared<DDLogFileManagerDefault>(dir.path());
  auto managerB = std::make_shared<DDLogFileManagerDefault>(dir.path());
  managerA->setMaximumNumberOfLogFiles(0);
  managerB->setMaximumNumberOfLogFiles(0);
  auto a = plainLogger(managerA);
  auto b = plainLogger(managerB);
  a->setMaximumFileSize(2000);
  b->setMaximumFileSize(2000);
  a->maximumFileSize();
  b->maximumFileSize();
  std::thread ta([&] {
    for (int i = 0; i < 300; ++i)
      write(*a, "a " + std::to_string(i));
  });
  for (int i = 0; i < 300; ++i)
    write(*b, "b " + std::to_string(i));
  ta.join();
  a.reset();
  b.reset();
  const auto lines = allLines(*managerA);
  EXPECT_EQ(lines.size(), 600u);
  for (int i = 0; i < 300; ++i) {
    EXPECT_EQ(lines.count("a " + std::to_string(i)), 1u) << i;
    EXPECT_EQ(lines.count("b " + std::to_string(i)), 1u) << i;
  }
  managerA->waitForBackgroundDeletions();
  managerB->waitForBackgroundDeletions();
}

TEST(DDFileLogger, WritesUnderTheAdvisoryLockWhenTheManagerAsks) {
  TempDir dir;
  auto manager = std::make_shared<RecordingManager>(dir.path());
  manager->lock = true;
  auto logger = plainLogger(manager);
  write(*logger, "first");
  const std::string path = currentPath(*logger);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);  // released after the first write
  auto log = std::make_shared<DDLog>(2);
  log->addLogger(logger);
  log->log(true, record("second"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(readFile(path), "first\n");  // waiting for our lock
  ::flock(fd, LOCK_UN);
  log->flushLog();
  EXPECT_EQ(readFile(path), "first\nsecond\n");
  ::close(fd);
  log->removeLogger(logger);
  // Removal rolls: the file is closed and archived.
  EXPECT_TRUE(waitUntil([&] { return DDLogFileInfo(path).isArchived(); }));
  logger.reset();
  manager->waitForBackgroundDeletions();
}

namespace {
class ThrowingLogger : public DDFileLogger {
 public:
  using DDFileLogger::DDFileLogger;
  void willLogMessage(DDLogFileInfo&) override { throw std::runtime_error("boom"); }
};
}  // namespace

TEST(DDFileLogger, ExceptionsWhileWritingAreReportedTenTimesAtMost) {
  TempDir dir;
  auto manager = std::make_shared<DDLogFileManagerDefault>(dir.path());
  auto logger = std::make_shared<ThrowingLogger>(manager);
  const int before = DDFileLogger::exceptionCount();
  ScopedCapture capture;
  for (int i = 0; i < 12; ++i)
    write(*logger, "x");
  EXPECT_EQ(DDFileLogger::exceptionCount(), before + 12);
  const auto texts = capture.texts();
  const auto reported = std::count(texts.begin(), texts.end(), "DDFileLogger.logMessage: boom");
  EXPECT_EQ(reported, std::max(0, 10 - before));
  const bool tooMany = std::count(texts.begin(), texts.end(),
                                  "DDFileLogger.logMessage: Too many exceptions -- will not log "
                                  "any more of them.") == 1;
  EXPECT_EQ(tooMany, before < 10);
  EXPECT_EQ(readFile(currentPath(*logger)), "");  // every record was lost, nothing half-written
  // Inner operations refuse to run off the logger queue.
  logger->lt_rollLogFileNow();
  EXPECT_TRUE(
      capture.contains("lt_rollLogFileNow must only be called on the internal logger queue!"));
  logger.reset();
  manager->waitForBackgroundDeletions();
}

TEST(DDFileLogger, RollCompletionAndLimitsChangesReachTheManager) {
  TempDir dir;
  auto fs = std::make_shared<ScriptedFileSystem>();
  auto manager = std::make_shared<DDLogFileManagerDefault>(dir.path());
  manager->setFileManager(fs);
  auto completion = platform::dispatch::Queue::makeSerial("completion");
  auto logger = plainLogger(manager, completion);
  write(*logger, "x");
  const std::string path = currentPath(*logger);
  std::atomic<bool> archivedWhenDone{false}, done{false};
  logger->rollLogFileWithCompletionBlock([&] {
    archivedWhenDone = DDLogFileInfo(path).isArchived() &&
                       platform::dispatch::Queue::current() == completion.get();
    done = true;
  });
  ASSERT_TRUE(waitUntil([&] { return done.load(); }));
  EXPECT_TRUE(archivedWhenDone.load());

  // Once a file logger has taken the manager, changing a limit starts one deletion run; setting
  // the value it already has starts none.
  ASSERT_TRUE(manager->waitForBackgroundDeletions(
      platform::dispatch::Time::after(std::chrono::seconds(30))));
  const int listings = fs->listings.load();
  manager->setMaximumNumberOfLogFiles(manager->maximumNumberOfLogFiles());
  manager->setLogFilesDiskQuota(manager->logFilesDiskQuota());
  ASSERT_TRUE(manager->waitForBackgroundDeletions(
      platform::dispatch::Time::after(std::chrono::seconds(30))));
  EXPECT_EQ(fs->listings.load(), listings);
  manager->setMaximumNumberOfLogFiles(3);
  ASSERT_TRUE(manager->waitForBackgroundDeletions(
      platform::dispatch::Time::after(std::chrono::seconds(30))));
  EXPECT_EQ(fs->listings.load(), listings + 1);
  logger.reset();
}

TEST(DDBufferedProxy, HoldsRecordsUntilABlockIsFullAndSendsTheRestOnFlushAndRemoval) {
  TempDir dir;
  auto manager = std::make_shared<DDLogFileManagerDefault>(dir.path());
  auto logger = plainLogger(manager);
  auto proxy = logger->wrapWithBuffer();
  ASSERT_NE(proxy, nullptr);
  EXPECT_EQ(proxy->unwrapFromBuffer(), logger);
  EXPECT_EQ(proxy->wrapWithBuffer(), proxy);
  EXPECT_EQ(proxy->maxBufferSizeBytes(), DDBufferedProxy::defaultBufferSize());
  EXPECT_EQ(proxy->loggerQueue(), logger->loggerQueue());
  EXPECT_EQ(proxy->loggerName(), "orvel.quillmark.fileLogger");
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
  EXPECT_TRUE(waitUntil([&] { return DDLogFileInfo(path).isArchived(); }));
  EXPECT_EQ(readFile(path), "123456\nabcdef\nABCDEF\ntail\nlast\n");

  // Dropping the proxy sends what it still holds.
  write(*proxy, "orphan");
  proxy.reset();
  EXPECT_EQ(readFile(currentPath(*logger)), "orphan\n");
  logger.reset();
  manager->waitForBackgroundDeletions();
}

// The disk-full case runs in a child with its own mount namespace and a 64 KiB tmpfs, so the
// host's file systems are never filled. The child re-runs this binary with only the test below.
TEST(DDFileLogger, DiskFullThenRoomAgain) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to mount a small tmpfs in a private mount namespace";
  TempDir dir;
  // Everything the child needs is prepared before fork: only system calls run between fork and
  // exec in a process that has other threads.
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e)
    envStrings.emplace_back(*e);
  envStrings.push_back("DDFILELOGGER_FULL_DISK=" + dir.path());
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
  ScopedCapture capture;
  int failedAt = -1;
  for (int i = 0; i < 4000 && failedAt < 0; ++i) {
    write(*logger, "line " + std::to_string(i) + " " + std::string(60, '.'));
    if (capture.contains("DDFileLogger: Failed to write data: ")) failedAt = i;
  }
  ASSERT_GE(failedAt, 0) << "the small file system never filled up";
  EXPECT_TRUE(capture.contains("No space left on device"));
  std::filesystem::remove(base + "/filler");
  write(*logger, "after room");
  const std::string content = readFile(currentPath(*logger));
  for (int i = 0; i < failedAt; ++i) {
    ASSERT_NE(content.find("line " + std::to_string(i) + " " + std::string(60, '.') + "\n"),
              std::string::npos)
        << i;
  }
  EXPECT_EQ(content.substr(content.size() - 11), "after room\n");
  logger.reset();
  manager->waitForBackgroundDeletions();
}
