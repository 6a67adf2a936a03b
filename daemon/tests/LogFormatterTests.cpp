#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>

#include "daemon/LogFormatter.h"
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

std::shared_ptr<DDLogMessage> record(std::string text, std::uint64_t flag, std::uint64_t line,
                                     Clock::time_point when, std::string file = "daemon/main.cpp") {
  return std::make_shared<DDLogMessage>(DDLogText(std::move(text)), DDLogLevel::all,
                                        DDLogFlag(flag), 0, DDLogText(std::move(file)),
                                        DDLogText("start()"), line, nullptr, 0, when);
}

TEST(LogFormatter, LineHasTheExactShape) {
  LogFormatter formatter;
  EXPECT_EQ(formatter.pid(), ::getpid());
  // 2026-03-07 18:05:09.042 UTC
  auto when = at(1772906709042);
  auto r = record("NSXPCListener started and resumed", 4, 89, when);
  auto line = formatter.formatLogMessage(*r);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, "2026-03-07 18:05:09:042 [main:89] [I] [t:" + std::string(r->threadID()) +
                       "] [p:" + std::to_string(::getpid()) +
                       "] NSXPCListener started and resumed");

  // An empty message ends the line with the bracket and one blank; line 0 shows as :0; the file
  // name is the base name without its extension.
  auto empty = formatter.formatLogMessage(*record("", 8, 0, when, "/a/b/CoreServiceDaemon.cpp"));
  ASSERT_TRUE(empty);
  EXPECT_NE(empty->find(" [CoreServiceDaemon:0] [D] [t:"), std::string::npos) << *empty;
  EXPECT_EQ(empty->substr(empty->size() - 2), "] ");
}

TEST(LogFormatter, LevelLettersMatchExactFlagValuesOnly) {
  EXPECT_EQ(LogFormatter::levelLetter(1), 'E');
  EXPECT_EQ(LogFormatter::levelLetter(2), 'W');
  EXPECT_EQ(LogFormatter::levelLetter(4), 'I');
  EXPECT_EQ(LogFormatter::levelLetter(8), 'D');
  EXPECT_EQ(LogFormatter::levelLetter(16), 'V');
  for (std::uint64_t other : {0ull, 3ull, 5ull, 17ull, 32ull, ~0ull}) {
    EXPECT_EQ(LogFormatter::levelLetter(other), 'D') << other;
  }
  LogFormatter formatter;
  auto line = formatter.formatLogMessage(*record("x", 2, 1, at(0)));
  EXPECT_NE(line->find("] [W] [t:"), std::string::npos);
}

TEST(LogFormatter, EveryLineBreakIsRemovedAndNothingElse) {
  auto strip = [](std::string_view s) {
    std::string out;
    LogFormatter::appendWithoutLineBreaks(out, s);
    return out;
  };
  EXPECT_EQ(strip("first\nsecond"), "firstsecond");
  EXPECT_EQ(strip("first\r\nsecond"), "firstsecond");
  EXPECT_EQ(strip("\n\x0b\x0c\r"), "");
  EXPECT_EQ(strip("a\xC2\x85"
                  "b\xE2\x80\xA8"
                  "c\xE2\x80\xA9"
                  "d"),
            "abcd");
  // Neighbours of the line breaks stay: tab, U+0084, U+2027, U+202A, and a lone lead byte.
  const std::string kept = "\t\xC2\x84\xE2\x80\xA7\xE2\x80\xAA\xC3\xA9 \xE2\x80";
  EXPECT_EQ(strip(kept), kept);
  EXPECT_EQ(strip("trailing\xC2"), "trailing\xC2");

  LogFormatter formatter;
  auto line = formatter.formatLogMessage(*record("one\r\ntwo\xE2\x80\xA8three", 4, 7, at(0)));
  ASSERT_TRUE(line);
  EXPECT_EQ(line->substr(line->size() - 11), "onetwothree");
  EXPECT_EQ(line->find('\n'), std::string::npos);
}

TEST(LogFormatter, TimestampIsUtcWithAColonBeforeMilliseconds) {
  EXPECT_EQ(stamp(at(0)), "1970-01-01 00:00:00:000");
  EXPECT_EQ(stamp(at(-1)), "1969-12-31 23:59:59:999");
  EXPECT_EQ(stamp(at(951782400000)), "2000-02-29 00:00:00:000");
  EXPECT_EQ(stamp(at(1709251199999)), "2024-02-29 23:59:59:999");
  EXPECT_EQ(stamp(at(7258118399999)), "2199-12-31 23:59:59:999");
  // Milliseconds are cut, not rounded.
  EXPECT_EQ(stamp(Clock::time_point(microseconds(1999))), "1970-01-01 00:00:00:001");

  // Independent of the machine's time zone, and agreeing with the C library's UTC calendar over
  // a wide spread of instants.
  const char* savedTz = std::getenv("TZ");
  std::string keep = savedTz ? savedTz : "";
  ::setenv("TZ", "America/Los_Angeles", 1);
  ::tzset();
  std::mt19937_64 rng(12345);
  std::uniform_int_distribution<std::int64_t> dist(-2208988800000, 4102444800000);  // 1900..2100
  for (int i = 0; i < 20000; ++i) {
    const std::int64_t ms = dist(rng);
    std::int64_t secs = ms / 1000, rem = ms % 1000;
    if (rem < 0) rem += 1000, --secs;
    const time_t t = static_cast<time_t>(secs);
    tm utc{};
    ASSERT_TRUE(::gmtime_r(&t, &utc));
    char expected[40];
    std::snprintf(expected, sizeof expected, "%04d-%02d-%02d %02d:%02d:%02d:%03d",
                  utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                  utc.tm_sec, static_cast<int>(rem));
    ASSERT_EQ(stamp(at(ms)), expected) << ms;
  }
  if (savedTz) {
    ::setenv("TZ", keep.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

}  // namespace
