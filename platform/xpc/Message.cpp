#include "platform/xpc/Message.h"

#include "platform/xpc/CborReader.h"

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
  auto decoded = readCbor(bytes);
  if (!decoded || !decoded->is_object()) return std::nullopt;
  Value& map = *decoded;
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
