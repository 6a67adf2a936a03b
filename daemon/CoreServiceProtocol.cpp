#include "daemon/CoreServiceProtocol.h"

#include <utility>

#include "platform/xpc/Message.h"

using platform::xpc::Interface;
using platform::xpc::ReplyBlock;
using platform::xpc::Value;

Interface CoreServiceProtocol::interface() {
  auto iface = Interface::forProtocol<CoreServiceProtocol>("CoreServiceProtocol");
  const auto& ping = coreservice::pingMethod();
  const auto& status = coreservice::getStatusMethod();
  iface.method<CoreServiceProtocol>(
      ping.selector, ping.typeEncoding, ping.extendedTypeEncoding,
      [](CoreServiceProtocol& object, const Value&, ReplyBlock reply) {
        object.ping([reply = std::move(reply)] { reply(Value::array()); });
      });
  iface.method<CoreServiceProtocol>(
      status.selector, status.typeEncoding, status.extendedTypeEncoding,
      [](CoreServiceProtocol& object, const Value&, ReplyBlock reply) {
        object.getStatus([reply = std::move(reply)](StatusDictionary status) {
          reply(Value::array({std::move(status)}));
        });
      });
  return iface;
}
