#pragma once
// Test support: captures what the shared module logs, as "<flag> <message>" lines, or with the
// call site the record names as "<flag> <file name> <function>: <message>".
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "logging/DDAbstractLogger.h"
#include "logging/DDLog.h"
#include "logging/DDLogMessage.h"

namespace sharedutils::testsupport {

class LogCapture : public DDAbstractLogger {
 public:
  // Registers a capture with the shared dispatcher; it stays registered until detached.
  static std::shared_ptr<LogCapture> attach() {
    auto capture = std::make_shared<LogCapture>();
    DDLog::sharedInstance()->addLogger(capture);
    return capture;
  }
  void detach() { DDLog::sharedInstance()->removeLogger(shared_from_this()); }

  void logMessage(const DDLogMessagePtr& m) override {
    const char* flag = m->flag() == DDLogFlag::error     ? "error"
                       : m->flag() == DDLogFlag::warning ? "warning"
                       : m->flag() == DDLogFlag::info    ? "info"
                       : m->flag() == DDLogFlag::debug   ? "debug"
                                                         : "verbose";
    Entry entry{std::string(flag) + " " + std::string(m->message()),
                std::string(flag) + " " + std::string(m->fileName()) + " " +
                    std::string(m->function().value_or("")) + ": " + std::string(m->message())};
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::string loggerName() const override { return "sharedutils.test.capture"; }

  // Every line delivered so far (after the dispatcher has handed on all it was given).
  std::vector<std::string> lines() {
    DDLog::sharedInstance()->flushLog();
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& e : entries_)
      out.push_back(e.line);
    return out;
  }
  // The lines since the last take().
  std::vector<std::string> take() {
    DDLog::sharedInstance()->flushLog();
    std::vector<std::string> out;
    for (auto& e : takeEntries())
      out.push_back(std::move(e.line));
    return out;
  }
  // The lines with their call sites since the last take, after flushing the dispatcher.
  std::vector<std::string> takeWithCallSites() {
    DDLog::sharedInstance()->flushLog();
    return delivered();
  }
  // The same without waiting for records still queued: what a synchronous log call must already
  // have delivered when it returned.
  std::vector<std::string> delivered() {
    std::vector<std::string> out;
    for (auto& e : takeEntries())
      out.push_back(std::move(e.withCallSite));
    return out;
  }

 private:
  struct Entry {
    std::string line;
    std::string withCallSite;
  };
  std::vector<Entry> takeEntries() {
    std::lock_guard lock(mutex_);
    return std::exchange(entries_, {});
  }

  std::mutex mutex_;
  std::vector<Entry> entries_;
};

}  // namespace sharedutils::testsupport
