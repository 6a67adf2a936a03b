#pragma once
// The logger interface, and the dispatcher's view of a registered logger.
//
// Required: logMessage, logFormatter, setLogFormatter. Optional, offered when the matching bit is
// in offeredOperations(): didAddLogger, didAddLoggerInQueue, willRemoveLogger, flush, loggerQueue,
// loggerName. The dispatcher asks offers() before calling an optional operation, so "offers it
// or not" is a property of the logger, not of a default body.
//
// Everything the dispatcher asks of a logger runs on that logger's own serial queue, one call at
// a time, so a logger needs no lock for state that only those calls touch.

#include <memory>
#include <string>

#include "logging/DDLogFormatter.h"
#include "logging/DDLogLevel.h"
#include "logging/DDLogMessage.h"
#include "platform/dispatch/Queue.h"

class DDLogger {
 public:
  enum Operation : unsigned {
    kDidAddLogger = 1u << 0,
    kDidAddLoggerInQueue = 1u << 1,
    kWillRemoveLogger = 1u << 2,
    kFlush = 1u << 3,
    kLoggerQueue = 1u << 4,
    kLoggerName = 1u << 5,
  };

  virtual ~DDLogger() = default;

  virtual void logMessage(const DDLogMessagePtr& message) = 0;
  virtual DDLogFormatterPtr logFormatter() = 0;
  virtual void setLogFormatter(DDLogFormatterPtr formatter) = 0;

  // The optional operations this logger offers (a mask of Operation bits).
  virtual unsigned offeredOperations() const { return 0; }
  bool offers(Operation op) const { return (offeredOperations() & op) != 0; }

  virtual void didAddLogger() {}
  virtual void didAddLoggerInQueue(const platform::dispatch::QueuePtr& /*queue*/) {}
  virtual void willRemoveLogger() {}
  virtual void flush() {}
  // A serial queue this logger wants to be driven on (may be null: the dispatcher makes one).
  virtual platform::dispatch::QueuePtr loggerQueue() { return nullptr; }
  virtual std::string loggerName() const { return {}; }
};

using DDLoggerPtr = std::shared_ptr<DDLogger>;

// One registration in the dispatcher: the logger (held strongly), its level and its queue.
struct DDLoggerNode {
  DDLoggerPtr logger;
  DDLogLevel level;
  platform::dispatch::QueuePtr loggerQueue;
};

// What the dispatcher tells about one registration.
struct DDLoggerInformation {
  DDLoggerPtr logger;
  DDLogLevel level;
};
