#include "daemon/CoreServiceProtocol.h"

#include <utility>

using platform::xpc::Interface;
using platform::xpc::MethodDescription;
using platform::xpc::ReplyBlock;
using platform::xpc::Value;

const MethodDescription& CoreServiceProtocol::pingMethod() {
  static const MethodDescription m{"pingWithCompletionHandler:", "v24@0:8@?16", "v24@0:8@?<v@?>16"};
  return m;
}

const MethodDescription& CoreServiceProtocol::getStatusMethod() {
  static const MethodDescription m{"getStatusWithCompletionHandler:", "v24@0:8@?16",
                                   "v24@0:8@?<v@?@\"NSDictionary\">16"};
  return m;
}

Interface CoreServiceProtocol::interface() {
  auto iface = Interface::forProtocol<CoreServiceProtocol>("CoreServiceProtocol");
  const auto& ping = pingMethod();
  const auto& status = getStatusMethod();
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
