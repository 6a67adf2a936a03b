#pragma once
// The formatter interface: turns a record into the text a logger emits.
//
// Required: formatLogMessage. Optional, offered when the matching bit is in
// offeredOperations(): didAddToLogger, didAddToLoggerInQueue, willRemoveFromLogger. A logger asks
// offers() before calling an optional operation. All of them run on the logger's own queue.

#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/Queue.h"

class DDLogMessage;
class DDLogger;

class DDLogFormatter {
 public:
  enum Operation : unsigned {
    kDidAddToLogger = 1u << 0,
    kDidAddToLoggerInQueue = 1u << 1,
    kWillRemoveFromLogger = 1u << 2,
  };

  virtual ~DDLogFormatter() = default;

  // The text to emit for `message`, or nothing to leave the record out for this logger.
  virtual std::optional<std::string> formatLogMessage(const DDLogMessage& message) = 0;

  // The same text appended to `out`; false to leave the record out (`out` is then restored by
  // the caller). A logger that builds its lines in a reused buffer calls this; a formatter on
  // the path of every line overrides it to write in place instead of returning a new string.
  virtual bool appendFormattedLogMessage(const DDLogMessage& message, std::string& out) {
    auto text = formatLogMessage(message);
    if (!text) return false;
    out.append(*text);
    return true;
  }

  // The optional operations this formatter offers (a mask of Operation bits).
  virtual unsigned offeredOperations() const { return 0; }
  bool offers(Operation op) const { return (offeredOperations() & op) != 0; }

  virtual void didAddToLogger(DDLogger& /*logger*/) {}
  virtual void didAddToLoggerInQueue(DDLogger& /*logger*/,
                                     const platform::dispatch::QueuePtr& /*queue*/) {}
  virtual void willRemoveFromLogger(DDLogger& /*logger*/) {}
};

using DDLogFormatterPtr = std::shared_ptr<DDLogFormatter>;
