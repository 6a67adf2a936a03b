// Fuzz entry point for settings value decoding: the stored encodings of maps and lists of data,
// and the text forms the command-line tool reads. Nothing may crash, and whatever is accepted
// must come back unchanged: a value read from text prints as a text that reads back as the same
// value, and a decoded map or list encodes to the very bytes it came from.
//
// Input: one selector byte (the kind of text, or one of the two encodings), then the bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/defaults/Value.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform::defaults;
  if (size == 0) return 0;
  const std::uint8_t selector = data[0];
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (selector % 11) {
    case 9:
      if (auto map = decodeMap(bytes)) require(encodeMap(*map) == bytes);
      return 0;
    case 10:
      if (auto list = decodeDataList(bytes)) require(encodeDataList(*list) == bytes);
      return 0;
    default:
      break;
  }
  const Kind kind = static_cast<Kind>(selector % 11 + 1);  // 1 to 9: every stored kind
  const auto value = parseValueText(kind, bytes);
  if (!value) return 0;
  require(value->kind() == kind);
  // "<kind> <text>": the text part reads back as the same value.
  const std::string printed = formatValueText(*value);
  const std::string_view name = kindName(kind);
  require(printed.size() > name.size() && printed.compare(0, name.size(), name) == 0 &&
          printed[name.size()] == ' ');
  const auto again = parseValueText(kind, std::string_view(printed).substr(name.size() + 1));
  require(again.has_value() && *again == *value);
  return 0;
}
