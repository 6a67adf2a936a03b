#pragma once
// The system-log logger: writes each record to the systemd journal as one entry with real
// structured fields, so that `journalctl -o verbose` shows where it came from:
//
//   MESSAGE            the formatter's text, or the record's text without a formatter
//   PRIORITY           from the mapper's log type: error 3, info 6, debug 7, default 5
//   SYSLOG_IDENTIFIER  the process name
//   CODE_FILE, CODE_LINE, CODE_FUNC   the call site (CODE_FUNC only when the record has one)
//   TID                the thread that made the record
//   SUBSYSTEM, CATEGORY  when the logger was made with them
//   DDLOG=1            marks the entry as this library's, so that the capture of the process's
//                      own journal messages (DDASLLogCapture) never reads it back
//
// A record that the capture itself made (file name "DDASLLogCapture") is never written, and a
// formatter that suppresses a record suppresses the entry. Which types are written is a level of
// the handle (logger()): types whose priority is above its maximum priority are dropped; every
// type is written by default. Entries reach journald's socket directly; when there is no journald
// they are dropped without a word (the journal is the place failures would be told).

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "logging/DDAbstractLogger.h"
#include "logging/journal/DDOSLogLevelMapper.h"

// The handle entries are written through: the subsystem and category, and the types enabled.
class DDOSLogHandle {
 public:
  DDOSLogHandle(std::optional<std::string> subsystem, std::optional<std::string> category)
      : subsystem_(std::move(subsystem)), category_(std::move(category)) {}
  // The default handle of the process: no subsystem, no category.
  static const std::shared_ptr<DDOSLogHandle>& defaultHandle();

  const std::optional<std::string>& subsystem() const { return subsystem_; }
  const std::optional<std::string>& category() const { return category_; }
  bool isEnabled(DDOSLogType type) const { return ddJournalPriority(type) <= maximumPriority(); }
  // Entries of a priority above this are dropped (7, debug, writes everything).
  int maximumPriority() const { return maximumPriority_.load(std::memory_order_relaxed); }
  void setMaximumPriority(int priority) { maximumPriority_ = priority; }

 private:
  const std::optional<std::string> subsystem_;
  const std::optional<std::string> category_;
  std::atomic<int> maximumPriority_{7};
};

class DDOSLogger : public DDAbstractLogger {
 public:
  static constexpr std::string_view kLoggerName = "orvel.quillmark.osLogger";

  static const std::shared_ptr<DDOSLogger>& sharedInstance();
  // Without subsystem and category: writes through the default handle.
  DDOSLogger();
  // Subsystem and category must be given both or neither ("Either both subsystem and category or
  // neither should be nil."; the logger then writes through the default handle). A null mapper
  // is refused ("Invalid parameter not satisfying: logLevelMapper") and the default one used.
  DDOSLogger(std::optional<std::string> subsystem, std::optional<std::string> category,
             DDOSLogLevelMapperPtr logLevelMapper = std::make_shared<DDOSLogLevelMapperDefault>());
  explicit DDOSLogger(DDOSLogLevelMapperPtr logLevelMapper);

  const std::optional<std::string>& subsystem() const { return subsystem_; }
  const std::optional<std::string>& category() const { return category_; }
  const DDOSLogLevelMapperPtr& logLevelMapper() const { return logLevelMapper_; }
  // The handle, made on first use.
  const std::shared_ptr<DDOSLogHandle>& logger();

  std::string loggerName() const override { return std::string(kLoggerName); }
  void logMessage(const DDLogMessagePtr& message) override;

 private:
  std::optional<std::string> subsystem_;
  std::optional<std::string> category_;
  DDOSLogLevelMapperPtr logLevelMapper_;
  std::once_flag loggerOnce_;
  std::shared_ptr<DDOSLogHandle> logger_;
};
