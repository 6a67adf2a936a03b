#include "daemon/LogFormatter.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <random>

#include "logging/DDLogMessage.h"

namespace {

using namespace std::chrono;
using Clock = system_clock;

Clock::time_point at(std::int64_t ms) {
  return Clock::time_point(milliseconds(ms));
}

std::string stamp(Clock::time_point t) {
  std::string s;
  LogFormatter::appendTimestamp(s, t);
  return s;
}

std::string line(std::string text, std::uint64_t flag, std::uint64_t number = 89,
                 std::string file = "daemon/main.cpp") {
  const DDLogMessage r(DDLogText(std::move(text)), DDLogLevel::all, DDLogFlag(flag), 0,
                       DDLogText(std::move(file)), DDLogText("start()"), number, nullptr, 0,
                       at(1772906709042));  // 2026-03-07 18:05:09.042 UTC
  return LogFormatter().formatLogMessage(r).value_or("<none>");
}

TEST(LogFormatter, LineHasTheExactShape) {
  const std::string tail =
      "] [p:" + std::to_string(::getpid()) + "] NSXPCListener started and resumed";
  const std::string l = line("NSXPCListener started and resumed", 4);
  EXPECT_TRUE(l.starts_with("2026-03-07 18:05:09:042 [main:89] [I] [t:")) << l;
  EXPECT_TRUE(l.ends_with(tail)) << l;
  const std::string thread = l.substr(41, l.size() - 41 - tail.size());
  EXPECT_EQ(thread, std::to_string(::gettid()));
  // An empty message ends the line with the bracket and one blank; line 0 shows as :0; the file
  // name is the base name without its extension.
  const std::string empty = line("", 8, 0, "/a/b/CoreServiceDaemon.cpp");
  EXPECT_NE(empty.find(" [CoreServiceDaemon:0] [D] [t:"), std::string::npos) << empty;
  EXPECT_TRUE(empty.ends_with("] ")) << empty;
}

TEST(LogFormatter, LevelLettersMatchExactFlagValuesOnly) {
  const std::vector<std::pair<std::uint64_t, char>> cases = {
      {1, 'E'}, {2, 'W'}, {4, 'I'},  {8, 'D'},  {16, 'V'},   {0, 'D'},
      {3, 'D'}, {5, 'D'}, {17, 'D'}, {32, 'D'}, {~0ull, 'D'}};
  for (const auto& [flag, letter] : cases)
    EXPECT_EQ(LogFormatter::levelLetter(flag), letter) << flag;
  EXPECT_NE(line("x", 2).find("] [W] [t:"), std::string::npos);
}

TEST(LogFormatter, EveryLineBreakIsRemovedAndNothingElse) {
  const auto strip = [](std::string_view s) {
    std::string out;
    LogFormatter::appendWithoutLineBreaks(out, s);
    return out;
  };
  EXPECT_EQ(strip("first\nsecond\r\nthird\x0b\x0c\r"), "firstsecondthird");
  EXPECT_EQ(strip("a\xC2\x85"
                  "b\xE2\x80\xA8"
                  "c\xE2\x80\xA9"
                  "d"),
            "abcd");
  // Neighbours of the line breaks stay: tab, U+0084, U+2027, U+202A, and lone lead bytes.
  for (const std::string kept :
       {"\t\xC2\x84\xE2\x80\xA7\xE2\x80\xAA\xC3\xA9 \xE2\x80", "end\xC2"}) {
    EXPECT_EQ(strip(kept), kept);
  }
  const std::string l = line("one\r\ntwo\xE2\x80\xA8three", 4);
  EXPECT_TRUE(l.ends_with("] onetwothree")) << l;
  EXPECT_EQ(l.find('\n'), std::string::npos);
}

TEST(LogFormatter, TimestampIsUtcWithAColonBeforeMilliseconds) {
  EXPECT_EQ(stamp(at(0)), "1970-01-01 00:00:00:000");
  EXPECT_EQ(stamp(at(-1)), "1969-12-31 23:59:59:999");
  EXPECT_EQ(stamp(at(951782400000)), "2000-02-29 00:00:00:000");
  EXPECT_EQ(stamp(at(7258118399999)), "2199-12-31 23:59:59:999");
  EXPECT_EQ(stamp(Clock::time_point(microseconds(1999))), "1970-01-01 00:00:00:001");  // cut

  // Independent of the machine's time zone, and agreeing with the C library's UTC calendar over
  // a wide spread of instants.
  const char* savedTz = std::getenv("TZ");
  const std::string keep = savedTz ? savedTz : "";
  ::setenv("TZ", "America/Los_Angeles", 1);
  ::tzset();
  std::mt19937_64 rng(12345);
  std::uniform_int_distribution<std::int64_t> dist(-2208988800000, 4102444800000);  // 1900..2100
  for (int i = 0; i < 20000; ++i) {
    const std::int64_t ms = dist(rng);
    const time_t t = static_cast<time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    tm utc{};
    ASSERT_TRUE(::gmtime_r(&t, &utc));
    char expected[40];
    std::snprintf(expected, sizeof expected, "%04d-%02d-%02d %02d:%02d:%02d:%03d",
                  utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                  utc.tm_sec, static_cast<int>(ms - std::int64_t{t} * 1000));
    ASSERT_EQ(stamp(at(ms)), expected) << ms;
  }
  savedTz ? ::setenv("TZ", keep.c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
