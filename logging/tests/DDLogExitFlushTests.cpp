// The process-exit flush: a process that logs asynchronously to a slow logger and calls exit(0)
// with records still queued must still deliver every one of them.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "logging/DDAbstractLogger.h"
#include "logging/DDLogFrontEnd.h"

namespace {

constexpr int kRecords = 100;

// Appends each record as one line to a file, slowly.
class SlowFileLogger : public DDAbstractLogger {
 public:
  explicit SlowFileLogger(const std::string& path)
      : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)) {}
  ~SlowFileLogger() override {
    if (fd_ >= 0) ::close(fd_);
  }
  void logMessage(const DDLogMessagePtr& m) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    write(std::string(m->message()) + "\n");
    delivered_.fetch_add(1);
  }
  void write(const std::string& line) {
    if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::abort();
  }
  int delivered() const { return delivered_.load(); }

 private:
  int fd_;
  std::atomic<int> delivered_{0};
};

TEST(DDLogExitFlush, PendingRecordsReachTheLoggerAtExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the child is a fresh process, not a fork
  // The child re-runs this test from the start: it must find the parent's file.
  const char* existing = std::getenv("DDLOG_EXIT_FLUSH_FILE");
  std::string path;
  if (existing != nullptr) {
    path = existing;
  } else {
    path = (std::filesystem::temp_directory_path() /
            ("ddlog-exit-flush-" + std::to_string(::getpid()) + ".log"))
               .string();
    std::filesystem::remove(path);
    ::setenv("DDLOG_EXIT_FLUSH_FILE", path.c_str(), 1);
  }

  EXPECT_EXIT(
      {
        auto logger = std::make_shared<SlowFileLogger>(path);
        DDLog::sharedAddLogger(logger);
        for (int i = 0; i < kRecords; ++i)
          DDLogInfo("record %d", i);
        if (logger->delivered() < kRecords) logger->write("queued-at-exit\n");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");

  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  std::filesystem::remove(path);
  ::unsetenv("DDLOG_EXIT_FLUSH_FILE");
  ASSERT_FALSE(lines.empty());
  // The marker proves records were still waiting when exit() was called.
  EXPECT_NE(std::find(lines.begin(), lines.end(), "queued-at-exit"), lines.end());
  std::vector<std::string> records;
  for (auto& l : lines) {
    if (l != "queued-at-exit") records.push_back(l);
  }
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kRecords));
  for (int i = 0; i < kRecords; ++i)
    EXPECT_EQ(records[i], "record " + std::to_string(i));
}

}  // namespace
