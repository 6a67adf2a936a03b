#pragma once
// String operations shared by the client's components. All are pure functions of their input:
// no state, safe from any thread. Texts are UTF-8; a "character" is a user-perceived character
// (an extended grapheme cluster), so an emoji with modifiers or a letter with a combining accent
// counts once. Bytes that are not valid UTF-8 count as one character each and are kept as they
// are by every operation except the percent encoding, which refuses them.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sharedutils {

// The number of characters in `text`.
std::size_t characterCount(std::string_view text);

// The last `count` characters of `text` (all of it when it is shorter).
std::string_view lastCharacters(std::string_view text, std::size_t count);

// `text` without `suffix`: when its last characters, as many as `suffix` has, are `suffix`'s
// characters (in either composition: "e\u0301" ends with "\u00E9"), they are removed; otherwise
// it is returned unchanged. A lone combining mark never matches part of a character.
std::string dropSuffix(std::string_view text, std::string_view suffix);

// Percent-encodes (as UTF-8 bytes, upper-case hex) every character outside
// "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789@-._~": space, '+', '&', '='
// and '/' are encoded, '@' is not. Absent when `text` is not valid UTF-8.
std::optional<std::string> stringByAddingPercentEncodingForURLQueryValue(std::string_view text);

// Removes every whitespace (tab and the Unicode space separators) and newline (U+000A-U+000D,
// U+0085, U+2028, U+2029) character.
std::string removeWhitespacesAndNewLines(std::string_view text);
// `text` without the whitespace and newline characters (as above) at its start and end.
std::string_view trimmingWhitespacesAndNewLines(std::string_view text);
// Removes every newline character (as above).
std::string removeNewLines(std::string_view text);
// Replaces each run of one or more whitespace characters (the Unicode White_Space characters:
// tab, line feed, vertical tab, form feed, carriage return, NEL and the separators Zs, Zl, Zp) by
// a single space.
std::string removeSuccessiveWhitespaces(std::string_view text);

// True when `text` is well-formed UTF-8: shortest forms only, no surrogates, nothing above
// U+10FFFF.
bool isValidUTF8(std::string_view text);

// True when `text` is not empty and consists of the ASCII digits 0-9 only (no sign, no other
// digits).
bool isInteger(std::string_view text);

// The dotted-decimal text of an IPv4 address held in 32 bits, its bytes taken in memory order
// (first byte first): the value whose bytes in memory are 7F 00 00 01 gives "127.0.0.1".
// "Illegal Address" if no text can be produced.
std::string stringWithIPAddress(std::uint32_t ipAddress);

}  // namespace sharedutils
