#pragma once
// The outcome of Connection::sendSynchronousRequest. Kept apart from Connection.h because it
// holds a value, which needs the JSON library's full header.

#include <optional>

#include "platform/xpc/Connection.h"
#include "platform/xpc/Error.h"
#include "platform/xpc/Message.h"

namespace platform::xpc {

struct Connection::SynchronousOutcome {
  std::optional<Value> reply;  // the reply's arguments
  std::optional<Error> error;  // not delivered, or the connection ended before the reply
  bool timedOut = false;       // neither came within the timeout; a later reply is dropped
  // The service answered with something that is not this call's reply (the connection's
  // interruption handler runs too, as for any such packet).
  bool unreadableReply = false;
};

}  // namespace platform::xpc
