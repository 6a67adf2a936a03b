#pragma once
// The older-system-log logger: writes each record's text to the systemd journal with the keys
// of the older system log service, for readers that select by them:
//
//   MESSAGE            the formatter's text, or the record's text without a formatter
//   PRIORITY           the level digit: error "2", warning "3", info "4", anything else "5"
//   SYSLOG_IDENTIFIER  the process name
//   READ_UID           the effective user id, in decimal
//   DDLOG=1            this library's mark: DDASLLogCapture skips such entries
//
// A record that the capture made (file name "DDASLLogCapture") is never written, so captured
// messages do not loop. One per process: the shared instance, or the one make() returns while
// there is no shared instance.

#include <memory>
#include <string>
#include <string_view>

#include "logging/DDAbstractLogger.h"

class DDASLLogger final : public DDAbstractLogger {
  struct Passkey {};

 public:
  static constexpr std::string_view kLoggerName = "orvel.quillmark.aslLogger";

  static const std::shared_ptr<DDASLLogger>& sharedInstance();
  // An instance, or none once the shared one exists.
  static std::shared_ptr<DDASLLogger> make();
  explicit DDASLLogger(Passkey);

  std::string loggerName() const override { return std::string(kLoggerName); }
  void logMessage(const DDLogMessagePtr& message) override;

  // The level digit of a flag.
  static std::string_view levelDigit(DDLogFlag flag);

 private:
  const std::string readUID_;
};
