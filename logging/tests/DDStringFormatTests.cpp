#include "logging/DDStringFormat.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace {

template <class... A>
std::string fmt(std::string_view format, const A&... args) {
  std::vector<DDFormatArgument> argv{ddFormatArgument(args)...};
  return ddStringWithFormat(format, argv);
}

class Described final : public DDLogObject {
 public:
  std::string description() const override { return "<conn 7>"; }
};

TEST(DDStringFormat, ConversionsMatchPrintf) {
  EXPECT_EQ(fmt("%@ and %li", std::string(40, 'x'), 42L), std::string(40, 'x') + " and 42");
  EXPECT_EQ(fmt("%d|%i|%5d|%-5d|%05d|%+d|% d", 7, -7, 42, 42, 42, 42, 42),
            "7|-7|   42|42   |00042|+42| 42");
  EXPECT_EQ(fmt("%u %x %X %o %#x %#o", 255u, 255u, 255u, 8u, 255u, 8u), "255 ff FF 10 0xff 010");
  EXPECT_EQ(fmt("%.3d|%8.3f|%-8.2f|%e|%G|%g", 5, 3.14159, 2.5, 1234.5, 0.00001, 100000.0),
            "005|   3.142|2.50    |1.234500e+03|1E-05|100000");
  EXPECT_EQ(fmt("%a", 1.0), "0x8p-3");  // what glibc prints for long double 1.0
  EXPECT_EQ(fmt("%hhd %hd %hhu %hu", 300, 70000, 300, 70000), "44 4464 44 4464");
  EXPECT_EQ(fmt("%lld %llu %zu %jd %td %qd", INT64_MIN, UINT64_MAX, std::size_t{3},
                std::intmax_t{-4}, std::ptrdiff_t{5}, 6LL),
            "-9223372036854775808 18446744073709551615 3 -4 5 6");
  EXPECT_EQ(fmt("%Lf", 1.5L), "1.500000");
  EXPECT_EQ(fmt("%c%c%lc", 'o', 107, 0x20AC), "ok\xE2\x82\xAC");
  EXPECT_EQ(fmt("%s|%.2s|%6s|%-6s|", "abc", "abc", "abc", "abc"), "abc|ab|   abc|abc   |");
  EXPECT_EQ(fmt("100%% sure %%"), "100% sure %");
  EXPECT_EQ(fmt("%p", nullptr), "(nil)");
  int x = 0;
  char expected[32];
  std::snprintf(expected, sizeof expected, "%p", static_cast<void*>(&x));
  EXPECT_EQ(fmt("%p", &x), expected);
}

// Bare directives take a shorter path than flagged ones, and a '-' without a width changes
// nothing: each must print exactly what its flagged twin prints, whatever the argument.
TEST(DDStringFormat, BareDirectivesPrintWhatFlaggedOnesPrint) {
  Described d;
  const std::string text = "text";  // arguments borrow their texts
  const DDFormatArgument values[] = {ddFormatArgument(text),
                                     ddFormatArgument(-42),
                                     ddFormatArgument(4294967295u),
                                     ddFormatArgument(std::int64_t{INT64_MIN}),
                                     ddFormatArgument(std::uint8_t{200}),
                                     ddFormatArgument(std::int16_t{-2}),
                                     ddFormatArgument(true),
                                     ddFormatArgument('z'),
                                     ddFormatArgument(1.5),
                                     ddFormatArgument(d),
                                     ddFormatArgument(&d)};
  for (const std::string conversion : {"@", "s", "d", "i", "u", "ld", "li", "lu", "lld", "lli",
                                       "llu", "zu", "zd", "jd", "td", "qd", "qu", "x", "c"}) {
    for (const auto& v : values) {
      const std::span<const DDFormatArgument> one(&v, 1);
      EXPECT_EQ(ddStringWithFormat("<%" + conversion + ">", one),
                ddStringWithFormat("<%-" + conversion + ">", one))
          << conversion << " with " << v.description();
    }
  }
}

TEST(DDStringFormat, ObjectsTextsAndNumbersThroughAt) {
  Described d;
  std::shared_ptr<const DDLogObject> none;
  const char* nullText = nullptr;
  EXPECT_EQ(fmt("%@ %@ %@", d, none, nullText), "<conn 7> (null) (null)");
  EXPECT_EQ(fmt("%@ %@ %@ %@ %@", 12, -3, true, 'z', 0.1), "12 -3 true z 0.1");
  EXPECT_EQ(fmt("%@", 0.1f), "0.1");  // shortest form of the float itself, not of the double
  EXPECT_EQ(fmt("[%8@][%-4@][%.3@]", "ab", "ab", "abcdef"), "[      ab][ab  ][abc]");
  EXPECT_EQ(fmt("%@", DDLogStringObject::make("tag")), "tag");
}

TEST(DDStringFormat, ArgumentsSignednessFollowsTheirOwnWidth) {
  // C semantics for matching widths: -1 as 32-bit unsigned is 2^32-1, as 64-bit 2^64-1.
  EXPECT_EQ(fmt("%u %lu %x", -1, std::int64_t{-1}, std::int8_t{-1}),
            "4294967295 18446744073709551615 ff");
  EXPECT_EQ(fmt("%d %d", 4294967295u, std::uint8_t{200}), "-1 -56");
  EXPECT_EQ(fmt("%i %i", true, false), "1 0");
  EXPECT_EQ(fmt("%f", 3), "3.000000");
}

TEST(DDStringFormat, MismatchesNeverCrashOrReadPastTheArguments) {
  // Missing arguments: the directive itself, and every later one too.
  EXPECT_EQ(fmt("a %@ b %li c %d"), "a %@ b %li c %d");
  EXPECT_EQ(fmt("%d %s %5.2f", 1), "1 %s %5.2f");
  // Wrong kinds print as %@ would, keeping width and '-'.
  EXPECT_EQ(fmt("%d|%5x|%-4c|%f|%p", "text", 1.5, "ab", "nan?", "str"), "text|  1.5|ab  |nan?|str");
  // Unknown conversions and positional arguments are echoed and consume nothing.
  EXPECT_EQ(fmt("%k %1$d %y %d", 9), "%k %1$d %y 9");
  // A stray % at the end, and a length modifier with nothing after it.
  EXPECT_EQ(fmt("50%"), "50%");
  EXPECT_EQ(fmt("x %l"), "x %l");
  EXPECT_EQ(fmt("x %ll", 1), "x %ll");
  // %n never writes and prints nothing; it consumes its slot like printf.
  int target = 12345;
  EXPECT_EQ(fmt("a%nb %d", &target, 5), "ab 5");
  EXPECT_EQ(target, 12345);
  EXPECT_EQ(fmt("%n%n"), "%n%n");  // missing slots are directives echoed
  // Extra arguments are ignored.
  EXPECT_EQ(fmt("%d", 1, 2, 3), "1");
}

TEST(DDStringFormat, StarWidthPrecisionAndCaps) {
  EXPECT_EQ(fmt("[%*d][%*d][%.*f]", 5, 42, -5, 42, 2, 3.14159), "[   42][42   ][3.14]");
  EXPECT_EQ(fmt("[%.*s][%*.*s]", -1, "abc", 6, 2, "abc"), "[abc][    ab]");  // -1: no precision
  EXPECT_EQ(fmt("[%*d]", "x", 42), "[42]");  // non-integer width consumed and ignored
  EXPECT_EQ(fmt("[%*d]"), "[%*d]");
  EXPECT_EQ(fmt("[%*d]", 5), "[%*d]");  // width there, value missing
  // Huge fields are capped, however they are asked for.
  const auto cap = static_cast<std::size_t>(kMaxFieldWidth);
  EXPECT_EQ(fmt("[%*d]", INT_MIN, 1).size(), cap + 2);
  EXPECT_EQ(fmt("%999999999999d", 1).size(), cap);
  EXPECT_EQ(fmt("%.99999999f", 1.0).size(), cap + 2);
  EXPECT_EQ(fmt("%*s", 1 << 30, "a").size(), cap);
  // Long outputs past the formatter's stack buffer come out whole.
  EXPECT_EQ(fmt("%f", 1e300).size(), 308u);
}

// Into caller storage: whatever the capacity, the text is what the string form prints; it
// stays in the storage only when all of it fits, and a spill keeps what was written before it.
TEST(DDStringFormat, BufferSpillsWholeTextWhenStorageRunsOut) {
  const std::string forty(40, 'x');
  const std::vector<std::pair<std::string, std::vector<DDFormatArgument>>> cases = {
      {"Accepted new XPC connection: %@ (%li)", {ddFormatArgument(forty), ddFormatArgument(7L)}},
      {"[%6s|%-6s|%05d]", {ddFormatArgument("ab"), ddFormatArgument("cd"), ddFormatArgument(42)}},
      {"%c%lc %f %%", {ddFormatArgument('o'), ddFormatArgument(0x20AC), ddFormatArgument(1e300)}},
      {"no directives at all", {}},
  };
  for (const auto& [format, args] : cases) {
    const std::string expected = ddStringWithFormat(format, args);
    for (std::size_t capacity = 0; capacity <= expected.size() + 1; ++capacity) {
      std::string storage(capacity + 1, '#');  // one guard byte past the capacity
      std::string spill = "stale";
      DDFormatBuffer out(storage.data(), capacity, spill);
      ddAppendFormat(out, format, args);
      ASSERT_EQ(out.text(), expected) << format << " capacity " << capacity;
      const bool fits = expected.size() <= capacity;
      EXPECT_EQ(out.storageUsed(), fits ? expected.size() : 0) << capacity;
      EXPECT_EQ(out.text().data() == storage.data(), fits && !expected.empty()) << capacity;
      EXPECT_EQ(storage.back(), '#') << "wrote past the storage, capacity " << capacity;
    }
  }
}

TEST(DDStringFormat, OwningArgumentsOutliveTheirSource) {
  DDFormatArgument a;
  {
    std::string text = "temporary text that is long enough to be on the heap";
    a = ddFormatArgument(text).owning();
  }
  Described d;
  DDFormatArgument o = ddFormatArgument(d).owning();
  std::vector<DDFormatArgument> argv{a, o};
  EXPECT_EQ(ddStringWithFormat("%@ %@", argv),
            "temporary text that is long enough to be on the heap <conn 7>");
}

}  // namespace
