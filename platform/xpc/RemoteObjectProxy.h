#pragma once
// The client's stand-in for the service's exported object: each call becomes one request on the
// connection, and its reply block runs on the connection's queue with the reply's arguments.
// When the call cannot be delivered or answered, the proxy's error handler runs instead (also on
// the connection's queue), with an Error saying why; exactly one of the two runs per call.

#include <functional>
#include <memory>

#include "platform/xpc/Error.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/Value.h"

namespace platform::xpc {

class Connection;

class RemoteObjectProxy {
 public:
  RemoteObjectProxy(std::shared_ptr<Connection> connection,
                    std::function<void(const Error&)> errorHandler);

  void invoke(const MethodDescription& method, Value arguments,
              std::function<void(Value replyArguments)> reply);

  const std::shared_ptr<Connection>& connection() const { return connection_; }

 private:
  std::shared_ptr<Connection> connection_;
  std::function<void(const Error&)> errorHandler_;
};

}  // namespace platform::xpc
