#pragma once
// The tool's client of the CoreService daemon: one connection to the local service, and calls
// that wait for their reply at most a given time. The service name, the operations and the
// status keys are those of the shared contract (contract/CoreServiceContract.h).

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/xpc/Connection.h"
#include "platform/xpc/Error.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/Message.h"
#include "platform/xpc/SynchronousOutcome.h"

namespace coreservicectl {

class CoreServiceClient {
 public:
  static constexpr std::chrono::milliseconds kDefaultTimeout{5000};

  // The reply's arguments, the error that ended the call, a time-out, or a reply that was not
  // one.
  using Outcome = platform::xpc::Connection::SynchronousOutcome;

  CoreServiceClient();
  ~CoreServiceClient();
  CoreServiceClient(const CoreServiceClient&) = delete;
  CoreServiceClient& operator=(const CoreServiceClient&) = delete;

  // One call at a time.
  Outcome call(const platform::xpc::MethodDescription& method, std::chrono::milliseconds timeout);

 private:
  std::shared_ptr<platform::xpc::Connection> connection_;
};

// Parses a positive number of seconds ("2", "0.5"); nullopt when it is not one.
std::optional<std::chrono::milliseconds> parseSeconds(const std::string& text);

}  // namespace coreservicectl
