#include "logging/journal/DDASLLogger.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "logging/DDLogMessage.h"
#include "logging/DDTimestampText.h"
#include "logging/journal/DDJournalEntry.h"
#include "platform/diagnostics/Diagnostics.h"
#include "platform/base/NoDestructor.h"

namespace {

std::atomic<bool>& sharedInstanceExists() {
  static std::atomic<bool> exists{false};
  return exists;
}

std::string effectiveUID() {
  std::string uid = std::to_string(static_cast<unsigned long>(::geteuid()));
  if (uid.size() > 15) platform::diagnostics::contractViolation("Formatted euid is too long.");
  return uid;
}

}  // namespace

DDASLLogger::DDASLLogger(Passkey) : readUID_(effectiveUID()) {}

const std::shared_ptr<DDASLLogger>& DDASLLogger::sharedInstance() {
  static platform::base::NoDestructor<std::shared_ptr<DDASLLogger>> instance([] {
    sharedInstanceExists() = true;
    return std::make_shared<DDASLLogger>(Passkey{});
  }());
  return *instance;
}

std::shared_ptr<DDASLLogger> DDASLLogger::make() {
  if (sharedInstanceExists()) return nullptr;
  return std::make_shared<DDASLLogger>(Passkey{});
}

std::string_view DDASLLogger::levelDigit(DDLogFlag flag) {
  if (flag == DDLogFlag::error) return "2";
  if (flag == DDLogFlag::warning) return "3";
  if (flag == DDLogFlag::info) return "4";
  return "5";
}

void DDASLLogger::logMessage(const DDLogMessagePtr& message) {
  if (message->fileName() == "DDASLLogCapture") return;
  std::optional<std::string> formatted;
  if (_logFormatter) {
    formatted = _logFormatter->formatLogMessage(*message);
    if (!formatted) return;
  }
  DDJournalEntry entry;
  entry.add("MESSAGE", formatted ? std::string_view(*formatted) : message->message());
  entry.add("PRIORITY", levelDigit(message->flag()));
  entry.add("SYSLOG_IDENTIFIER", ddProcessName());
  entry.add("READ_UID", readUID_);
  entry.add("DDLOG", "1");
  entry.send();
}
