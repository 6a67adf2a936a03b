#pragma once
// Test support: captures what the shared module logs, as "<flag> <message>" lines.
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
  // Registers a capture with the shared dispatcher for as long as the returned handle lives.
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
    std::lock_guard lock(mutex_);
    lines_.push_back(std::string(flag) + " " + std::string(m->message()));
  }
  std::string loggerName() const override { return "sharedutils.test.capture"; }

  // Every line delivered so far (after the dispatcher has handed on all it was given).
  std::vector<std::string> lines() {
    DDLog::sharedInstance()->flushLog();
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // The lines since the last take().
  std::vector<std::string> take() {
    DDLog::sharedInstance()->flushLog();
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace sharedutils::testsupport
