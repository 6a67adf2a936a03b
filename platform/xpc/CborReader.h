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
#include <string_view>

#include <nlohmann/json.hpp>

namespace platform::xpc {

// Arrays and maps nested deeper than this are refused.
inline constexpr std::size_t kMaxNestingDepth = 16;

// The value encoded in `bytes`; nullopt when the bytes are not exactly one accepted item.
std::optional<nlohmann::json> readCbor(std::span<const std::uint8_t> bytes);

// A reading position in such bytes, for a decoder of one fixed shape (the message framing) that
// reads its own heads and texts without building values for them, and reads the items whose
// shape it does not know with readItem. Every read checks what is left first; a failed read
// leaves the position unspecified.
class CborCursor {
 public:
  enum Major : std::uint8_t {
    kUnsigned = 0,
    kNegative,
    kBytes,
    kText,
    kArray,
    kMap,
    kTag,
    kSimple
  };

  explicit CborCursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  // The next head: its major type, additional information and argument (a length, a count, an
  // integer, or a float's raw bits).
  bool readHead(std::uint8_t& major, std::uint8_t& info, std::uint64_t& argument);
  // The next `length` bytes, which must be well-formed UTF-8; `out` points into the input.
  bool readText(std::uint64_t length, std::string_view& out);
  // One whole item, found `depth` levels deep inside containers the caller has read itself
  // (they count towards kMaxNestingDepth).
  std::optional<nlohmann::json> readItem(std::size_t depth = 0);

  std::size_t left() const { return bytes_.size() - pos_; }

 private:
  bool readUint(std::size_t size, std::uint64_t& out);

  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

}  // namespace platform::xpc
