#pragma once
// UTF-8 as this project accepts it wherever text crosses a process boundary: shortest forms
// only, no surrogates, nothing above U+10FFFF. One decoder, so that what the service's message
// decoder lets through and what a client prints are judged by the same rules.

#include <cstddef>
#include <string_view>

namespace platform::base {

// The length in bytes of the well-formed sequence at the start of `text`, its code point stored
// in `code`; 0 (and `code` unspecified) when `text` is empty or does not start with one.
std::size_t decodeUtf8(std::string_view text, char32_t& code);

// True when all of `text` is well-formed UTF-8.
bool isValidUtf8(std::string_view text);

}  // namespace platform::base
