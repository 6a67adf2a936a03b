#include "SharedUtils/StringUtilities.h"

#include <gtest/gtest.h>

#include <cstring>

namespace sharedutils {
namespace {

TEST(StringUtilitiesTests, CharactersAreGraphemeClusters) {
  const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9";  // man ZWJ woman
  const std::string eAcute = "e\xCC\x81";                                     // e + combining
  EXPECT_EQ(characterCount("ab" + family + eAcute), 4u);
  EXPECT_EQ(lastCharacters("ab" + family + eAcute, 2), family + eAcute);
  EXPECT_EQ(lastCharacters("abc", 10), "abc");
  EXPECT_EQ(lastCharacters("abc", 0), "");
  EXPECT_EQ(characterCount(""), 0u);
  // Invalid bytes count one each and are never split from or merged into their neighbours.
  EXPECT_EQ(lastCharacters("ab\xFF\xFE", 1), "\xFE");
  EXPECT_EQ(characterCount("a\xC3"), 2u);
}

TEST(StringUtilitiesTests, DropSuffixRemovesOnlyAMatchingSuffixByCharacters) {
  EXPECT_EQ(dropSuffix("report.log", ".log"), "report");
  EXPECT_EQ(dropSuffix("report.log", ".txt"), "report.log");
  EXPECT_EQ(dropSuffix("report.log", ""), "report.log");
  EXPECT_EQ(dropSuffix("log", "report.log"), "log");
  EXPECT_EQ(dropSuffix("log", "log"), "");
  // Decided by characters: a lone combining accent is not the last character of "café" (that
  // is "é"), so nothing is dropped and no base letter is lost; the whole "é" is a suffix, in
  // either composition.
  EXPECT_EQ(dropSuffix("cafe\xCC\x81", "\xCC\x81"), "cafe\xCC\x81");
  EXPECT_EQ(dropSuffix("cafe\xCC\x81", "e\xCC\x81"), "caf");
  EXPECT_EQ(dropSuffix("caf\xC3\xA9", "e\xCC\x81"), "caf");
  EXPECT_EQ(dropSuffix("cafe\xCC\x81!", "\xCC\x81!"), "cafe\xCC\x81!");
  EXPECT_EQ(dropSuffix("ab\xFF", "\xFF"), "ab");
}

TEST(StringUtilitiesTests, PercentEncodingForQueryValuesKeepsOnlyTheAllowedSet) {
  EXPECT_EQ(stringByAddingPercentEncodingForURLQueryValue("a b+c&d=e/f@g-h.i_j~k"),
            "a%20b%2Bc%26d%3De%2Ff@g-h.i_j~k");
  EXPECT_EQ(stringByAddingPercentEncodingForURLQueryValue("\xC3\xA9?#%"), "%C3%A9%3F%23%25");
  EXPECT_EQ(stringByAddingPercentEncodingForURLQueryValue(""), "");
  EXPECT_EQ(stringByAddingPercentEncodingForURLQueryValue(std::string_view("a\0b", 3)), "a%00b");
  EXPECT_EQ(stringByAddingPercentEncodingForURLQueryValue("ab\xFF"), std::nullopt);
  EXPECT_EQ(stringByAddingPercentEncodingForURLQueryValue("\xC3"), std::nullopt);
  EXPECT_EQ(stringByAddingPercentEncodingForURLQueryValue("\xED\xA0\x80"),
            std::nullopt);  // surrogate
}

TEST(StringUtilitiesTests, WhitespaceAndNewlineRemoval) {
  // Tab, space, no-break space (Zs), ideographic space (Zs); LF, CR, VT, FF, NEL, LS, PS.
  const std::string spaces = "\t \xC2\xA0\xE3\x80\x80";
  const std::string newlines = "\n\r\v\f\xC2\x85\xE2\x80\xA8\xE2\x80\xA9";
  EXPECT_EQ(removeWhitespacesAndNewLines("a" + spaces + "b" + newlines + "c"), "abc");
  EXPECT_EQ(removeNewLines("a" + spaces + "b" + newlines + "c"), "a" + spaces + "bc");
  EXPECT_EQ(removeWhitespacesAndNewLines("\xFF x\xC3"), "\xFFx\xC3");  // bad bytes stay
  // Trimming: both ends only, the inside kept; a bad byte is not blank.
  EXPECT_EQ(trimmingWhitespacesAndNewLines(spaces + newlines + "a " + newlines + "b" + spaces),
            "a " + newlines + "b");
  EXPECT_EQ(trimmingWhitespacesAndNewLines(spaces + newlines), "");
  EXPECT_EQ(trimmingWhitespacesAndNewLines(" \xFF "), "\xFF");

  EXPECT_EQ(removeSuccessiveWhitespaces("a  \t\n\r\f b\tc"), "a b c");
  EXPECT_EQ(removeSuccessiveWhitespaces("  lead and trail  "), " lead and trail ");
  // Zs, Zl, vertical tab and NEL are in the class; a zero-width space, U+180E and U+001F are not.
  EXPECT_EQ(removeSuccessiveWhitespaces("a\xC2\xA0\xE2\x80\xA8"
                                        "b\v\xC2\x85"
                                        "c\xE2\x80\x8B\xE1\xA0\x8E\x1F"
                                        "d"),
            "a b c\xE2\x80\x8B\xE1\xA0\x8E\x1F"
            "d");
  EXPECT_EQ(removeSuccessiveWhitespaces(""), "");
}

TEST(StringUtilitiesTests, ValidUTF8IsStrict) {
  for (const char* text :
       {"", "plain", "\xC3\xA9t\xC3\xA9", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_TRUE(isValidUTF8(text)) << text;
  }
  EXPECT_TRUE(isValidUTF8(std::string_view("a\0b", 3)));
  // Truncated, stray continuation, overlong, surrogate, above U+10FFFF, invalid lead bytes.
  for (const char* text : {"\xC3", "a\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                           "\xF4\x90\x80\x80", "\xFE", "\xFF"}) {
    EXPECT_FALSE(isValidUTF8(text)) << text;
  }
}

TEST(StringUtilitiesTests, IsIntegerAcceptsAsciiDigitsOnly) {
  EXPECT_TRUE(isInteger("0"));
  EXPECT_TRUE(isInteger("00012345678901234567890123"));
  for (const char* text : {"", "-1", "+1", "1.0", "1e3", " 1", "1 ", "\xD9\xA1", "0x1"}) {
    EXPECT_FALSE(isInteger(text)) << text;
  }
}

TEST(StringUtilitiesTests, IPv4TextTakesTheBytesInMemoryOrder) {
  const unsigned char loopback[4] = {0x7F, 0x00, 0x00, 0x01};
  std::uint32_t value = 0;
  std::memcpy(&value, loopback, sizeof value);
  EXPECT_EQ(stringWithIPAddress(value), "127.0.0.1");
  const unsigned char other[4] = {192, 168, 1, 254};
  std::memcpy(&value, other, sizeof value);
  EXPECT_EQ(stringWithIPAddress(value), "192.168.1.254");
}

}  // namespace
}  // namespace sharedutils
