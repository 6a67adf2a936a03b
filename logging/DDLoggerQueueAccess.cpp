#include "logging/DDLoggerQueueAccess.h"

#include <string>

#include "logging/DDLog.h"
#include "platform/diagnostics/Diagnostics.h"

namespace {

void reportGlobalQueue(std::string_view operation) {
  std::string text(operation);
  text.append(" must not be called on the global logging queue!");
  platform::diagnostics::contractViolation(text);
}

void runThroughBothQueues(DDAbstractLogger& logger, const std::function<void()>& work) {
  auto queue = logger.loggerQueue();
  DDLog::loggingQueue()->sync([&] { queue->sync([&] { work(); }); });
}

}  // namespace

bool ddSyncOnLoggerQueue(DDAbstractLogger& logger, std::string_view operation,
                         const std::function<void()>& work) {
  if (logger.isOnGlobalLoggingQueue()) {
    reportGlobalQueue(operation);
    return false;
  }
  if (logger.isOnInternalLoggerQueue()) {
    platform::diagnostics::contractViolation("MUST access ivar directly, NOT via self.* syntax.");
    return false;
  }
  runThroughBothQueues(logger, work);
  return true;
}

void ddAsyncOnLoggerQueue(DDAbstractLogger& logger, std::string_view operation,
                          std::function<void()> work) {
  if (logger.isOnInternalLoggerQueue()) {
    work();
    return;
  }
  if (logger.isOnGlobalLoggingQueue()) {
    reportGlobalQueue(operation);
    return;
  }
  auto self = logger.weak_from_this().lock();
  if (!self) {
    runThroughBothQueues(logger, work);
    return;
  }
  auto queue = logger.loggerQueue();
  DDLog::loggingQueue()->async([self = std::move(self), queue, work = std::move(work)]() mutable {
    queue->async([self = std::move(self), work = std::move(work)] { work(); });
  });
}
