#pragma once
// The daemon's one external interface: two operations, each answered through a reply block that
// is called exactly once.
//   pingWithCompletionHandler:       liveness probe, empty reply
//   getStatusWithCompletionHandler:  replies with the status dictionary
// Clients reach it over the local service named kCoreServiceName.

#include <functional>
#include <string_view>

#include "platform/xpc/Interface.h"
#include "platform/xpc/Message.h"

// The service name under which the daemon listens (the socket's file name).
inline constexpr std::string_view kCoreServiceName = "com.tarvosys.mac.TarvoClient.CoreService";

// The reply of getStatus: a map with exactly two entries, "daemon" -> "running" (text) and
// "timestamp" -> seconds since 1970-01-01 00:00:00 UTC (a floating-point number).
using StatusDictionary = platform::xpc::Value;

class CoreServiceProtocol {
 public:
  virtual ~CoreServiceProtocol() = default;

  virtual void ping(std::function<void()> completionHandler) = 0;
  virtual void getStatus(std::function<void(StatusDictionary)> completionHandler) = 0;

  // The two methods with their selectors and type encodings, as clients name them.
  static const platform::xpc::MethodDescription& pingMethod();
  static const platform::xpc::MethodDescription& getStatusMethod();

  // The interface exported on every accepted connection.
  static platform::xpc::Interface interface();
};
