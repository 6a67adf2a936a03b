#include "SharedUtils/StringUtilities.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <string>

namespace sharedutils {
namespace {

// A grapheme-cluster iterator over UTF-8 bytes; offsets are byte offsets into the text.
class CharacterBreaks {
 public:
  explicit CharacterBreaks(std::string_view text) {
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<int64_t>::max())) return;
    UErrorCode status = U_ZERO_ERROR;
    text_ = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    if (U_FAILURE(status)) {
      text_ = nullptr;
      return;
    }
    breaks_ = ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status);
    if (U_SUCCESS(status)) ubrk_setUText(breaks_, text_, &status);
    if (U_FAILURE(status)) {
      if (breaks_) ubrk_close(breaks_);
      breaks_ = nullptr;
    }
  }
  ~CharacterBreaks() {
    if (breaks_) ubrk_close(breaks_);
    if (text_) utext_close(text_);
  }
  CharacterBreaks(const CharacterBreaks&) = delete;
  CharacterBreaks& operator=(const CharacterBreaks&) = delete;

  UBreakIterator* get() const { return breaks_; }

 private:
  UText* text_ = nullptr;
  UBreakIterator* breaks_ = nullptr;
};

// Code point at `i` (advancing `i`); invalid bytes come back negative, one byte at a time.
UChar32 nextCodePoint(std::string_view text, std::size_t& i) {
  UChar32 c;
  int32_t index = 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data() + i);
  const int32_t length =
      static_cast<int32_t>(std::min<std::size_t>(text.size() - i, 4));  // one code point at most
  U8_NEXT(bytes, index, length, c);
  i += static_cast<std::size_t>(index);
  return c;
}

bool isNewline(UChar32 c) {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isWhitespace(UChar32 c) {
  return c == '\t' || (c >= 0 && u_charType(c) == U_SPACE_SEPARATOR);
}

// What the regular-expression class \s matches: the Unicode White_Space characters (tab, line
// feed, vertical tab, form feed, carriage return, NEL and the separators Zs, Zl, Zp).
bool isRegexSpace(UChar32 c) {
  return c >= 0 && u_isUWhiteSpace(c);
}

template <class Drop>
std::string removeCodePoints(std::string_view text, Drop drop) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const UChar32 c = nextCodePoint(text, i);
    if (!drop(c)) out.append(text.substr(start, i - start));
  }
  return out;
}

// Whether two texts are the same characters, whatever their composition ("\u00E9" and
// "e\u0301" are). Invalid UTF-8 is equal to nothing but itself.
bool canonicallyEqual(std::string_view a, std::string_view b) {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
  if (U_FAILURE(status)) return false;
  const auto toNFC = [&](std::string_view utf8) -> std::optional<std::u16string> {
    if (utf8.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max() / 4)) {
      return std::nullopt;
    }
    std::u16string utf16(utf8.size() + 1, u'\0');
    int32_t length = 0;
    UErrorCode s = U_ZERO_ERROR;
    u_strFromUTF8(utf16.data(), static_cast<int32_t>(utf16.size()), &length, utf8.data(),
                  static_cast<int32_t>(utf8.size()), &s);
    if (U_FAILURE(s)) return std::nullopt;
    utf16.resize(static_cast<std::size_t>(length));
    // NFC of a text is at most three times as long as the text.
    std::u16string normal(utf16.size() * 3 + 1, u'\0');
    const int32_t n = unorm2_normalize(nfc, utf16.data(), length, normal.data(),
                                       static_cast<int32_t>(normal.size()), &s);
    if (U_FAILURE(s)) return std::nullopt;
    normal.resize(static_cast<std::size_t>(n));
    return normal;
  };
  const auto na = toNFC(a);
  const auto nb = toNFC(b);
  return na && nb && *na == *nb;
}

}  // namespace

std::size_t characterCount(std::string_view text) {
  CharacterBreaks breaks(text);
  if (!breaks.get()) return text.size();
  std::size_t count = 0;
  for (int32_t b = ubrk_next(breaks.get()); b != UBRK_DONE; b = ubrk_next(breaks.get()))
    ++count;
  return count;
}

std::string_view lastCharacters(std::string_view text, std::size_t count) {
  if (count == 0) return text.substr(text.size());
  CharacterBreaks breaks(text);
  if (!breaks.get()) return text.substr(text.size() - std::min(count, text.size()));
  int32_t boundary = ubrk_last(breaks.get());
  for (std::size_t n = 0; n < count && boundary > 0; ++n) {
    const int32_t previous = ubrk_previous(breaks.get());
    if (previous == UBRK_DONE) break;
    boundary = previous;
  }
  return text.substr(static_cast<std::size_t>(boundary));
}

std::string dropSuffix(std::string_view text, std::string_view suffix) {
  // Decided by characters throughout: the text ends with the suffix only when its last
  // characters, as many as the suffix has, are the suffix. A lone combining mark never matches
  // the tail of the character it is part of, so no base letter is ever cut away.
  const std::size_t count = characterCount(suffix);
  if (count == 0) return std::string(text);
  const std::string_view tail = lastCharacters(text, count);
  if (characterCount(tail) != count) return std::string(text);  // shorter than the suffix
  if (tail != suffix && !canonicallyEqual(tail, suffix)) return std::string(text);
  return std::string(text.substr(0, text.size() - tail.size()));
}

std::optional<std::string> stringByAddingPercentEncodingForURLQueryValue(std::string_view text) {
  static constexpr std::string_view kAllowed =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789@-._~";
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    if (nextCodePoint(text, i) < 0) return std::nullopt;
    for (std::size_t j = start; j < i; ++j) {
      const auto byte = static_cast<unsigned char>(text[j]);
      if (kAllowed.find(static_cast<char>(byte)) != std::string_view::npos) {
        out.push_back(static_cast<char>(byte));
      } else {
        out.push_back('%');
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 0x0F]);
      }
    }
  }
  return out;
}

std::string removeWhitespacesAndNewLines(std::string_view text) {
  return removeCodePoints(text, [](UChar32 c) { return isWhitespace(c) || isNewline(c); });
}

std::string_view trimmingWhitespacesAndNewLines(std::string_view text) {
  const auto blank = [](UChar32 c) { return isWhitespace(c) || isNewline(c); };
  std::size_t begin = text.size();
  std::size_t end = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    if (!blank(nextCodePoint(text, i))) {
      begin = std::min(begin, start);
      end = i;
    }
  }
  return begin < end ? text.substr(begin, end - begin) : text.substr(text.size());
}

std::string removeNewLines(std::string_view text) {
  return removeCodePoints(text, isNewline);
}

std::string removeSuccessiveWhitespaces(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool inRun = false;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    if (isRegexSpace(nextCodePoint(text, i))) {
      if (!inRun) out.push_back(' ');
      inRun = true;
    } else {
      out.append(text.substr(start, i - start));
      inRun = false;
    }
  }
  return out;
}

bool isValidUTF8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (nextCodePoint(text, i) < 0) return false;
  }
  return true;
}

bool isInteger(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string stringWithIPAddress(std::uint32_t ipAddress) {
  in_addr address{};
  address.s_addr = ipAddress;  // the value's bytes, as they lie in memory
  char buffer[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &address, buffer, sizeof buffer) == nullptr || buffer[0] == '\0') {
    return "Illegal Address";
  }
  return buffer;
}

}  // namespace sharedutils
