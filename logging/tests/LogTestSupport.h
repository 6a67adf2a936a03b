#pragma once
// Helpers shared by the logging tests.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "logging/DDAbstractLogger.h"
#include "logging/DDLog.h"
#include "logging/DDLogFileManagerFileSystem.h"
#include "testsupport/Eventually.h"
#include "testsupport/FileContents.h"
#include "testsupport/Recorded.h"
#include "testsupport/TemporaryDirectory.h"

namespace logtest {

using namespace std::chrono_literals;
using Texts = std::vector<std::string>;

inline std::shared_ptr<DDLogMessage> record(
    std::string text, DDLogFlag flag = DDLogFlag::info,
    std::optional<DDLogMessage::Timestamp> when = std::nullopt) {
  return std::make_shared<DDLogMessage>(std::move(text), DDLogLevel::all, flag, 0, "/t/f.cpp", "fn",
                                        1, nullptr, 0, when);
}

using testsupport::eventually;
using testsupport::readFile;
using testsupport::writeFile;
using TempDir = testsupport::TemporaryDirectory;

// A list of texts that several threads may add to.
class Journal : public testsupport::Recorded<std::string> {
 public:
  Texts items() const { return all(); }
};

// Notes, in order, "add", "add-in-queue", "remove", "flush" and each message (formatted when a
// formatter is set), keeps the records, and counts calls made off its own queue.
class RecordingLogger : public DDAbstractLogger, public Journal {
 public:
  explicit RecordingLogger(unsigned offered = 0) : offered_(offered) {}
  unsigned offeredOperations() const override {
    return DDAbstractLogger::offeredOperations() | offered_;
  }
  void logMessage(const DDLogMessagePtr& message) override {
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    auto text = _logFormatter ? _logFormatter->formatLogMessage(*message)
                              : std::optional<std::string>(message->message());
    if (!text) return;
    note(std::move(*text));
    std::lock_guard lock(mutex_);
    records_.push_back(message);
  }
  void didAddLogger() override { note("add"); }
  void didAddLoggerInQueue(const platform::dispatch::QueuePtr& queue) override {
    note(queue == loggerQueue() ? "add-in-queue" : "add-in-wrong-queue");
  }
  void willRemoveLogger() override { note("remove"); }
  void flush() override { note("flush"); }

  std::vector<DDLogMessagePtr> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  Texts messages() const {
    Texts out;
    for (const auto& r : records())
      out.emplace_back(r->message());
    return out;
  }
  int offQueueCalls() const { return offQueue_.load(); }
  std::chrono::microseconds delay{0};  // set before the logger is added

 private:
  void note(std::string event) {
    if (!isOnInternalLoggerQueue()) offQueue_.fetch_add(1);
    add(std::move(event));
  }
  const unsigned offered_;
  mutable std::mutex mutex_;
  std::vector<DDLogMessagePtr> records_;
  std::atomic<int> offQueue_{0};
};

// The real file system, with faults on demand: a hook returns an errno to fail the call with, or
// 0 to make the real call. Extended attributes can be refused as on file systems without them.
class ScriptedFileSystem : public DDLogFileManagerFileSystem {
 public:
  std::function<int(const std::string&path)> beforeCreate, beforeRemove;
  std::function<void(const std::string& path)> beforeAttributes;
  std::atomic<bool> refuseUserXattrs{false};
  std::atomic<int> listings{0};
  Journal createAttempts;

  bool createFile(const std::string& path, std::string_view contents, DDLogFileError* e) override {
    createAttempts.add(path);
    if (const int err = beforeCreate ? beforeCreate(path) : 0) return fail(e, err, "open", path);
    return DDLogFileManagerFileSystem::createFile(path, contents, e);
  }
  bool removeItem(const std::string& path, DDLogFileError* e) override {
    if (const int err = beforeRemove ? beforeRemove(path) : 0) return fail(e, err, "unlink", path);
    return DDLogFileManagerFileSystem::removeItem(path, e);
  }
  std::optional<DDLogFileAttributes> attributesOfItem(const std::string& path,
                                                      DDLogFileError* e) override {
    if (beforeAttributes) beforeAttributes(path);
    return DDLogFileManagerFileSystem::attributesOfItem(path, e);
  }
  std::optional<std::vector<DirectoryEntry>> contentsOfDirectory(const std::string& path,
                                                                 DDLogFileError* e) override {
    ++listings;
    return DDLogFileManagerFileSystem::contentsOfDirectory(path, e);
  }
  ssize_t getExtendedAttribute(const std::string& path, const std::string& name, void* buffer,
                               std::size_t size) override {
    return refuseUserXattrs ? -ENOTSUP : Base::getExtendedAttribute(path, name, buffer, size);
  }
  int setExtendedAttribute(const std::string& path, const std::string& name, const void* value,
                           std::size_t size) override {
    return refuseUserXattrs ? -ENOTSUP : Base::setExtendedAttribute(path, name, value, size);
  }
  int removeExtendedAttribute(const std::string& path, const std::string& name) override {
    return refuseUserXattrs ? -ENOTSUP : Base::removeExtendedAttribute(path, name);
  }

 private:
  using Base = DDLogFileManagerFileSystem;
  static bool fail(DDLogFileError* e, int err, const char* operation, const std::string& path) {
    if (e) *e = DDLogFileError::fromErrno(err, operation, path);
    return false;
  }
};

// Runs the tests of this executable that match `filter` in a child process, with `env` added
// to this process's environment ("NAME=value"), standard output written to `stdoutPath`
// (discarded by default) and standard error to `stderrPath`. Returns the child's wait status, or -1
// when it could not be run. A child test tells that it is one by the variable DDTEST_CHILD=1, which
// this sets.
inline int runSelf(const std::string& filter, const std::vector<std::string>& env,
                   const std::string& stderrPath, pid_t* childPid = nullptr,
                   const std::string& stdoutPath = "/dev/null") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> strings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    bool replaced = false;
    for (const auto& mine : env) {
      const auto eq = mine.find('=');
      if (entry.substr(0, entry.find('=')) == std::string_view(mine).substr(0, eq)) replaced = true;
    }
    if (!replaced) strings.emplace_back(entry);
  }
  strings.insert(strings.end(), env.begin(), env.end());
  strings.emplace_back("DDTEST_CHILD=1");
  std::vector<char*> envp;
  for (auto& e : strings)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  std::error_code ec;
  std::string self = std::filesystem::read_symlink("/proc/self/exe", ec),
              filterArg = "--gtest_filter=" + filter;
  char* argv[] = {self.data(), filterArg.data(), nullptr};
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  if (childPid) *childPid = pid;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

inline bool isChildRun() {
  const char* child = std::getenv("DDTEST_CHILD");
  return child != nullptr && std::string_view(child) == "1";
}

}  // namespace logtest
