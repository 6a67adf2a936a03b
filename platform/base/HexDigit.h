#pragma once
// The value of one hexadecimal digit, either case: 0 to 15, or -1 for any other character. For
// decoding %XX escapes and similar, where the digits come one at a time from untrusted text.

namespace platform::base {

constexpr int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace platform::base
