#pragma once
// The logger that writes records to rolling log files: each record becomes one line appended to
// the current file; the file is rolled (closed, marked archived, handed back to the manager) when
// it reaches its size or its age, when it is deleted, renamed or its file system goes away under
// the logger, when asked to, and when the logger is removed from the dispatcher.
//
// Threads. All file state lives on the logger's own queue; every lt_ operation runs only there
// (elsewhere it is reported as a contract violation and refused). Public accessors reach that
// state through the global logging queue and then the logger queue, synchronously for reads and
// asynchronously for changes, so a change made right after a log call applies after the records
// queued before it. Calling them from either of those queues is a contract violation and is
// refused (a getter then answers from the last stored value).
//
// Ownership. A file logger must be owned by a std::shared_ptr: its age timer, its file watcher
// and its asynchronous settings hold it weakly or strongly through that pointer.
//
// Failures never leave the logger: each is one line on the diagnostic channel and the logger
// goes on with the next record.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "logging/DDAbstractLogger.h"
#include "logging/DDCrashFlush.h"
#include "logging/DDFileLogMessageSerializer.h"
#include "logging/DDLogFileInfo.h"
#include "logging/DDLogFileManager.h"
#include "platform/base/FileDescriptor.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"

class DDBufferedProxy;

class DDFileLogger : public DDAbstractLogger {
 public:
  static constexpr std::uint64_t kDefaultMaximumFileSize = 1024 * 1024;
  static constexpr double kDefaultRollingFrequency = 60 * 60 * 24;
  static constexpr std::string_view kFileLoggerName = "orvel.quillmark.fileLogger";
  // After a file could not be created or opened, the next attempt waits this long; records
  // arriving meanwhile are counted and dropped, and the first line written once a file can be
  // had again says how many were lost.
  static constexpr std::chrono::seconds kOpenRetryInterval{1};
  // Retired argument-less hooks a subclass may still offer (see retiredHooks()).
  enum RetiredHook : unsigned { kRetiredWillLogMessage = 1, kRetiredDidLogMessage = 2 };

  // Over a new DDLogFileManagerDefault in the default logs directory.
  DDFileLogger();
  // Over `manager`; completion work runs on `completionQueue`, by default the global concurrent
  // queue of default priority.
  explicit DDFileLogger(std::shared_ptr<DDLogFileManager> manager,
                        platform::dispatch::QueuePtr completionQueue = nullptr);
  ~DDFileLogger() override;

  // ---- logger interface ----
  void logMessage(const DDLogMessagePtr& message) override;
  // Forces written data to storage.
  void flush() override;
  // Rolls the current file: removing the logger closes and archives its file.
  void willRemoveLogger() override;
  unsigned offeredOperations() const override {
    return kLoggerQueue | kLoggerName | kFlush | kWillRemoveLogger;
  }
  std::string loggerName() const override { return std::string(kFileLoggerName); }

  // ---- settings ----
  // Roll when the file reaches this many bytes; 0 turns size rolling off.
  std::uint64_t maximumFileSize();
  void setMaximumFileSize(std::uint64_t bytes);
  // Roll when the file is this many seconds old; 0 or less turns age rolling off.
  double rollingFrequency();
  void setRollingFrequency(double seconds);
  bool doNotReuseLogFiles() const { return doNotReuseLogFiles_.load(); }
  void setDoNotReuseLogFiles(bool value) { doNotReuseLogFiles_ = value; }
  bool automaticallyAppendNewlineForCustomFormatters() const {
    return automaticallyAppendNewline_.load();
  }
  void setAutomaticallyAppendNewlineForCustomFormatters(bool value) {
    automaticallyAppendNewline_ = value;
  }
  const std::shared_ptr<DDLogFileManager>& logFileManager() const { return logFileManager_; }
  const platform::dispatch::QueuePtr& completionQueue() const { return completionQueue_; }

  // The file being written, chosen (or created) first when there is none yet; null when none
  // could be had.
  std::shared_ptr<DDLogFileInfo> currentLogFileInfo();

  void rollLogFile() { rollLogFileWithCompletionBlock(nullptr); }
  // Closes the current file now; `completion` then runs on the completion queue.
  void rollLogFileWithCompletionBlock(std::function<void()> completion);

  // Writes raw bytes to the current file the way a record's bytes are written.
  void logData(std::string_view data);

  // Hooks around each write, with the current file. The first does nothing; the second runs
  // the size check.
  virtual void willLogMessage(DDLogFileInfo& logFileInfo);
  virtual void didLogMessage(DDLogFileInfo& logFileInfo);
  // The retired argument-less forms: called instead of the two above when a subclass says it
  // offers them; calls from outside are accepted and ignored. Like whether the manager offers
  // locking, this is asked once per process, of the first file logger that writes, and the
  // answers hold for every file logger of the process.
  virtual unsigned retiredHooks() const { return 0; }
  virtual void willLogMessage() {}
  virtual void didLogMessage() {}
  // Extension point: whether a file found at start-up must be archived rather than resumed.
  virtual bool shouldArchiveRecentLogFileInfo(const DDLogFileInfo& logFileInfo);

  std::shared_ptr<DDBufferedProxy> wrapWithBuffer();
  std::shared_ptr<DDFileLogger> unwrapFromBuffer();

  // ---- the inner work, on the logger queue only ----
  void lt_cleanup();
  void lt_scheduleTimerToRollLogFileDueToAge();
  void lt_rollLogFileNow();
  void lt_maybeRollLogFileDueToAge();
  void lt_maybeRollLogFileDueToSize();
  bool lt_shouldLogFileBeArchived(const DDLogFileInfo& logFileInfo);
  std::shared_ptr<DDLogFileInfo> lt_currentLogFileInfo();
  bool lt_shouldUseLogFile(const std::shared_ptr<DDLogFileInfo>& logFileInfo, bool isResuming);
  void lt_monitorCurrentLogFileForExternalChanges();
  // The open descriptor of the current file (opened first when needed), or -1.
  int lt_currentLogFileHandle();
  void lt_flush();
  void lt_logData(std::string_view data);
  std::shared_ptr<const DDFileLogMessageSerializer> lt_logFileSerializer();
  // The bytes for one record (empty: nothing to write).
  std::string lt_dataForMessage(const DDLogMessage& message);
  // The same bytes appended to `out`; false, with `out` unchanged, when there is nothing to
  // write. What the write buffer and the logger itself use, so that a line is built in a buffer
  // that is reused rather than allocated per record.
  bool lt_appendDataForMessage(const DDLogMessage& message, std::string& out);

  // What this logger shows the crash handler (DDCrashFlush.h); null when the table was full.
  DDCrashFlush::Slot* crashSlot() const { return crashSlot_; }

  // The process-wide count of exceptions caught while writing.
  static int exceptionCount();

 private:
  std::shared_ptr<DDFileLogger> sharedSelf();
  std::weak_ptr<DDFileLogger> weakSelf();
  // Reports `operation` run off the logger queue; true when it may go on.
  bool onLoggerQueueOrReport(const char* operation) const;
  // Reports a public accessor called from either queue; true when it may go on.
  bool offBothQueuesOrReport(const char* operation) const;
  // Runs `work` on the logger queue: inline when already there, else through the global
  // logging queue, synchronously.
  void runSyncOnLoggerQueue(const char* operation, const std::function<void()>& work);
  void runAsyncOnLoggerQueue(const char* operation, std::function<void()> work);
  // Appends `data` to the open file; false when it did not all get in (what got in of a record
  // cut short is truncated away).
  bool lt_writeData(std::string_view data);
  // Chooses the current file (creating one when needed), opens it, arms the age timer and the
  // watch for external changes; the descriptor, or -1.
  int lt_openCurrentLogFile();
  // Whether the open file still has the path it was opened by (checked once the watch is armed:
  // a rename or deletion before that raises no event).
  bool lt_currentFileIsStillAtItsPath() const;
  void lt_closeCurrentFile();
  void notifyManagerOfArchive(const std::string& path, bool wasRolled);
  bool appendDataForMessage(const DDLogMessage& message, std::string& out);

  const std::shared_ptr<DDLogFileManager> logFileManager_;
  const platform::dispatch::QueuePtr completionQueue_;
  DDCrashFlush::Slot* const crashSlot_;

  // Logger-queue state.
  std::shared_ptr<DDLogFileInfo> currentLogFileInfo_;
  platform::base::FileDescriptor currentLogFileHandle_;
  // The file's size as this logger knows it: read when the file is opened (and before each
  // write to a file shared under a lock), then counted up by what it writes; -1 when unknown.
  long long currentOffset_ = -1;
  // Bytes written to the open file since its storage was last asked to catch up (see
  // lt_writeData).
  std::uint64_t bytesSinceWriteback_ = 0;
  std::shared_ptr<platform::dispatch::FileSource> currentLogFileVnode_;
  std::shared_ptr<platform::dispatch::TimerSource> rollingTimer_;
  // While no file can be had: when the next attempt may be made.
  std::optional<std::chrono::steady_clock::time_point> nextOpenAttempt_;
  // Records dropped since the last successful write: no file could be opened, or the write
  // failed. Reported in the file with the next record that gets in.
  std::uint64_t lostRecords_ = 0;
  // The line being written, reused from record to record.
  std::string line_;

  // Settings: stored on the logger queue, read there and by the getters.
  std::atomic<std::uint64_t> maximumFileSize_{kDefaultMaximumFileSize};
  std::atomic<double> rollingFrequency_{kDefaultRollingFrequency};
  std::atomic<bool> doNotReuseLogFiles_{false};
  std::atomic<bool> automaticallyAppendNewline_{true};
};
