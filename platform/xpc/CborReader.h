#pragma once
// Decoding of one CBOR data item from bytes a peer sent, whoever the peer is.
//
// The reader never throws, never recurses and builds nothing it has not checked first:
// - every length (text, array, map) is checked against the bytes that are left before anything
//   is allocated, so a header that claims 2^63 elements costs nothing;
// - arrays and maps nest at most kMaxNestingDepth deep (the messages of this layer need three
//   levels); deeper input is refused, whatever the size of the thread's stack;
// - the item must use up the input exactly (no trailing bytes).
//
// Only the subset the wire format uses is accepted: unsigned and negative integers that fit in
// 64 signed or unsigned bits, definite-length UTF-8 text, definite-length arrays, definite-length
// maps whose keys are distinct texts, false, true, null and half, single and double precision
// floats. Byte strings, tags, indefinite lengths, other simple values and invalid UTF-8 are
// refused, so that every value handed out can be printed as JSON without failing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include <nlohmann/json.hpp>

namespace platform::xpc {

// Arrays and maps nested deeper than this are refused.
inline constexpr std::size_t kMaxNestingDepth = 16;

// The value encoded in `bytes`; nullopt when the bytes are not exactly one accepted item.
std::optional<nlohmann::json> readCbor(std::span<const std::uint8_t> bytes);

}  // namespace platform::xpc
