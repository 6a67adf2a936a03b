#include "platform/xpc/Message.h"

#include <string_view>

#include "platform/xpc/CborReader.h"

namespace platform::xpc {

// Both shapes are written and read field by field: a call costs no map of values on either
// side, only its arguments are values. The bytes are those of the generic encoder for the same
// map (minimal heads, keys in sorted order), so either side may use either.

namespace {

using Bytes = std::vector<std::uint8_t>;

void putHead(Bytes& out, std::uint8_t major, std::uint64_t argument) {
  const auto type = static_cast<std::uint8_t>(major << 5);
  int size;
  if (argument < 24) {
    out.push_back(static_cast<std::uint8_t>(type | argument));
    return;
  } else if (argument <= 0xff) {
    out.push_back(type | 24);
    size = 1;
  } else if (argument <= 0xffff) {
    out.push_back(type | 25);
    size = 2;
  } else if (argument <= 0xffffffff) {
    out.push_back(type | 26);
    size = 4;
  } else {
    out.push_back(type | 27);
    size = 8;
  }
  for (int shift = 8 * (size - 1); shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(argument >> shift));
}

void putText(Bytes& out, std::string_view text) {
  putHead(out, CborCursor::kText, text.size());
  out.insert(out.end(), text.begin(), text.end());
}

// Anything but an array goes out as an empty one.
void putArguments(Bytes& out, const Value& arguments) {
  if (arguments.is_array() && !arguments.empty()) {
    Value::to_cbor(arguments, out);
  } else {
    putHead(out, CborCursor::kArray, 0);
  }
}

}  // namespace

std::vector<std::uint8_t> encode(const Request& request) {
  Bytes out;
  out.reserve(48 + request.selector.size() + request.types.size());
  putHead(out, CborCursor::kMap, 4);
  putText(out, "arguments");
  putArguments(out, request.arguments);
  putText(out, "id");
  putHead(out, CborCursor::kUnsigned, request.id);
  putText(out, "selector");
  putText(out, request.selector);
  putText(out, "types");
  putText(out, request.types);
  return out;
}

std::vector<std::uint8_t> encode(const Reply& reply) {
  Bytes out;
  out.reserve(24);
  putHead(out, CborCursor::kMap, 2);
  putText(out, "id");
  putHead(out, CborCursor::kUnsigned, reply.id);
  putText(out, "reply");
  putArguments(out, reply.arguments);
  return out;
}

// A map of exactly the fields of one shape, in any order, each once: two for a reply, four for
// a request. Anything else is refused, and so is every field of the wrong type.
std::optional<Message> decode(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > kMaxMessageSize) return std::nullopt;
  CborCursor in(bytes);
  std::uint8_t major;
  std::uint8_t info;
  std::uint64_t fields;
  if (!in.readHead(major, info, fields) || major != CborCursor::kMap) return std::nullopt;
  const bool isReply = fields == 2;
  if (!isReply && fields != 4) return std::nullopt;

  enum Field : unsigned { kId = 1, kSelector = 2, kTypes = 4, kArguments = 8 };
  unsigned seen = 0;
  std::uint64_t id = 0;
  std::string selector;
  std::string types;
  Value arguments;
  for (std::uint64_t i = 0; i < fields; ++i) {
    std::uint64_t length;
    std::string_view key;
    if (!in.readHead(major, info, length) || major != CborCursor::kText ||
        !in.readText(length, key)) {
      return std::nullopt;
    }
    Field field;
    if (key == "id") {
      field = kId;
    } else if (key == (isReply ? "reply" : "arguments")) {
      field = kArguments;
    } else if (!isReply && key == "selector") {
      field = kSelector;
    } else if (!isReply && key == "types") {
      field = kTypes;
    } else {
      return std::nullopt;
    }
    if (seen & field) return std::nullopt;
    seen |= field;
    if (field == kArguments) {
      // One level down: the message's own map is the first.
      auto value = in.readItem(1);
      if (!value || !value->is_array()) return std::nullopt;
      arguments = std::move(*value);
      continue;
    }
    if (!in.readHead(major, info, length)) return std::nullopt;
    if (field == kId) {
      if (major != CborCursor::kUnsigned) return std::nullopt;
      id = length;
      continue;
    }
    std::string_view text;
    if (major != CborCursor::kText || !in.readText(length, text)) return std::nullopt;
    (field == kSelector ? selector : types).assign(text);
  }
  if (in.left() != 0) return std::nullopt;
  if (isReply) return Reply{id, std::move(arguments)};
  return Request{id, std::move(selector), std::move(types), std::move(arguments)};
}

}  // namespace platform::xpc
