#include "logging/DDBufferedProxy.h"

#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <algorithm>

#include "logging/DDFileLogger.h"
#include "logging/DDLog.h"
#include "platform/diagnostics/Diagnostics.h"

namespace {

// Room kept beyond the buffer's limit for the record that crosses it.
constexpr std::size_t kKeptRecordBytes = 4096;

struct RootFileSystemSizes {
  std::uint64_t blockSize = 4096;
  std::uint64_t optimalTransferSize = 1048576;
};

// Taken once per process from the file system mounted at "/": its fundamental block size
// (statvfs f_frsize) and what Linux reports as its optimal transfer block size (statfs f_bsize).
const RootFileSystemSizes& rootFileSystemSizes() {
  static const RootFileSystemSizes sizes = [] {
    RootFileSystemSizes s;
    struct statvfs vfs {};
    if (::statvfs("/", &vfs) == 0) {
      const auto block = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
      if (block > 0) s.blockSize = block;
    }
    struct statfs fs {};
    if (::statfs("/", &fs) == 0 && fs.f_bsize > 0) {
      s.optimalTransferSize = static_cast<std::uint64_t>(fs.f_bsize);
    }
    return s;
  }();
  return sizes;
}

}  // namespace

std::uint64_t DDBufferedProxy::defaultBufferSize() {
  return rootFileSystemSizes().blockSize;
}

std::uint64_t DDBufferedProxy::maximumBufferSize() {
  return rootFileSystemSizes().optimalTransferSize;
}

DDBufferedProxy::DDBufferedProxy(std::shared_ptr<DDFileLogger> fileLogger)
    : fileLogger_(std::move(fileLogger)) {
  if (DDCrashFlush::Slot* slot = fileLogger_ ? fileLogger_->crashSlot() : nullptr) {
    const void* none = nullptr;
    if (slot->pendingOwner.compare_exchange_strong(none, this)) crashSlot_ = slot;
  }
  maxBufferSizeBytes_ = defaultBufferSize();
  flushBuffer();
}

DDBufferedProxy::~DDBufferedProxy() {
  if (!fileLogger_) return;
  auto last = [this] {
    lt_sendBufferedDataToFileLogger();
    if (crashSlot_) {
      DDCrashFlush::Section section(crashSlot_);
      crashSlot_->pending.store(nullptr, std::memory_order_release);
      crashSlot_->pendingLength.store(0, std::memory_order_release);
      crashSlot_->pendingOwner.store(nullptr, std::memory_order_release);
    }
  };
  if (fileLogger_->isOnInternalLoggerQueue()) {
    last();
  } else {
    fileLogger_->loggerQueue()->sync(last);
  }
}

void DDBufferedProxy::publishBuffer() {
  if (!crashSlot_) return;
  crashSlot_->pending.store(buffer_.data(), std::memory_order_release);
  crashSlot_->pendingLength.store(buffer_.size(), std::memory_order_release);
}

template <class F>
void DDBufferedProxy::onLoggerQueue(F&& work) {
  if (fileLogger_->isOnInternalLoggerQueue()) {
    work();
    return;
  }
  if (DDLog::isOnLoggingQueue()) {
    platform::diagnostics::contractViolation("Core architecture requirement failure");
    return;
  }
  auto queue = fileLogger_->loggerQueue();
  DDLog::loggingQueue()->sync([&] { queue->sync([&] { work(); }); });
}

void DDBufferedProxy::flushBuffer() {
  DDCrashFlush::Section section(crashSlot_);
  // The storage is kept for the next records (one record past the limit fits without growing);
  // only a buffer grown far beyond the limit by a huge record gives its memory back.
  const auto wanted = static_cast<std::size_t>(maxBufferSizeBytes_.load());
  if (buffer_.capacity() > 2 * wanted + kKeptRecordBytes) {
    std::string().swap(buffer_);
  } else {
    buffer_.clear();
  }
  buffer_.reserve(wanted + kKeptRecordBytes);
  currentBufferSizeBytes_ = 0;
  publishBuffer();
}

void DDBufferedProxy::logMessage(const DDLogMessagePtr& message) {
  if (!message) return;
  line_.clear();
  if (!fileLogger_->lt_appendDataForMessage(*message, line_)) return;
  // Once the crash handler may need them, buffered bytes always have an open file to go to:
  // the file is opened with the first record after a roll rather than with the next send.
  if (crashSlot_ && DDCrashFlush::isInstalled() &&
      crashSlot_->fd.load(std::memory_order_relaxed) < 0) {
    fileLogger_->lt_currentLogFileHandle();
  }
  {
    DDCrashFlush::Section section(crashSlot_);
    buffer_.append(line_);
    publishBuffer();
  }
  if (line_.capacity() > kKeptRecordBytes) std::string().swap(line_);
  currentBufferSizeBytes_ = buffer_.size();
  if (currentBufferSizeBytes_.load() >= maxBufferSizeBytes_.load()) {
    lt_sendBufferedDataToFileLogger();
  }
}

void DDBufferedProxy::lt_sendBufferedDataToFileLogger() {
  // One section from the write to the emptied buffer: the crash handler writes these bytes
  // either instead of this call or not at all.
  DDCrashFlush::Section section(crashSlot_);
  if (!buffer_.empty()) fileLogger_->lt_logData(buffer_);
  flushBuffer();
}

void DDBufferedProxy::flush() {
  onLoggerQueue([this] {
    lt_sendBufferedDataToFileLogger();
    fileLogger_->flush();
  });
}

void DDBufferedProxy::willRemoveLogger() {
  onLoggerQueue([this] {
    lt_sendBufferedDataToFileLogger();
    fileLogger_->willRemoveLogger();
  });
}

void DDBufferedProxy::setMaxBufferSizeBytes(std::uint64_t bytes) {
  maxBufferSizeBytes_ = std::min(bytes, maximumBufferSize());
}

std::shared_ptr<DDBufferedProxy> DDBufferedProxy::wrapWithBuffer() {
  return shared_from_this();
}

DDLogFormatterPtr DDBufferedProxy::logFormatter() {
  return fileLogger_->logFormatter();
}

void DDBufferedProxy::setLogFormatter(DDLogFormatterPtr formatter) {
  fileLogger_->setLogFormatter(std::move(formatter));
}

unsigned DDBufferedProxy::offeredOperations() const {
  return fileLogger_->offeredOperations() | kFlush | kWillRemoveLogger;
}

void DDBufferedProxy::didAddLogger() {
  fileLogger_->didAddLogger();
}

void DDBufferedProxy::didAddLoggerInQueue(const platform::dispatch::QueuePtr& queue) {
  fileLogger_->didAddLoggerInQueue(queue);
}

platform::dispatch::QueuePtr DDBufferedProxy::loggerQueue() {
  return fileLogger_->loggerQueue();
}

std::string DDBufferedProxy::loggerName() const {
  return fileLogger_->loggerName();
}
