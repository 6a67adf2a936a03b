#include "platform/xpc/RemoteObjectProxy.h"

#include "platform/xpc/Connection.h"
#include "platform/xpc/Message.h"

namespace platform::xpc {

RemoteObjectProxy::RemoteObjectProxy(std::shared_ptr<Connection> connection,
                                     std::function<void(const Error&)> errorHandler)
    : connection_(std::move(connection)), errorHandler_(std::move(errorHandler)) {}

void RemoteObjectProxy::invoke(const MethodDescription& method, Value arguments,
                               std::function<void(Value replyArguments)> reply) {
  connection_->sendRequest(method, std::move(arguments), std::move(reply), errorHandler_);
}

}  // namespace platform::xpc
