#include "logging/DDAbstractLogger.h"

#include <typeinfo>

#include "logging/DDLog.h"
#include "platform/diagnostics/Diagnostics.h"

DDAbstractLogger::DDAbstractLogger() = default;

DDAbstractLogger::~DDAbstractLogger() {
  std::lock_guard lock(queueMutex_);
  if (_loggerQueue) _loggerQueue->setSpecific(this, nullptr);
}

void DDAbstractLogger::logMessage(const DDLogMessagePtr& /*message*/) {}

std::string DDAbstractLogger::loggerName() const {
  return ddTypeName(typeid(*this));
}

platform::dispatch::QueuePtr DDAbstractLogger::loggerQueue() {
  std::lock_guard lock(queueMutex_);
  if (!_loggerQueue) {
    _loggerQueue = platform::dispatch::Queue::makeSerial(offers(kLoggerName) ? loggerName() : "");
    _loggerQueue->setSpecific(this, this);
    keyedQueue_.store(_loggerQueue.get(), std::memory_order_release);
  }
  return _loggerQueue;
}

void DDAbstractLogger::setLoggerQueue(platform::dispatch::QueuePtr queue) {
  if (!queue) return;
  std::lock_guard lock(queueMutex_);
  if (_loggerQueue) _loggerQueue->setSpecific(this, nullptr);
  _loggerQueue = std::move(queue);
  _loggerQueue->setSpecific(this, this);
  keyedQueue_.store(_loggerQueue.get(), std::memory_order_release);
}

bool DDAbstractLogger::isOnGlobalLoggingQueue() const {
  return DDLog::isOnLoggingQueue();
}

bool DDAbstractLogger::isOnInternalLoggerQueue() const {
  const platform::dispatch::Queue* current = platform::dispatch::Queue::current();
  return current != nullptr && current == keyedQueue_.load(std::memory_order_acquire);
}

DDLogFormatterPtr DDAbstractLogger::logFormatter() {
  if (isOnGlobalLoggingQueue()) {
    platform::diagnostics::contractViolation(
        "logFormatter must not be called on the global logging queue!");
    return nullptr;
  }
  if (isOnInternalLoggerQueue()) {
    platform::diagnostics::contractViolation("MUST access ivar directly, NOT via self.* syntax.");
    return nullptr;
  }
  // Global logging queue first, then the logger queue: the one order every accessor uses, so
  // the two can never wait for each other.
  auto queue = loggerQueue();
  DDLogFormatterPtr result;
  DDLog::loggingQueue()->sync([&] { queue->sync([&] { result = _logFormatter; }); });
  return result;
}

void DDAbstractLogger::setLogFormatter(DDLogFormatterPtr formatter) {
  if (isOnGlobalLoggingQueue()) {
    platform::diagnostics::contractViolation(
        "setLogFormatter must not be called on the global logging queue!");
    return;
  }
  if (isOnInternalLoggerQueue()) {
    platform::diagnostics::contractViolation("MUST access ivar directly, NOT via self.* syntax.");
    return;
  }
  auto queue = loggerQueue();
  auto self = weak_from_this().lock();
  if (!self) {
    applyFormatter(std::move(formatter), queue);
    return;
  }
  DDLog::loggingQueue()->async([self, queue, formatter = std::move(formatter)]() mutable {
    queue->async([self = std::move(self), queue, formatter = std::move(formatter)]() mutable {
      self->applyFormatter(std::move(formatter), queue);
    });
  });
}

void DDAbstractLogger::applyFormatter(DDLogFormatterPtr formatter,
                                      const platform::dispatch::QueuePtr& queue) {
  if (formatter == _logFormatter) return;
  if (_logFormatter && _logFormatter->offers(DDLogFormatter::kWillRemoveFromLogger)) {
    _logFormatter->willRemoveFromLogger(*this);
  }
  _logFormatter = std::move(formatter);
  if (!_logFormatter) return;
  if (_logFormatter->offers(DDLogFormatter::kDidAddToLoggerInQueue)) {
    _logFormatter->didAddToLoggerInQueue(*this, queue);
  } else if (_logFormatter->offers(DDLogFormatter::kDidAddToLogger)) {
    _logFormatter->didAddToLogger(*this);
  }
}
