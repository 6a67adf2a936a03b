#pragma once
// The standard log file manager: files named "<application name> <UTC time>.log" in one
// directory, listed newest first by the time in their names, created with retries, and deleted
// by count and by disk quota each time a new file is created or a limit changes.
//
// The manager has no lock of its own around its work: listing, sorting and creating run on the
// file logger's queue, deletion runs on the global concurrent queue, and everything they share
// (limits, the date formatter, the file-system object, the serializer) is safe for that.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logging/DDLogFileManager.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/Time.h"

class DDLogFileManagerDefault : public DDLogFileManager,
                                public std::enable_shared_from_this<DDLogFileManagerDefault> {
 public:
  using Date = std::chrono::system_clock::time_point;

  // The file date pattern: UTC, "yyyy-MM-dd--HH-mm-ss-SSS" (2024-05-01--09-03-07-045). Stateless,
  // so one instance is shared by every thread.
  class FileDateFormatter {
   public:
    std::string stringFromDate(Date date) const;
    // Only texts in exactly that pattern with valid fields parse.
    std::optional<Date> dateFromString(std::string_view text) const;
  };

  static constexpr std::uint64_t kDefaultMaximumNumberOfLogFiles = 5;
  static constexpr std::uint64_t kDefaultLogFilesDiskQuota = 20 * 1024 * 1024;
  static constexpr int kMaximumCreationErrors = 5;

  // An empty directory means the default logs directory.
  explicit DDLogFileManagerDefault(std::string logsDirectory = {});
  ~DDLogFileManagerDefault() override;

  bool respondsTo(Operation op) const override;

  std::uint64_t maximumNumberOfLogFiles() const override;
  void setMaximumNumberOfLogFiles(std::uint64_t count) override;
  std::uint64_t logFilesDiskQuota() const override;
  void setLogFilesDiskQuota(std::uint64_t bytes) override;

  void didAddToFileLogger(DDFileLogger& fileLogger) override;
  // Once a file logger has taken the manager: one deletion run in the background.
  void deleteOldFilesForConfigurationChange();
  // Deletes what the limits exclude. With `error`, the first failed deletion stops the run and
  // is handed over (false); without, every failure is reported and the run goes on.
  bool deleteOldLogFilesWithError(DDLogFileError* error);
  bool cleanupLogFilesWithError(DDLogFileError* error) override {
    return deleteOldLogFilesWithError(error);
  }

  // $LOGS_DIRECTORY when the service manager set it (the first entry when it lists several);
  // else /var/log/<process name> for uid 0; else $XDG_STATE_HOME (default ~/.local/state) +
  // "/Logs/<process name>"; the temporary directory + "/Logs/<process name>" without a home.
  static std::string defaultLogsDirectory();
  // The directory in use, created (with missing parents) on every call.
  std::string logsDirectory() override;

  // Whether `fileName` is one of this manager's: "<application name> " ... ".log".
  bool isLogFile(std::string_view fileName) const;
  const FileDateFormatter& logFileDateFormatter() const { return fileDateFormatter_; }
  // The date in a log file's name: its last blank-separated part, every ".log" removed, in the
  // file date pattern; none when it does not parse.
  static std::optional<Date> dateFromLogFileName(std::string_view fileName);

  std::vector<std::string> unsortedLogFilePaths() override;
  std::vector<std::string> unsortedLogFileNames() override;
  std::vector<std::shared_ptr<DDLogFileInfo>> unsortedLogFileInfos() override;
  std::vector<std::string> sortedLogFilePaths() override;
  std::vector<std::string> sortedLogFileNames() override;
  std::vector<std::shared_ptr<DDLogFileInfo>> sortedLogFileInfos() override;

  std::string newLogFileName() const;
  // Text to begin each new file with; none here (an extension point for subclasses).
  virtual std::optional<std::string> logFileHeader() const { return std::nullopt; }
  // The header ending with "\n", as bytes through the serializer; none without a header.
  std::optional<std::string> logFileHeaderData() const;
  std::optional<std::string> createNewLogFileWithError(DDLogFileError* error) override;

  // The info dictionary's identifier, else the process name, else "" (taken once per process).
  static const std::string& applicationName();

  std::shared_ptr<DDLogFileManagerFileSystem> fileManager() const override;
  void setFileManager(std::shared_ptr<DDLogFileManagerFileSystem> fileManager);
  std::shared_ptr<const DDFileLogMessageSerializer> logMessageSerializer() const override;
  void setLogMessageSerializer(std::shared_ptr<const DDFileLogMessageSerializer> serializer);

  // Waits until every deletion run started in the background so far has finished (for an
  // orderly shutdown, and for callers that must see the limits enforced). False on time-out.
  bool waitForBackgroundDeletions(
      platform::dispatch::Time deadline = platform::dispatch::Time::forever());

 private:
  void scheduleBackgroundDeletion();

  const FileDateFormatter fileDateFormatter_{};
  std::atomic<std::uint64_t> maximumNumberOfLogFiles_{kDefaultMaximumNumberOfLogFiles};
  std::atomic<std::uint64_t> logFilesDiskQuota_{kDefaultLogFilesDiskQuota};
  const std::string logsDirectory_;
  std::atomic<bool> wasAddedToLogger_{false};
  mutable std::mutex fieldsMutex_;
  std::shared_ptr<DDLogFileManagerFileSystem> fileManager_;
  std::shared_ptr<const DDFileLogMessageSerializer> logMessageSerializer_;
  platform::dispatch::Group backgroundDeletions_;
};
