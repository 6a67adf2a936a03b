#include "platform/xpc/Message.h"

namespace platform::xpc {

std::vector<std::uint8_t> encode(const Request& request) {
  Value map = {{"id", request.id},
               {"selector", request.selector},
               {"types", request.types},
               {"arguments", request.arguments.is_array() ? request.arguments : Value::array()}};
  return Value::to_cbor(map);
}

std::vector<std::uint8_t> encode(const Reply& reply) {
  Value map = {{"id", reply.id},
               {"reply", reply.arguments.is_array() ? reply.arguments : Value::array()}};
  return Value::to_cbor(map);
}

std::optional<Message> decode(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > kMaxMessageSize) return std::nullopt;
  // No exceptions: a malformed packet is an ordinary event, not a failure of the reader.
  Value map = Value::from_cbor(bytes.begin(), bytes.end(), /*strict=*/true,
                               /*allow_exceptions=*/false);
  if (map.is_discarded() || !map.is_object()) return std::nullopt;
  auto id = map.find("id");
  if (id == map.end() || !id->is_number_unsigned()) return std::nullopt;

  auto reply = map.find("reply");
  if (reply != map.end()) {
    if (!reply->is_array() || map.size() != 2) return std::nullopt;
    return Reply{id->get<std::uint64_t>(), std::move(*reply)};
  }

  auto selector = map.find("selector");
  auto types = map.find("types");
  auto arguments = map.find("arguments");
  if (selector == map.end() || !selector->is_string() || types == map.end() ||
      !types->is_string() || arguments == map.end() || !arguments->is_array() || map.size() != 4) {
    return std::nullopt;
  }
  return Request{id->get<std::uint64_t>(), selector->get<std::string>(), types->get<std::string>(),
                 std::move(*arguments)};
}

}  // namespace platform::xpc
