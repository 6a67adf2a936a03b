#pragma once
// The error value a client of the local IPC layer receives when a call cannot be delivered or
// answered: a domain, a code and a human-readable description.

#include <string>

namespace platform::xpc {

enum class ErrorCode : int {
  // Nothing listens at the service's socket (no file, or nothing accepting on it).
  ServiceUnavailable = 1,
  // The connection broke while the call was waiting for its reply.
  ConnectionInterrupted = 2,
  // The connection was invalidated; it makes no more calls.
  ConnectionInvalid = 3,
  // The request would exceed the maximum message size.
  MessageTooLarge = 4,
  // The request could not be encoded or the socket refused it.
  SendFailed = 5,
  // The process serving the socket runs as neither root nor the client's own user.
  ServiceNotTrusted = 6,
};

struct Error {
  std::string domain = "platform.xpc";
  ErrorCode code = ErrorCode::ServiceUnavailable;
  std::string description;
};

}  // namespace platform::xpc
