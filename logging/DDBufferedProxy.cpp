#include "logging/DDBufferedProxy.h"

#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <algorithm>

#include "logging/DDFileLogger.h"
#include "logging/DDLog.h"
#include "platform/diagnostics/Diagnostics.h"

namespace {

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
  maxBufferSizeBytes_ = defaultBufferSize();
  flushBuffer();
}

DDBufferedProxy::~DDBufferedProxy() {
  if (!fileLogger_) return;
  if (fileLogger_->isOnInternalLoggerQueue()) {
    lt_sendBufferedDataToFileLogger();
  } else {
    fileLogger_->loggerQueue()->sync([this] { lt_sendBufferedDataToFileLogger(); });
  }
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
  std::string fresh;
  fresh.reserve(static_cast<std::size_t>(maxBufferSizeBytes_.load()));
  buffer_.swap(fresh);
  currentBufferSizeBytes_ = 0;
}

void DDBufferedProxy::logMessage(const DDLogMessagePtr& message) {
  if (!message) return;
  const std::string data = fileLogger_->lt_dataForMessage(*message);
  if (data.empty()) return;
  buffer_.append(data);
  currentBufferSizeBytes_ += data.size();
  if (currentBufferSizeBytes_.load() >= maxBufferSizeBytes_.load()) {
    lt_sendBufferedDataToFileLogger();
  }
}

void DDBufferedProxy::lt_sendBufferedDataToFileLogger() {
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
