#pragma once
// The daemon's one external interface: two operations, each answered through a reply block that
// is called exactly once.
//   pingWithCompletionHandler:       liveness probe, empty reply
//   getStatusWithCompletionHandler:  replies with the status dictionary
// Clients reach it over the local service named coreservice::kServiceName; selectors, type
// encodings and status keys are those of the shared contract.

#include <functional>

#include "contract/CoreServiceContract.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/Value.h"

// The reply of getStatus: a map with exactly two entries, "daemon" -> "running" (text) and
// "timestamp" -> seconds since 1970-01-01 00:00:00 UTC (a floating-point number).
using StatusDictionary = platform::xpc::Value;

class CoreServiceProtocol {
 public:
  virtual ~CoreServiceProtocol() = default;

  virtual void ping(std::function<void()> completionHandler) = 0;
  virtual void getStatus(std::function<void(StatusDictionary)> completionHandler) = 0;

  // The interface exported on every accepted connection.
  static platform::xpc::Interface interface();
};
