#pragma once
// An interface exported over a connection: the protocol's name and its methods, each with its
// selector, its method type encoding and its extended type encoding, plus how to call it on an
// object of the protocol. A request whose selector is not listed here is not delivered.
//
//   auto iface = Interface::forProtocol<MyProtocol>("MyProtocol")
//       .method("pingWithCompletionHandler:", "v24@0:8@?16", "v24@0:8@?<v@?>16",
//               [](MyProtocol& object, const Value& arguments, ReplyBlock reply) {
//                 object.ping([reply = std::move(reply)] { reply(Value::array()); });
//               });

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <typeindex>
#include <utility>
#include <vector>

#include "platform/xpc/Value.h"

namespace platform::xpc {

// Sends the reply to one call: its argument is the array of the reply block's arguments. The
// first call sends; later calls are contract violations and are ignored.
using ReplyBlock = std::function<void(Value arguments)>;

struct MethodDescription {
  std::string selector;
  std::string typeEncoding;
  std::string extendedTypeEncoding;
};

class Interface {
 public:
  // Calls the method on an object of the interface's protocol (passed type-erased).
  using Invoker = std::function<void(void* object, const Value& arguments, ReplyBlock reply)>;

  struct Method {
    MethodDescription description;
    Invoker invoke;
  };

  template <class Protocol>
  static Interface forProtocol(std::string protocolName) {
    return Interface(std::move(protocolName), std::type_index(typeid(Protocol)));
  }

  // Adds a method. `invoke` receives the exported object as a reference to the protocol.
  template <class Protocol>
  Interface& method(std::string selector, std::string typeEncoding,
                    std::string extendedTypeEncoding,
                    void (*invoke)(Protocol& object, const Value& arguments, ReplyBlock reply)) {
    methods_.push_back(
        Method{{std::move(selector), std::move(typeEncoding), std::move(extendedTypeEncoding)},
               [invoke](void* object, const Value& arguments, ReplyBlock reply) {
                 invoke(*static_cast<Protocol*>(object), arguments, std::move(reply));
               }});
    return *this;
  }

  const std::string& protocolName() const { return name_; }
  std::type_index protocolType() const { return type_; }
  const std::vector<Method>& methods() const { return methods_; }
  // The method with this selector, or nullptr when the interface does not list it.
  const Method* find(std::string_view selector) const;

 private:
  Interface(std::string name, std::type_index type) : name_(std::move(name)), type_(type) {}

  std::string name_;
  std::type_index type_;
  std::vector<Method> methods_;
};

}  // namespace platform::xpc
