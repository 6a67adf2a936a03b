#pragma once
// The CoreService contract: what the daemon and every client must agree on, written once here and
// imported everywhere else (the daemon, the tool, the benchmarks; the build copies the service
// name into the socket unit, the run script and the daemon's info dictionary).
//
//   service   CORESERVICE_SERVICE_NAME, the local service (and socket file) name
//   ping      pingWithCompletionHandler:       reply block with no arguments
//   getStatus getStatusWithCompletionHandler:  reply block with one argument, the status
//             dictionary: exactly {"daemon": "running", "timestamp": <seconds since 1970, float>}
//
// Every call takes no argument besides its reply block, and is answered exactly once.

#include <string_view>

#include "platform/xpc/Interface.h"

// A macro as well as a constant: daemon messages quote it inside literal texts, and the build
// reads it from this line (keep the form `#define CORESERVICE_SERVICE_NAME "<name>"`).
#define CORESERVICE_SERVICE_NAME "com.tarvosys.mac.TarvoClient.CoreService"

namespace coreservice {

inline constexpr std::string_view kServiceName = CORESERVICE_SERVICE_NAME;

// The two operations with their selectors and type encodings, as both sides name them.
const platform::xpc::MethodDescription& pingMethod();
const platform::xpc::MethodDescription& getStatusMethod();

// The status dictionary's keys and the value of "daemon".
inline constexpr std::string_view kStatusDaemonKey = "daemon";
inline constexpr std::string_view kStatusTimestampKey = "timestamp";
inline constexpr std::string_view kStatusRunning = "running";

}  // namespace coreservice
