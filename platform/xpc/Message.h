#pragma once
// The wire format of the local IPC layer. Every packet of a SOCK_SEQPACKET connection is one
// CBOR-encoded map:
//   request: {"id": <unsigned>, "selector": <text>, "types": <text>, "arguments": [...]}
//   reply:   {"id": <unsigned>, "reply": [...]}
// where "types" is the method type encoding of the selector and "reply" holds the reply block's
// arguments with their own types (a dictionary stays a map, a double stays a float).
// No packet may exceed kMaxMessageSize bytes; a larger one is refused by the sender and dropped
// by the receiver. Packets are read with CborCursor (CborReader.h), which refuses anything deeper
// than kMaxNestingDepth or longer than the packet claims, without throwing or recursing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/xpc/Value.h"

namespace platform::xpc {

// 64 KiB: far above any message of the interfaces served here, small enough that one receive
// buffer per worker thread is cheap and a hostile peer cannot make the service allocate much.
inline constexpr std::size_t kMaxMessageSize = 64 * 1024;

struct Request {
  std::uint64_t id = 0;
  std::string selector;
  std::string types;
  Value arguments = Value::array();
};

struct Reply {
  std::uint64_t id = 0;
  Value arguments = Value::array();
};

using Message = std::variant<Request, Reply>;

std::vector<std::uint8_t> encode(const Request& request);
std::vector<std::uint8_t> encode(const Reply& reply);

// nullopt when the bytes are not one well-formed CBOR map of either shape.
std::optional<Message> decode(std::span<const std::uint8_t> bytes);

}  // namespace platform::xpc
