#include "platform/base/Utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using platform::base::decodeUtf8;
using platform::base::isValidUtf8;

// The edges of each sequence length and of the ranges that are never characters, where an
// off-by-one in a bound would let an overlong form, a surrogate or a too-large value through
// (or refuse a real character).
TEST(Utf8, DecodesEachLengthToItsEdgesAndRefusesWhatIsNoCharacter) {
  const struct {
    std::string bytes;
    std::size_t length;  // 0: refused
    char32_t code;
  } cases[] = {
      {"\x7f", 1, 0x7f},
      {"\xc2\x80", 2, 0x80},
      {"\xdf\xbf", 2, 0x7ff},
      {"\xe0\xa0\x80", 3, 0x800},
      {"\xed\x9f\xbf", 3, 0xd7ff},
      {"\xee\x80\x80", 3, 0xe000},
      {"\xef\xbf\xbf", 3, 0xffff},
      {"\xf0\x90\x80\x80", 4, 0x10000},
      {"\xf4\x8f\xbf\xbf", 4, 0x10ffff},
      {"\xe2\x80\xaeZ", 3, 0x202e},  // only the first sequence counts
      {"\xc1\xbf", 0, 0},            // U+007F in two bytes
      {"\xe0\x9f\xbf", 0, 0},        // U+07FF in three
      {"\xf0\x8f\xbf\xbf", 0, 0},    // U+FFFF in four
      {"\xed\xa0\x80", 0, 0},        // U+D800
      {"\xed\xbf\xbf", 0, 0},        // U+DFFF
      {"\xf4\x90\x80\x80", 0, 0},    // U+110000
      {"\x80", 0, 0},                // a continuation byte alone
      {"\xf8\x88\x80\x80\x80", 0, 0},
      {"\xe2\x82", 0, 0},      // cut short
      {"\xe2\x28\xa1", 0, 0},  // a non-continuation inside
      {"", 0, 0},
  };
  for (const auto& c : cases) {
    char32_t code = 0xfffd;
    EXPECT_EQ(decodeUtf8(c.bytes, code), c.length) << testing::PrintToString(c.bytes);
    if (c.length != 0) {
      EXPECT_EQ(code, c.code) << testing::PrintToString(c.bytes);
    }
    EXPECT_EQ(isValidUtf8(c.bytes.substr(0, c.length == 0 ? c.bytes.size() : c.length)),
              c.length != 0 || c.bytes.empty())
        << testing::PrintToString(c.bytes);
  }
  EXPECT_TRUE(isValidUtf8(std::string("a\0b\xc3\xa9", 5)));
  EXPECT_FALSE(isValidUtf8("ok\xc3"));

  // Long ASCII runs are skipped a word at a time: a bad byte, or a good sequence, anywhere in or
  // across those words is judged as on its own.
  for (std::size_t at = 0; at <= 20; ++at) {
    const std::string ascii(24, 'a');
    EXPECT_FALSE(isValidUtf8(ascii.substr(0, at) + "\x80" + ascii)) << at;
    EXPECT_FALSE(isValidUtf8(ascii.substr(0, at) + "\xed\xa0\x80" + ascii)) << at;
    EXPECT_FALSE(isValidUtf8(ascii.substr(0, at) + "\xe2\x82")) << at;
    EXPECT_TRUE(isValidUtf8(ascii.substr(0, at) + "\xf0\x9f\x98\x80" + ascii)) << at;
  }
}

}  // namespace
