// A process that logs asynchronously to a slow logger and calls exit(0) with records still
// queued must still deliver every one of them.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "logging/DDFileLogger.h"
#include "logging/DDLogFileManagerDefault.h"
#include "logging/DDLogFrontEnd.h"
#include "logging/tests/LogTestSupport.h"
#include "testsupport/Eventually.h"

namespace {

constexpr int kRecords = 100;

// Appends each record as one line to a file, slowly, and none before the process is on its way
// out: however the machine schedules the logging thread, records are still queued at exit().
class SlowFileLogger : public DDAbstractLogger {
 public:
  explicit SlowFileLogger(const std::string& path)
      : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)) {}
  ~SlowFileLogger() override { ::close(fd_); }
  void logMessage(const DDLogMessagePtr& m) override {
    if (!testsupport::eventually([&] { return exiting.load(); }, std::chrono::seconds(60)))
      std::abort();
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    write(std::string(m->message()) + "\n");
  }
  void write(const std::string& line) {
    if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::abort();
  }
  std::atomic<bool> exiting{false};

 private:
  const int fd_;
};

TEST(DDLogExitFlush, PendingRecordsReachTheLoggerAtExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the child is a fresh process, not a fork
  // The child re-runs this test from the start: it must find the parent's file.
  if (!std::getenv("DDLOG_EXIT_FLUSH_FILE")) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("ddlog-exit-flush-" + std::to_string(::getpid()) + ".log");
    std::filesystem::remove(path);
    ::setenv("DDLOG_EXIT_FLUSH_FILE", path.c_str(), 1);
  }
  const std::string path = std::getenv("DDLOG_EXIT_FLUSH_FILE");
  EXPECT_EXIT(
      {
        auto logger = std::make_shared<SlowFileLogger>(path);
        DDLog::sharedAddLogger(logger);
        for (int i = 0; i < kRecords; ++i)
          DDLogInfo("record %d", i);
        logger->exiting = true;
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");

  std::istringstream in(logtest::readFile(path));
  std::filesystem::remove(path);
  ::unsetenv("DDLOG_EXIT_FLUSH_FILE");
  std::vector<std::string> records;
  for (std::string line; std::getline(in, line);)
    records.push_back(line);
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kRecords));
  for (int i = 0; i < kRecords; ++i)
    EXPECT_EQ(records[i], "record " + std::to_string(i));
}

// The default manager without a serializer of its own: the file logger falls back to its plain
// text one.
class ManagerWithoutSerializer : public DDLogFileManagerDefault {
 public:
  using DDLogFileManagerDefault::DDLogFileManagerDefault;
  bool respondsTo(Operation op) const override {
    return op != Operation::LogMessageSerializer && DDLogFileManagerDefault::respondsTo(op);
  }
};

// Passes each record's text through, slowly, so that records queue up.
class SlowFormatter : public DDLogFormatter {
 public:
  std::optional<std::string> formatLogMessage(const DDLogMessage& m) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return std::string(m.message());
  }
};

// Everything the exit flush reaches must outlive it, however late it was first used: the
// fallback serializer, the application name (longer than a short-string buffer: this test
// program's name) used when queued records roll the file, and the file logger's own parts.
TEST(DDLogExitFlush, QueuedRecordsRollRealFilesAtExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  if (!std::getenv("DDLOG_EXIT_FLUSH_DIR")) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("ddlog-exit-roll-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    ::setenv("DDLOG_EXIT_FLUSH_DIR", dir.c_str(), 1);
  }
  const std::string dir = std::getenv("DDLOG_EXIT_FLUSH_DIR");
  EXPECT_EXIT(
      {
        auto manager = std::make_shared<ManagerWithoutSerializer>(dir);
        manager->setMaximumNumberOfLogFiles(0);
        auto logger = std::make_shared<DDFileLogger>(manager);
        logger->setLogFormatter(std::make_shared<SlowFormatter>());
        logger->setMaximumFileSize(300);  // a new file every few records
        DDLog::sharedAddLogger(logger);
        // The first record is written at once: the file logger's and the manager's lazily made
        // parts now exist, made after the dispatcher installed its exit handler.
        _DDLogMessage(DDLogLevel::all, DDLogFlag::info, 0, nullptr, false, DDLog::sharedInstance(),
                      "record %d, padded to make the file roll often", 0);
        // The rest is still queued behind the slow formatter when exit() begins.
        for (int i = 1; i < kRecords; ++i)
          DDLogInfo("record %d, padded to make the file roll often", i);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");

  ASSERT_GT(DDLogFileManagerDefault::applicationName().size(), 15u);
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    files.push_back(entry.path().filename());
  std::sort(files.begin(), files.end());
  std::string all;
  for (const auto& f : files) {
    EXPECT_TRUE(f.starts_with(DDLogFileManagerDefault::applicationName() + " ")) << f;
    all += logtest::readFile(dir + "/" + f);
  }
  std::filesystem::remove_all(dir);
  ::unsetenv("DDLOG_EXIT_FLUSH_DIR");
  EXPECT_GT(files.size(), 5u);
  std::string expected;
  for (int i = 0; i < kRecords; ++i)
    expected += "record " + std::to_string(i) + ", padded to make the file roll often\n";
  EXPECT_EQ(all, expected);
}

}  // namespace
