#include "logging/journal/DDOSLogger.h"

#include <cerrno>

#include "logging/DDLogMessage.h"
#include "logging/DDTimestampText.h"
#include "logging/journal/DDJournalEntry.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/base/NoDestructor.h"

const std::shared_ptr<DDOSLogHandle>& DDOSLogHandle::defaultHandle() {
  static platform::base::NoDestructor<std::shared_ptr<DDOSLogHandle>> handle(
      std::make_shared<DDOSLogHandle>(std::nullopt, std::nullopt));
  return *handle;
}

const std::shared_ptr<DDOSLogger>& DDOSLogger::sharedInstance() {
  static platform::base::NoDestructor<std::shared_ptr<DDOSLogger>> instance(
      std::make_shared<DDOSLogger>());
  return *instance;
}

DDOSLogger::DDOSLogger() : DDOSLogger(std::nullopt, std::nullopt) {}

DDOSLogger::DDOSLogger(DDOSLogLevelMapperPtr logLevelMapper)
    : DDOSLogger(std::nullopt, std::nullopt, std::move(logLevelMapper)) {}

DDOSLogger::DDOSLogger(std::optional<std::string> subsystem, std::optional<std::string> category,
                       DDOSLogLevelMapperPtr logLevelMapper)
    : logLevelMapper_(std::move(logLevelMapper)) {
  if (!logLevelMapper_) {
    platform::diagnostics::contractViolation("Invalid parameter not satisfying: logLevelMapper");
    logLevelMapper_ = std::make_shared<DDOSLogLevelMapperDefault>();
  }
  if (subsystem.has_value() != category.has_value()) {
    platform::diagnostics::contractViolation(
        "Either both subsystem and category or neither should be nil.");
    return;
  }
  subsystem_ = std::move(subsystem);
  category_ = std::move(category);
}

const std::shared_ptr<DDOSLogHandle>& DDOSLogger::logger() {
  std::call_once(loggerOnce_, [this] {
    logger_ = subsystem_ ? std::make_shared<DDOSLogHandle>(subsystem_, category_)
                         : DDOSLogHandle::defaultHandle();
  });
  return logger_;
}

void DDOSLogger::logMessage(const DDLogMessagePtr& message) {
  if (message->fileName() == "DDASLLogCapture") return;
  std::optional<std::string> formatted;
  if (_logFormatter) {
    formatted = _logFormatter->formatLogMessage(*message);
    if (!formatted) return;
  }
  const DDOSLogType type = logLevelMapper_->osLogTypeForLogFlag(message->flag());
  const auto& handle = logger();
  if (!handle->isEnabled(type)) return;

  DDJournalEntry entry;
  entry.add("MESSAGE", formatted ? std::string_view(*formatted) : message->message());
  entry.add("PRIORITY", static_cast<unsigned long long>(ddJournalPriority(type)));
  entry.add("SYSLOG_IDENTIFIER", ddProcessName());
  entry.add("CODE_FILE", message->file());
  entry.add("CODE_LINE", static_cast<unsigned long long>(message->line()));
  if (auto function = message->function()) entry.add("CODE_FUNC", *function);
  entry.add("TID", message->threadID());
  if (handle->subsystem()) entry.add("SUBSYSTEM", *handle->subsystem());
  if (handle->category()) entry.add("CATEGORY", *handle->category());
  entry.add("DDLOG", "1");
  entry.send();
}
