#include "logging/DDFileLogger.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <thread>

#include "logging/DDBufferedProxy.h"
#include "logging/DDLog.h"
#include "logging/DDLogFileFormatterDefault.h"
#include "logging/DDLogFileManagerDefault.h"
#include "platform/base/ErrnoText.h"
#include "platform/base/NoDestructor.h"
#include "platform/diagnostics/Diagnostics.h"

namespace {

using platform::diagnostics::contractViolation;
using platform::diagnostics::reportf;

std::atomic<int>& exceptionCounter() {
  static std::atomic<int> count{0};
  return count;
}

constexpr int kMaximumReportedExceptions = 10;
constexpr std::size_t kKeptLineCapacity = 64 * 1024;

// Taken once per process, at the first write of any file logger, and kept for all of them:
// whether that logger's hooks are the retired argument-less ones and whether its manager offers
// locking. Asking on every write would cost a virtual call per record for answers that do not
// change within a run.
struct ProcessAnswers {
  bool retiredWillLog = false;
  bool retiredDidLog = false;
  bool managerOffersLocking = false;
};

const ProcessAnswers& processAnswers(const DDFileLogger& firstWriter) {
  static const ProcessAnswers answers = [&] {
    ProcessAnswers a;
    const unsigned retired = firstWriter.retiredHooks();
    a.retiredWillLog = (retired & DDFileLogger::kRetiredWillLogMessage) != 0;
    a.retiredDidLog = (retired & DDFileLogger::kRetiredDidLogMessage) != 0;
    a.managerOffersLocking =
        firstWriter.logFileManager()->respondsTo(DDLogFileManager::Operation::ShouldLockLogFile);
    return a;
  }();
  return answers;
}
// The largest delay a timer is armed with, in seconds (the nanoseconds still fit 64 bits).
constexpr double kMaximumTimerSeconds = 9223372036.0;

std::string errorDescription(int err, const char* operation, const std::string& path) {
  return DDLogFileError::fromErrno(err, operation, path).description;
}

// Holds an exclusive advisory lock on a descriptor for one write, released on every path out
// (an exception included).
class AdvisoryLock {
 public:
  explicit AdvisoryLock(int fd) : fd_(fd) {
    while (::flock(fd_, LOCK_EX) != 0) {
      const int err = errno;
      reportf("DDFileLogger: Could not lock logfile, retrying in 1ms: %s (%d)",
              platform::base::errnoText(err).c_str(), err);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~AdvisoryLock() { ::flock(fd_, LOCK_UN); }
  AdvisoryLock(const AdvisoryLock&) = delete;
  AdvisoryLock& operator=(const AdvisoryLock&) = delete;

 private:
  int fd_;
};

}  // namespace

// ---- construction and teardown ----

DDFileLogger::DDFileLogger() : DDFileLogger(std::make_shared<DDLogFileManagerDefault>()) {}

DDFileLogger::DDFileLogger(std::shared_ptr<DDLogFileManager> manager,
                           platform::dispatch::QueuePtr completionQueue)
    : logFileManager_(manager ? std::move(manager) : std::make_shared<DDLogFileManagerDefault>()),
      completionQueue_(completionQueue
                           ? std::move(completionQueue)
                           : platform::dispatch::Queue::global(platform::dispatch::QoS::Default)),
      crashSlot_(DDCrashFlush::acquireSlot()) {
  // Set directly: nobody can see the logger yet, so there is no formatter hook to run.
  _logFormatter = std::make_shared<DDLogFileFormatterDefault>();
  if (logFileManager_->respondsTo(DDLogFileManager::Operation::DidAddToFileLogger)) {
    logFileManager_->didAddToFileLogger(*this);
  }
}

DDFileLogger::~DDFileLogger() {
  // The file is forced to storage and closed on the logger queue, where all its state lives;
  // it is not archived, so the next run may resume it.
  if (isOnInternalLoggerQueue()) {
    lt_cleanup();
  } else {
    loggerQueue()->sync([this] { lt_cleanup(); });
  }
  DDCrashFlush::releaseSlot(crashSlot_);
}

void DDFileLogger::lt_cleanup() {
  if (!onLoggerQueueOrReport("lt_cleanup")) return;
  if (rollingTimer_) {
    rollingTimer_->cancel();
    rollingTimer_.reset();
  }
  lt_closeCurrentFile();
}

std::shared_ptr<DDFileLogger> DDFileLogger::sharedSelf() {
  return std::static_pointer_cast<DDFileLogger>(weak_from_this().lock());
}

std::weak_ptr<DDFileLogger> DDFileLogger::weakSelf() {
  return sharedSelf();
}

// ---- queue discipline ----

bool DDFileLogger::onLoggerQueueOrReport(const char* operation) const {
  if (isOnInternalLoggerQueue()) return true;
  contractViolation(std::string(operation) + " must only be called on the internal logger queue!");
  return false;
}

bool DDFileLogger::offBothQueuesOrReport(const char* operation) const {
  if (isOnGlobalLoggingQueue()) {
    contractViolation(std::string(operation) + " must not be called on the global logging queue!");
    return false;
  }
  if (isOnInternalLoggerQueue()) {
    contractViolation("MUST access ivar directly, NOT via self.* syntax.");
    return false;
  }
  return true;
}

void DDFileLogger::runSyncOnLoggerQueue(const char* operation, const std::function<void()>& work) {
  if (isOnInternalLoggerQueue()) {
    work();
    return;
  }
  if (isOnGlobalLoggingQueue()) {
    contractViolation(std::string(operation) + " must not be called on the global logging queue!");
    return;
  }
  auto queue = loggerQueue();
  DDLog::loggingQueue()->sync([&] { queue->sync([&] { work(); }); });
}

void DDFileLogger::runAsyncOnLoggerQueue(const char* operation, std::function<void()> work) {
  if (!offBothQueuesOrReport(operation)) return;
  auto self = sharedSelf();
  if (!self) {
    // Not owned by a shared_ptr: nothing could keep it alive until later, so do it now.
    auto queue = loggerQueue();
    DDLog::loggingQueue()->sync([&] { queue->sync([&] { work(); }); });
    return;
  }
  auto queue = loggerQueue();
  DDLog::loggingQueue()->async([self = std::move(self), queue, work = std::move(work)]() mutable {
    queue->async([self = std::move(self), work = std::move(work)] { work(); });
  });
}

// ---- settings ----

std::uint64_t DDFileLogger::maximumFileSize() {
  if (!offBothQueuesOrReport("maximumFileSize")) return maximumFileSize_.load();
  std::uint64_t value = 0;
  auto queue = loggerQueue();
  DDLog::loggingQueue()->sync([&] { queue->sync([&] { value = maximumFileSize_.load(); }); });
  return value;
}

void DDFileLogger::setMaximumFileSize(std::uint64_t bytes) {
  runAsyncOnLoggerQueue("setMaximumFileSize", [this, bytes] {
    maximumFileSize_ = bytes;
    if (currentLogFileHandle_.valid()) lt_maybeRollLogFileDueToSize();
  });
}

double DDFileLogger::rollingFrequency() {
  if (!offBothQueuesOrReport("rollingFrequency")) return rollingFrequency_.load();
  double value = 0;
  auto queue = loggerQueue();
  DDLog::loggingQueue()->sync([&] { queue->sync([&] { value = rollingFrequency_.load(); }); });
  return value;
}

void DDFileLogger::setRollingFrequency(double seconds) {
  // A frequency that is not a number turns age rolling off, as 0 does. Kept, it would pass as
  // "on" where the timer is armed and as "off" where the age is checked: the timer would fire at
  // once, again and again, spinning the logger queue.
  if (std::isnan(seconds)) seconds = 0;
  runAsyncOnLoggerQueue("setRollingFrequency", [this, seconds] {
    rollingFrequency_ = seconds;
    if (currentLogFileHandle_.valid()) lt_maybeRollLogFileDueToAge();
  });
}

std::shared_ptr<DDLogFileInfo> DDFileLogger::currentLogFileInfo() {
  if (!offBothQueuesOrReport("currentLogFileInfo")) {
    return isOnInternalLoggerQueue() ? currentLogFileInfo_ : nullptr;
  }
  std::shared_ptr<DDLogFileInfo> info;
  auto queue = loggerQueue();
  DDLog::loggingQueue()->sync([&] { queue->sync([&] { info = lt_currentLogFileInfo(); }); });
  return info;
}

// ---- rolling ----

void DDFileLogger::rollLogFileWithCompletionBlock(std::function<void()> completion) {
  auto work = [this, completion = std::move(completion)] {
    lt_rollLogFileNow();
    if (completion) completionQueue_->async(completion);
  };
  if (isOnInternalLoggerQueue()) {
    work();
    return;
  }
  if (isOnGlobalLoggingQueue()) {
    contractViolation(
        "rollLogFileWithCompletionBlock must not be called on the global logging queue!");
    return;
  }
  auto self = sharedSelf();
  auto queue = loggerQueue();
  if (!self) {
    DDLog::loggingQueue()->sync([&] { queue->sync([&] { work(); }); });
    return;
  }
  DDLog::loggingQueue()->async([self = std::move(self), queue, work = std::move(work)]() mutable {
    queue->async([self = std::move(self), work = std::move(work)] { work(); });
  });
}

void DDFileLogger::willRemoveLogger() {
  if (isOnInternalLoggerQueue()) {
    lt_rollLogFileNow();
  } else {
    rollLogFile();
  }
}

void DDFileLogger::lt_closeCurrentFile() {
  // The watcher goes first: it must not outlive the descriptor it watches.
  if (currentLogFileVnode_) {
    currentLogFileVnode_->cancel();
    currentLogFileVnode_.reset();
  }
  if (!currentLogFileHandle_) return;
  {
    // The crash handler must never write to a descriptor about to be closed (and perhaps
    // reused for something else).
    DDCrashFlush::Section section(crashSlot_);
    if (crashSlot_) crashSlot_->fd.store(-1, std::memory_order_release);
  }
  const std::string path = currentLogFileInfo_ ? currentLogFileInfo_->filePath() : std::string();
  if (::fsync(currentLogFileHandle_.get()) != 0) {
    reportf("DDFileLogger: Failed to synchronize file: %s",
            errorDescription(errno, "fsync", path).c_str());
  }
  if (const int err = currentLogFileHandle_.close(); err != 0) {
    reportf("DDFileLogger: Failed to close file: %s", errorDescription(err, "close", path).c_str());
  }
  currentOffset_ = -1;
}

void DDFileLogger::lt_rollLogFileNow() {
  if (!onLoggerQueueOrReport("lt_rollLogFileNow")) return;
  if (!currentLogFileHandle_) return;
  lt_closeCurrentFile();
  if (currentLogFileInfo_) {
    currentLogFileInfo_->setIsArchived(true);
    notifyManagerOfArchive(currentLogFileInfo_->filePath(), true);
  }
  currentLogFileInfo_.reset();
  if (rollingTimer_) {
    rollingTimer_->cancel();
    rollingTimer_.reset();
  }
}

void DDFileLogger::notifyManagerOfArchive(const std::string& path, bool wasRolled) {
  using Op = DDLogFileManager::Operation;
  auto manager = logFileManager_;
  if (manager->respondsTo(Op::DidArchiveLogFileWasRolled)) {
    completionQueue_->async(
        [manager, path, wasRolled] { manager->didArchiveLogFile(path, wasRolled); });
  } else if (wasRolled && manager->respondsTo(Op::DidRollAndArchiveLogFile)) {
    completionQueue_->async([manager, path] { manager->didRollAndArchiveLogFile(path); });
  } else if (!wasRolled && manager->respondsTo(Op::DidArchiveLogFile)) {
    completionQueue_->async([manager, path] { manager->didArchiveLogFile(path); });
  }
}

void DDFileLogger::lt_scheduleTimerToRollLogFileDueToAge() {
  if (!onLoggerQueueOrReport("lt_scheduleTimerToRollLogFileDueToAge")) return;
  if (rollingTimer_) {
    rollingTimer_->cancel();
    rollingTimer_.reset();
  }
  const double frequency = rollingFrequency_.load();
  if (!currentLogFileInfo_ || frequency <= 0) return;

  // Seconds from now to the rolling date (creation date plus frequency), computed in floating
  // point so that a huge frequency cannot overflow, then capped so the nanoseconds fit.
  const auto created =
      currentLogFileInfo_->creationDate().value_or(std::chrono::system_clock::now());
  double seconds =
      std::chrono::duration<double>(created - std::chrono::system_clock::now()).count() + frequency;
  if (!(seconds > 0)) seconds = 0;
  if (seconds > kMaximumTimerSeconds) seconds = kMaximumTimerSeconds;
  const auto delay = std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9));

  auto timer = platform::dispatch::TimerSource::make(loggerQueue());
  timer->setEventHandler([weak = weakSelf(), raw = timer.get()] {
    auto self = weak.lock();
    // A timer replaced or cancelled meanwhile has nothing more to say.
    if (self && self->rollingTimer_.get() == raw) self->lt_maybeRollLogFileDueToAge();
  });
  timer->schedule(platform::dispatch::Time::after(delay), std::chrono::nanoseconds(0),
                  std::chrono::seconds(1));
  rollingTimer_ = std::move(timer);
  rollingTimer_->resume();
}

void DDFileLogger::lt_maybeRollLogFileDueToAge() {
  if (!onLoggerQueueOrReport("lt_maybeRollLogFileDueToAge")) return;
  const double frequency = rollingFrequency_.load();
  if (frequency > 0 && currentLogFileInfo_ && currentLogFileInfo_->age() + 1.0 >= frequency) {
    lt_rollLogFileNow();
  } else {
    lt_scheduleTimerToRollLogFileDueToAge();
  }
}

void DDFileLogger::lt_maybeRollLogFileDueToSize() {
  if (!onLoggerQueueOrReport("lt_maybeRollLogFileDueToSize")) return;
  const std::uint64_t maximum = maximumFileSize_.load();
  if (!currentLogFileHandle_ || maximum == 0) return;
  long long offset = currentOffset_;
  if (offset < 0) {
    // The offset is normally known from the last seek and write; read it when it is not.
    offset = ::lseek(currentLogFileHandle_.get(), 0, SEEK_CUR);
    if (offset < 0) {
      reportf("DDFileLogger: Failed to get offset: %s",
              errorDescription(errno, "lseek",
                               currentLogFileInfo_ ? currentLogFileInfo_->filePath() : "")
                  .c_str());
      return;
    }
    currentOffset_ = offset;
  }
  if (static_cast<std::uint64_t>(offset) >= maximum) lt_rollLogFileNow();
}

// ---- choosing and opening the current file ----

bool DDFileLogger::shouldArchiveRecentLogFileInfo(const DDLogFileInfo&) {
  return false;
}

bool DDFileLogger::lt_shouldLogFileBeArchived(const DDLogFileInfo& info) {
  if (!onLoggerQueueOrReport("lt_shouldLogFileBeArchived")) return false;
  if (shouldArchiveRecentLogFileInfo(info)) return true;
  const std::uint64_t maximum = maximumFileSize_.load();
  if (maximum > 0 && info.fileSize() >= maximum) return true;
  const double frequency = rollingFrequency_.load();
  return frequency > 0 && info.age() >= frequency;
}

bool DDFileLogger::lt_shouldUseLogFile(const std::shared_ptr<DDLogFileInfo>& info,
                                       bool isResuming) {
  if (!onLoggerQueueOrReport("lt_shouldUseLogFile")) return false;
  if (!info) {
    contractViolation("Invalid parameter not satisfying: logFileInfo");
    return false;
  }
  // Finished files and links are never written. Nor is anything that is not a plain file (a
  // FIFO or a device given a log file's name), nor a file that is gone.
  if (info->isArchived() || info->isSymlink()) return false;
  if (info->fileAttributes().type != DDLogFileAttributes::Type::Regular) return false;
  if (!isResuming) return true;
  if (!doNotReuseLogFiles_.load() && !lt_shouldLogFileBeArchived(*info)) return true;
  info->setIsArchived(true);
  notifyManagerOfArchive(info->filePath(), false);
  return false;
}

std::shared_ptr<DDLogFileInfo> DDFileLogger::lt_currentLogFileInfo() {
  if (!onLoggerQueueOrReport("lt_currentLogFileInfo")) return nullptr;
  std::shared_ptr<DDLogFileInfo> candidate = currentLogFileInfo_;
  bool resuming = false;
  if (!candidate) {
    auto infos = logFileManager_->sortedLogFileInfos();
    if (!infos.empty()) {
      candidate = std::move(infos.front());
      resuming = true;
    }
  }
  if (candidate && lt_shouldUseLogFile(candidate, resuming)) {
    currentLogFileInfo_ = std::move(candidate);
    return currentLogFileInfo_;
  }

  using Op = DDLogFileManager::Operation;
  std::optional<std::string> path;
  if (logFileManager_->respondsTo(Op::CreateNewLogFileWithError)) {
    DDLogFileError error;
    path = logFileManager_->createNewLogFileWithError(&error);
    if (!path)
      reportf("DDFileLogger: Failed to create new log file: %s", error.description.c_str());
  } else if (logFileManager_->respondsTo(Op::CreateNewLogFile)) {
    path = logFileManager_->createNewLogFile();
    if (!path) platform::diagnostics::report("DDFileLogger: Failed to create new log file");
  } else {
    contractViolation(
        "Invalid log file manager! Responds neither to `-createNewLogFileWithError:` nor "
        "`-createNewLogFile`!");
  }
  if (!path) {
    currentLogFileInfo_.reset();
    return nullptr;
  }
  std::shared_ptr<DDLogFileManagerFileSystem> fs;
  if (logFileManager_->respondsTo(Op::FileManager)) fs = logFileManager_->fileManager();
  if (!fs) fs = DDLogFileManagerFileSystem::defaultManager();
  currentLogFileInfo_ = std::make_shared<DDLogFileInfo>(*path, std::move(fs));
  return currentLogFileInfo_;
}

int DDFileLogger::lt_currentLogFileHandle() {
  if (!onLoggerQueueOrReport("lt_currentLogFileHandle")) return -1;
  if (currentLogFileHandle_) return currentLogFileHandle_.get();
  // After a failed attempt the next one waits a while: records arriving meanwhile are dropped
  // (and counted) instead of each listing the directory and trying to create files again.
  const auto now = std::chrono::steady_clock::now();
  if (nextOpenAttempt_ && now < *nextOpenAttempt_) return -1;
  int fd = lt_openCurrentLogFile();
  if (fd >= 0 && !lt_currentFileIsStillAtItsPath()) {
    // Moved or deleted between opening and watching: the watch cannot have seen it. That is an
    // external change like any other, so the file is rolled; the record goes to a fresh file.
    lt_rollLogFileNow();
    fd = lt_openCurrentLogFile();
  }
  if (fd < 0) {
    nextOpenAttempt_ = now + kOpenRetryInterval;
  } else {
    nextOpenAttempt_.reset();
  }
  return fd;
}

bool DDFileLogger::lt_currentFileIsStillAtItsPath() const {
  struct stat opened {};
  struct stat named {};
  if (::fstat(currentLogFileHandle_.get(), &opened) != 0) return true;  // cannot tell: keep it
  return opened.st_nlink > 0 && currentLogFileInfo_ &&
         ::lstat(currentLogFileInfo_->filePath().c_str(), &named) == 0 &&
         named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

int DDFileLogger::lt_openCurrentLogFile() {
  auto info = lt_currentLogFileInfo();
  if (!info) return -1;
  const std::string path = info->filePath();
  // The file must exist (it is never created here), and a link put in its place is not
  // followed. Opened for appending: each write lands at the end of the file as one piece even
  // when another writer shares the file (two loggers on one directory, another process), so
  // nobody's lines are overwritten.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    reportf("NSFileHandle returned nil for writing to log file at path: %s", path.c_str());
    // The file cannot be had (it vanished, or was replaced): choose again with the next
    // record rather than failing on this one for good.
    currentLogFileInfo_.reset();
    return -1;
  }
  currentLogFileHandle_.reset(fd);
  {
    DDCrashFlush::Section section(crashSlot_);
    if (crashSlot_) crashSlot_->fd.store(fd, std::memory_order_release);
  }
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) {
    reportf("DDFileLogger: Failed to seek to end of file: %s",
            errorDescription(errno, "lseek", path).c_str());
    currentOffset_ = -1;
  } else {
    currentOffset_ = end;
  }
  lt_scheduleTimerToRollLogFileDueToAge();
  lt_monitorCurrentLogFileForExternalChanges();
  return fd;
}

void DDFileLogger::lt_monitorCurrentLogFileForExternalChanges() {
  if (!onLoggerQueueOrReport("lt_monitorCurrentLogFileForExternalChanges")) return;
  if (!currentLogFileHandle_) {
    contractViolation("Can not monitor without handle.");
    return;
  }
  if (currentLogFileVnode_) currentLogFileVnode_->cancel();
  using platform::dispatch::FileEvent;
  auto source = platform::dispatch::FileSource::make(
      currentLogFileHandle_.get(),
      FileEvent::FileDelete | FileEvent::FileRename | FileEvent::FileRevoke, loggerQueue());
  if (!source) {
    currentLogFileVnode_.reset();
    return;
  }
  source->setEventHandler([weak = weakSelf(), raw = source.get()] {
    auto self = weak.lock();
    // Only the watcher of the file still being written may roll it.
    if (self && self->currentLogFileVnode_.get() == raw) self->lt_rollLogFileNow();
  });
  currentLogFileVnode_ = std::move(source);
  currentLogFileVnode_->resume();
}

// ---- writing ----

std::shared_ptr<const DDFileLogMessageSerializer> DDFileLogger::lt_logFileSerializer() {
  if (logFileManager_->respondsTo(DDLogFileManager::Operation::LogMessageSerializer)) {
    if (auto serializer = logFileManager_->logMessageSerializer()) return serializer;
  }
  // Never destroyed: the exit flush may write (and reach this) after static destructors ran.
  static platform::base::NoDestructor<std::shared_ptr<const DDFileLogPlainTextMessageSerializer>>
      plain(std::make_shared<const DDFileLogPlainTextMessageSerializer>());
  return *plain;
}

std::string DDFileLogger::lt_dataForMessage(const DDLogMessage& message) {
  if (!onLoggerQueueOrReport("lt_dataForMessage")) return {};
  std::string data;
  appendDataForMessage(message, data);
  return data;
}

bool DDFileLogger::lt_appendDataForMessage(const DDLogMessage& message, std::string& out) {
  if (!onLoggerQueueOrReport("lt_appendDataForMessage")) return false;
  return appendDataForMessage(message, out);
}

bool DDFileLogger::appendDataForMessage(const DDLogMessage& message, std::string& out) {
  const std::size_t start = out.size();
  bool custom = false;
  if (_logFormatter) {
    if (!_logFormatter->appendFormattedLogMessage(message, out)) {
      out.resize(start);
      return false;
    }
    // A formatter that hands back the record's own text unchanged counts as no formatting.
    custom = std::string_view(out).substr(start) != message.message();
  } else {
    out.append(message.message());
  }
  if (out.size() == start) return false;
  if (out.back() != '\n' && (!custom || automaticallyAppendNewline_.load())) out.push_back('\n');
  const auto serializer = lt_logFileSerializer();
  if (!serializer->passesTextThrough()) {
    std::string text = out.substr(start);
    out.resize(start);
    out.append(serializer->dataForString(std::move(text), &message));
  }
  return out.size() > start;
}

void DDFileLogger::logMessage(const DDLogMessagePtr& message) {
  if (!message) return;
  line_.clear();
  if (lt_appendDataForMessage(*message, line_)) lt_logData(line_);
  // A huge record does not pin its memory for the logger's lifetime.
  if (line_.capacity() > kKeptLineCapacity) std::string().swap(line_);
}

void DDFileLogger::logData(std::string_view data) {
  runSyncOnLoggerQueue("logData", [&] { lt_logData(data); });
}

void DDFileLogger::flush() {
  runSyncOnLoggerQueue("flush", [this] { lt_flush(); });
}

void DDFileLogger::lt_flush() {
  if (!onLoggerQueueOrReport("lt_flush")) return;
  if (currentLogFileHandle_ && ::fsync(currentLogFileHandle_.get()) != 0) {
    reportf(
        "DDFileLogger: Failed to synchronize file: %s",
        errorDescription(errno, "fsync", currentLogFileInfo_ ? currentLogFileInfo_->filePath() : "")
            .c_str());
  }
}

void DDFileLogger::willLogMessage(DDLogFileInfo&) {}

void DDFileLogger::didLogMessage(DDLogFileInfo&) {
  lt_maybeRollLogFileDueToSize();
}

int DDFileLogger::exceptionCount() {
  return exceptionCounter().load();
}

void DDFileLogger::lt_logData(std::string_view data) {
  if (!onLoggerQueueOrReport("lt_logData")) return;
  const ProcessAnswers& answers = processAnswers(*this);
  if (data.empty()) return;
  try {
    const int fd = lt_currentLogFileHandle();
    if (fd < 0) {
      ++lostRecords_;
      return;
    }
    if (lostRecords_ > 0) {
      // Writing works again: first one line that says how much is missing before this point.
      const std::string lost = "DDFileLogger: " + std::to_string(lostRecords_) +
                               " records were lost while the log file could not be written\n";
      if (lt_writeData(lost)) lostRecords_ = 0;
    }
    // Held for the whole write: a roll inside the hooks drops the logger's own reference.
    const auto info = currentLogFileInfo_;
    if (answers.retiredWillLog) {
      willLogMessage();
    } else {
      willLogMessage(*info);
    }
    bool written;
    if (answers.managerOffersLocking && logFileManager_->shouldLockLogFile(info->filePath())) {
      AdvisoryLock lock(fd);
      // Others write this file too: what they added counts toward its size.
      if (const off_t end = ::lseek(fd, 0, SEEK_END); end >= 0) currentOffset_ = end;
      written = lt_writeData(data);
    } else {
      written = lt_writeData(data);
    }
    if (!written) ++lostRecords_;
    if (answers.retiredDidLog) {
      didLogMessage();
    } else {
      didLogMessage(*info);
    }
  } catch (const std::exception& e) {
    const int n = ++exceptionCounter();
    if (n <= kMaximumReportedExceptions) {
      reportf("DDFileLogger.logMessage: %s", e.what());
      if (n == kMaximumReportedExceptions) {
        platform::diagnostics::report(
            "DDFileLogger.logMessage: Too many exceptions -- will not log any more of them.");
      }
    }
  } catch (...) {
    const int n = ++exceptionCounter();
    if (n <= kMaximumReportedExceptions) {
      platform::diagnostics::report("DDFileLogger.logMessage: unknown exception");
      if (n == kMaximumReportedExceptions) {
        platform::diagnostics::report(
            "DDFileLogger.logMessage: Too many exceptions -- will not log any more of them.");
      }
    }
  }
}

namespace {
// How much a file logger writes before it asks for the file's dirty pages to be written back.
constexpr std::uint64_t kWritebackBytes = 1024 * 1024;
}  // namespace

bool DDFileLogger::lt_writeData(std::string_view data) {
  // The crash handler's own write of a buffer's bytes never interleaves with this one.
  DDCrashFlush::Section section(crashSlot_);
  // The path is needed only for a failure's text: it is not copied on the way of every record.
  const auto pathText = [this] {
    return currentLogFileInfo_ ? currentLogFileInfo_->filePath() : std::string();
  };
  // No seek before writing: the descriptor appends, so each write lands at the end wherever the
  // offset was, and a system call per buffer of lines is a large part of what writing costs.
  const int fd = currentLogFileHandle_.get();
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : ENOSPC;
      reportf("DDFileLogger: Failed to write data: %s",
              errorDescription(err, "write", pathText()).c_str());
      // Drop the part of this record that did get in (a full disk takes a record's head and
      // refuses its tail): left there, it would swallow the start of the next record's line.
      // An appending write leaves the offset just past what it wrote.
      const off_t after = written > 0 ? ::lseek(fd, 0, SEEK_CUR) : -1;
      if (after >= static_cast<off_t>(written) &&
          ::ftruncate(fd, after - static_cast<off_t>(written)) == 0) {
        written = 0;
      }
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  if (currentOffset_ >= 0) currentOffset_ += static_cast<long long>(written);
  // Every flush forces the file to storage and waits for it. Left to itself the kernel writes
  // dirty pages back only after seconds, so after a burst the flush would wait for all of its
  // megabytes at once; asked to start now and then, the storage writes while lines are still
  // being formatted, and the flush waits only for the last stretch. Starting write-back does
  // not wait for the storage to finish; a failure only means the flush has more to do.
  bytesSinceWriteback_ += written;
  if (bytesSinceWriteback_ >= kWritebackBytes) {
    bytesSinceWriteback_ = 0;
    ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  }
  return written == data.size();
}

// ---- buffering ----

std::shared_ptr<DDBufferedProxy> DDFileLogger::wrapWithBuffer() {
  auto self = sharedSelf();
  if (!self) return nullptr;
  return std::make_shared<DDBufferedProxy>(std::move(self));
}

std::shared_ptr<DDFileLogger> DDFileLogger::unwrapFromBuffer() {
  return sharedSelf();
}
