// Fuzz entry point for the daemon's side of a call: any packet a client can send is decoded
// without crashing; a request the exported interface lists (selector and type encoding alike)
// reaches the daemon object and is answered exactly once, with the reply shape of its operation;
// anything else is refused before it reaches the object. A request that decodes encodes back to
// bytes that decode to the same request, so what the daemon logs or answers is what was sent.
//
// Input: the packet as the daemon would receive it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>

#include "contract/CoreServiceContract.h"
#include "daemon/CoreServiceDaemon.h"
#include "daemon/CoreServiceProtocol.h"
#include "logging/DDLogFrontEnd.h"
#include "platform/xpc/Interface.h"
#include "platform/xpc/Message.h"

namespace {

using platform::xpc::Value;

void require(bool condition) {
  if (!condition) std::abort();
}

bool isStatusReply(const Value& arguments) {
  if (!arguments.is_array() || arguments.size() != 1 || !arguments[0].is_object()) return false;
  const Value& status = arguments[0];
  const auto daemon = status.find(coreservice::kStatusDaemonKey);
  const auto timestamp = status.find(coreservice::kStatusTimestampKey);
  return status.size() == 2 && daemon != status.end() && daemon->is_string() &&
         daemon->get<std::string>() == coreservice::kStatusRunning && timestamp != status.end() &&
         timestamp->is_number_float();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The daemon's lines have nowhere to go here; the gate keeps them from piling up unheard.
  dynamicLogLevel.store(DDLogLevel::off);
  static const platform::xpc::Interface interface = CoreServiceProtocol::interface();
  static const auto daemon = std::make_shared<CoreServiceDaemon>();

  auto message = platform::xpc::decode(std::span<const std::uint8_t>(data, size));
  if (!message || !std::holds_alternative<platform::xpc::Request>(*message)) return 0;
  const auto& request = std::get<platform::xpc::Request>(*message);

  const auto again = platform::xpc::decode(platform::xpc::encode(request));
  require(again && std::holds_alternative<platform::xpc::Request>(*again));
  // Compared as bytes: a NaN among the arguments is not equal to itself as a value.
  require(platform::xpc::encode(std::get<platform::xpc::Request>(*again)) ==
          platform::xpc::encode(request));

  const auto* method = interface.find(request.selector);
  if (!method || method->description.typeEncoding != request.types) {
    require(request.selector != coreservice::pingMethod().selector ||
            request.types != coreservice::pingMethod().typeEncoding);
    require(request.selector != coreservice::getStatusMethod().selector ||
            request.types != coreservice::getStatusMethod().typeEncoding);
    return 0;
  }
  int replies = 0;
  Value replied;
  method->invoke(static_cast<CoreServiceProtocol*>(daemon.get()), request.arguments,
                 [&](Value arguments) {
                   ++replies;
                   replied = std::move(arguments);
                 });
  require(replies == 1);
  if (request.selector == coreservice::pingMethod().selector) {
    require(replied == Value::array());
  } else {
    require(isStatusReply(replied));
  }
  // The reply crosses the wire as it was built.
  const auto sent =
      platform::xpc::decode(platform::xpc::encode(platform::xpc::Reply{request.id, replied}));
  require(sent && std::holds_alternative<platform::xpc::Reply>(*sent) &&
          std::get<platform::xpc::Reply>(*sent).arguments == replied);
  return 0;
}
