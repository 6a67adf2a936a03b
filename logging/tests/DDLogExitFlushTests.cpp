// A process that logs asynchronously to a slow logger and calls exit(0) with records still
// queued must still deliver every one of them.

#include <fcntl.h>
#include <gtest/gtest.h>

#include "logging/DDLogFrontEnd.h"
#include "logging/tests/LogTestSupport.h"

namespace {

constexpr int kRecords = 100;

// Appends each record as one line to a file, slowly, so that records queue up.
class SlowFileLogger : public DDAbstractLogger {
 public:
  explicit SlowFileLogger(const std::string& path)
      : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)) {}
  ~SlowFileLogger() override { ::close(fd_); }
  void logMessage(const DDLogMessagePtr& m) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    write(std::string(m->message()) + "\n");
    delivered.fetch_add(1);
  }
  void write(const std::string& line) {
    if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::abort();
  }
  std::atomic<int> delivered{0};

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
        if (logger->delivered < kRecords) logger->write("queued-at-exit\n");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");

  std::istringstream in(logtest::readFile(path));
  std::filesystem::remove(path);
  ::unsetenv("DDLOG_EXIT_FLUSH_FILE");
  std::vector<std::string> records;
  bool queuedAtExit = false;
  for (std::string line; std::getline(in, line);) {
    if (line == "queued-at-exit") {
      queuedAtExit = true;
    } else {
      records.push_back(line);
    }
  }
  EXPECT_TRUE(queuedAtExit) << "records were still waiting when exit() was called";
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kRecords));
  for (int i = 0; i < kRecords; ++i)
    EXPECT_EQ(records[i], "record " + std::to_string(i));
}

}  // namespace
