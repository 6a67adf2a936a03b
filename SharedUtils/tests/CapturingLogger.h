#pragma once
// A logger for the shared module's tests: records every record it is handed as
// "<flag> <function>: <message>", so a test can compare whole lines.
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "logging/DDAbstractLogger.h"
#include "logging/DDLog.h"
#include "logging/DDLogMessage.h"

namespace sharedutils::testing {

class CapturingLogger : public DDAbstractLogger {
 public:
  void logMessage(const DDLogMessagePtr& m) override {
    const char* flag = m->flag() == DDLogFlag::error     ? "error"
                       : m->flag() == DDLogFlag::warning ? "warning"
                       : m->flag() == DDLogFlag::info    ? "info"
                       : m->flag() == DDLogFlag::debug   ? "debug"
                                                         : "other";
    std::lock_guard lock(mutex_);
    lines_.push_back(std::string(flag) + " " + std::string(m->function().value_or("")) + ": " +
                     std::string(m->message()));
  }
  std::string loggerName() const override { return "sharedutils.test.capture"; }
  // Every record delivered since the last call (after flushing the dispatcher).
  std::vector<std::string> take() {
    DDLog::sharedInstance()->flushLog();
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace sharedutils::testing
