#include <gtest/gtest.h>

#include <limits>

#include "platform/defaults/Value.h"

namespace platform::defaults {
namespace {

TEST(DefaultsValue, NumbersConvertOnlyWhenExact) {
  // Bools are 0 and 1; other numbers are not bools.
  EXPECT_EQ(Value(std::int64_t{1}).as<bool>(), true);
  EXPECT_EQ(Value(0.0).as<bool>(), false);
  EXPECT_EQ(Value(std::int64_t{2}).as<bool>(), std::nullopt);
  EXPECT_EQ(Value(true).as<std::int64_t>(), 1);
  // Range checks between signed, unsigned and narrower types.
  EXPECT_EQ(Value(std::int64_t{-1}).as<std::uint64_t>(), std::nullopt);
  EXPECT_EQ(Value(std::numeric_limits<std::uint64_t>::max()).as<std::int64_t>(), std::nullopt);
  EXPECT_EQ(Value(std::numeric_limits<std::uint64_t>::max()).as<std::uint64_t>(),
            std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(Value(std::int64_t{1} << 31).as<std::int32_t>(), std::nullopt);
  EXPECT_EQ(Value(std::int64_t{-5}).as<std::int32_t>(), -5);
  EXPECT_EQ(Value(std::uint64_t{1} << 32).as<std::uint32_t>(), std::nullopt);
  // Doubles convert to integers only when integral and in range, and back only when exact.
  EXPECT_EQ(Value(3.0).as<std::int64_t>(), 3);
  EXPECT_EQ(Value(3.5).as<std::int64_t>(), std::nullopt);
  EXPECT_EQ(Value(-1.0).as<std::uint32_t>(), std::nullopt);
  EXPECT_EQ(Value(9223372036854775808.0).as<std::int64_t>(), std::nullopt);
  EXPECT_EQ(Value(9223372036854775808.0).as<std::uint64_t>(), std::uint64_t{1} << 63);
  EXPECT_EQ(Value(std::numeric_limits<double>::quiet_NaN()).as<std::int64_t>(), std::nullopt);
  EXPECT_EQ(Value(std::numeric_limits<double>::infinity()).as<std::uint64_t>(), std::nullopt);
  EXPECT_EQ(Value((std::int64_t{1} << 53) + 1).as<double>(), std::nullopt);
  EXPECT_EQ(Value(std::numeric_limits<std::int64_t>::max()).as<double>(), std::nullopt);
  EXPECT_EQ(Value(std::int64_t{900}).as<double>(), 900.0);
}

TEST(DefaultsValue, NonNumbersReadOnlyAsThemselves) {
  EXPECT_EQ(Value("true").as<bool>(), std::nullopt);
  EXPECT_EQ(Value("1").as<std::int64_t>(), std::nullopt);
  EXPECT_EQ(Value(true).as<std::string>(), std::nullopt);
  EXPECT_EQ(Value(Data{1, 2}).as<DataList>(), std::nullopt);
  EXPECT_EQ(Value(Date{}).as<std::int64_t>(), std::nullopt);
  EXPECT_EQ(Value(StringMap{{"a", "b"}}).as<StringMap>(), (StringMap{{"a", "b"}}));
  EXPECT_NE(Value(std::int64_t{1}), Value(true));  // same number, different kinds
}

TEST(DefaultsValue, CompoundEncodingRoundTripsAndRejectsDamage) {
  const StringMap map{{"", ""}, {"k=1,2", std::string("\0x", 2)}, {"z", "last"}};
  const auto bytes = encodeMap(map);
  EXPECT_EQ(decodeMap(bytes), map);
  EXPECT_EQ(decodeMap(bytes.substr(0, bytes.size() - 1)), std::nullopt);
  EXPECT_EQ(decodeMap(bytes + "x"), std::nullopt);
  EXPECT_EQ(decodeMap(std::string("\xff\xff\xff\xff", 4)), std::nullopt);
  const DataList list{{}, {0, 255}, Data(300, 7)};
  EXPECT_EQ(decodeDataList(encodeDataList(list)), list);
  EXPECT_EQ(decodeDataList(""), std::nullopt);
  // A map with a key twice, or keys out of order, is not one encodeMap wrote: refused rather
  // than read with an entry lost.
  const auto pair = [](std::string_view k, std::string_view v) {
    std::string out;
    for (auto part : {k, v}) {
      const auto n = static_cast<std::uint32_t>(part.size());
      out.append(reinterpret_cast<const char*>(&n), 4).append(part);
    }
    return out;
  };
  const std::string two("\x02\0\0\0", 4);
  EXPECT_EQ(decodeMap(two + pair("a", "1") + pair("b", "2")), (StringMap{{"a", "1"}, {"b", "2"}}));
  EXPECT_EQ(decodeMap(two + pair("a", "1") + pair("a", "2")), std::nullopt);
  EXPECT_EQ(decodeMap(two + pair("b", "1") + pair("a", "2")), std::nullopt);
}

TEST(DefaultsValue, TextFormsRoundTripAndRejectBadInput) {
  const Value samples[] = {Value(true),
                           Value(std::int64_t{-42}),
                           Value(std::numeric_limits<std::uint64_t>::max()),
                           Value(0.1),
                           Value("with spaces"),
                           Value(Date(std::chrono::milliseconds(1764947696123))),
                           Value(Date(std::chrono::nanoseconds(1764947696123456789))),
                           Value(Date(std::chrono::nanoseconds(-1))),
                           Value(Data{0x0a, 0xff}),
                           Value(StringMap{{"a,b", "c=d"}, {"e\\", ""}}),
                           Value(DataList{{0x01}, {}, {0x02, 0x03}})};
  for (const auto& v : samples) {
    const auto text = formatValueText(v);
    const auto space = text.find(' ');
    ASSERT_NE(space, std::string::npos) << text;
    const auto kind = kindFromName(text.substr(0, space));
    ASSERT_EQ(kind, v.kind()) << text;
    EXPECT_EQ(parseValueText(*kind, text.substr(space + 1)), v) << text;
  }
  EXPECT_EQ(formatValueText(Value(Date(std::chrono::milliseconds(1764947696123)))),
            "date 2025-12-05T15:14:56.123Z");
  EXPECT_EQ(formatValueText(Value(Date(std::chrono::nanoseconds(-1)))),
            "date 1969-12-31T23:59:59.999999999Z");
  EXPECT_EQ(parseValueText(Kind::Date, "1.5"), Value(Date(std::chrono::milliseconds(1500))));
  EXPECT_EQ(parseValueText(Kind::Bool, "maybe"), std::nullopt);
  EXPECT_EQ(parseValueText(Kind::Int, "12x"), std::nullopt);
  EXPECT_EQ(parseValueText(Kind::UInt, "-1"), std::nullopt);
  EXPECT_EQ(parseValueText(Kind::Data, "abc"), std::nullopt);
  EXPECT_EQ(parseValueText(Kind::Data, "zz"), std::nullopt);
  EXPECT_EQ(parseValueText(Kind::Date, "2025-13-01T00:00:00Z"), std::nullopt);
  EXPECT_EQ(parseValueText(Kind::Date, "2025-12-01T00:00:00"), std::nullopt);
  EXPECT_EQ(parseValueText(Kind::Map, "novalue"), std::nullopt);
  // What cannot be stored exactly is refused instead of coming back as something else: dates
  // are kept as 64-bit nanoseconds since 1970 (1677-09-21T00:12:43.145224192Z to
  // 2262-04-11T23:47:16.854775807Z), and a stored NaN would read back as no value.
  for (const char* refused :
       {"9999-12-31T00:00:00Z", "2262-04-11T23:47:16.854775808Z", "1677-09-21T00:12:43.145224191Z",
        "1e10", "-1e10", "1e300", "nan", "inf", "-inf", "9223372036.854775807"}) {
    EXPECT_EQ(parseValueText(Kind::Date, refused), std::nullopt) << refused;
  }
  EXPECT_EQ(parseValueText(Kind::Date, "2262-04-11T23:47:16.854775807Z"),
            Value(Date(std::chrono::nanoseconds(INT64_MAX))));
  EXPECT_EQ(parseValueText(Kind::Date, "1677-09-21T00:12:43.145224192Z"),
            Value(Date(std::chrono::nanoseconds(INT64_MIN))));
  EXPECT_EQ(parseValueText(Kind::Date, "-9223372036"),
            Value(Date(std::chrono::seconds(-9223372036))));
  EXPECT_EQ(parseValueText(Kind::Double, "nan"), std::nullopt);
  EXPECT_EQ(parseValueText(Kind::Double, "-NaN"), std::nullopt);
  EXPECT_EQ(parseValueText(Kind::Double, "1e300"), Value(1e300));
  EXPECT_EQ(kindFromName("float"), std::nullopt);
}

}  // namespace
}  // namespace platform::defaults
