#pragma once
// The base of most loggers: gives a logger its serial queue and handles its formatter.
//
// The queue is labelled with loggerName() and carries a queue-specific key that is the logger
// itself, so isOnInternalLoggerQueue() can tell whether code runs on it. It is created on first
// use rather than in the constructor, because the label comes from loggerName(), which a
// subclass overrides and a C++ constructor cannot yet reach.
//
// The formatter field `_logFormatter` belongs to the logger's queue: code that runs there (a
// logger's logMessage, flush) reads it directly; code elsewhere uses logFormatter() and
// setLogFormatter(), which hop onto the global logging queue and from there onto the logger
// queue. Calling those accessors from either queue is a contract violation; the call is then
// refused (the getter returns null, the setter changes nothing).
//
// A logger is meant to be owned by a std::shared_ptr (the dispatcher holds it that way).
// setLogFormatter() on a logger that no shared_ptr owns yet (a subclass constructor setting its
// default formatter) applies the change at once: nobody else can see the logger then.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "logging/DDLogger.h"

class DDAbstractLogger : public DDLogger, public std::enable_shared_from_this<DDAbstractLogger> {
 public:
  DDAbstractLogger();
  ~DDAbstractLogger() override;

  // Does nothing; subclasses override it.
  void logMessage(const DDLogMessagePtr& message) override;
  DDLogFormatterPtr logFormatter() override;
  // Returns before the change is made; records delivered after it use the new formatter.
  void setLogFormatter(DDLogFormatterPtr formatter) override;

  unsigned offeredOperations() const override { return kLoggerQueue | kLoggerName; }
  platform::dispatch::QueuePtr loggerQueue() override;
  // Default: the dynamic class name.
  std::string loggerName() const override;

  bool isOnGlobalLoggingQueue() const;
  bool isOnInternalLoggerQueue() const;
  // Replaces the logger's queue; meant for before the logger is added to a dispatcher. The new
  // queue is marked with this logger's key.
  void setLoggerQueue(platform::dispatch::QueuePtr queue);

 protected:
  // Only ever touched on the logger queue (or before the logger is shared).
  DDLogFormatterPtr _logFormatter;

 private:
  void applyFormatter(DDLogFormatterPtr formatter, const platform::dispatch::QueuePtr& queue);

  mutable std::mutex queueMutex_;
  platform::dispatch::QueuePtr _loggerQueue;
  // The queue that carries this logger's key, for isOnInternalLoggerQueue(): asked several times
  // per record, it compares the current queue with this one instead of looking the key up under
  // the queue's lock.
  std::atomic<const platform::dispatch::Queue*> keyedQueue_{nullptr};
};
