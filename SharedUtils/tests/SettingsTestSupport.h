#pragma once
// Helpers for the settings tests: a temporary directory, a logger that records what reaches it,
// a way to run coreservicectl, and waiting with a generous deadline.
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/DDAbstractLogger.h"
#include "logging/DDLog.h"
#include "logging/DDLogMessage.h"

extern char** environ;

namespace settingstest {

using namespace std::chrono_literals;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "settings-test-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = 10000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// One log record as the test sees it.
struct Line {
  std::string message;
  std::string function;
  DDLogFlag flag;
};

// Records every record it is handed.
class CapturingLogger : public DDAbstractLogger {
 public:
  void logMessage(const DDLogMessagePtr& m) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(
        Line{std::string(m->message()), std::string(m->function().value_or("")), m->flag()});
  }
  std::string loggerName() const override { return "settings.test.capture"; }
  // Every record delivered so far (after flushing the dispatcher).
  std::vector<Line> lines() {
    DDLog::sharedInstance()->flushLog();
    std::lock_guard lock(mutex_);
    return lines_;
  }
  void clear() {
    DDLog::sharedInstance()->flushLog();
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<Line> lines_;
};

#ifdef CORESERVICECTL_PATH
// Runs coreservicectl with `args` and waits for it; returns its exit status (-1 when it did not
// exit normally).
inline int runTool(std::vector<std::string> args) {
  args.insert(args.begin(), CORESERVICECTL_PATH);
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

}  // namespace settingstest
