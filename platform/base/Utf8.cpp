#include "platform/base/Utf8.h"

#include <cstdint>
#include <cstring>

namespace platform::base {

std::size_t decodeUtf8(std::string_view text, char32_t& code) {
  if (text.empty()) return 0;
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length;
  char32_t least;  // below this the sequence is an overlong form of a shorter one
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if ((lead & 0xe0) == 0xc0) {
    length = 2, least = 0x80, code = lead & 0x1f;
  } else if ((lead & 0xf0) == 0xe0) {
    length = 3, least = 0x800, code = lead & 0x0f;
  } else if ((lead & 0xf8) == 0xf0) {
    length = 4, least = 0x10000, code = lead & 0x07;
  } else {
    return 0;  // a continuation byte, or a lead byte of a form longer than four bytes
  }
  if (text.size() < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(text[k]);
    if ((b & 0xc0) != 0x80) return 0;
    code = (code << 6) | (b & 0x3f);
  }
  if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
  return length;
}

bool isValidUtf8(std::string_view text) {
  char32_t code;
  while (!text.empty()) {
    // Most text that crosses a process boundary here (selectors, keys, log text) is ASCII:
    // eight bytes at a time while none has its top bit set.
    std::uint64_t word;
    if (text.size() >= sizeof word) {
      std::memcpy(&word, text.data(), sizeof word);
      if ((word & 0x8080808080808080ULL) == 0) {
        text.remove_prefix(sizeof word);
        continue;
      }
    }
    if (static_cast<unsigned char>(text[0]) < 0x80) {
      text.remove_prefix(1);
      continue;
    }
    const std::size_t length = decodeUtf8(text, code);
    if (length == 0) return false;
    text.remove_prefix(length);
  }
  return true;
}

}  // namespace platform::base
