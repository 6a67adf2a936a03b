#include "SharedUtils/DateHelpers.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <climits>
#include <string>
#include <string_view>

#include "testsupport/ChildProcess.h"

namespace sharedutils {
namespace {

using namespace std::chrono_literals;

TEST(DateHelpersTests, TimeComponentsTruncateAndKeepTheSign) {
  EXPECT_EQ(timeComponents(0), (TimeComponents{0, 0, 0, 0}));
  EXPECT_EQ(timeComponents(86399), (TimeComponents{0, 23, 59, 59}));
  EXPECT_EQ(timeComponents(86400), (TimeComponents{1, 0, 0, 0}));
  EXPECT_EQ(timeComponents(90061), (TimeComponents{1, 1, 1, 1}));
  EXPECT_EQ(timeComponents(-61), (TimeComponents{0, 0, -1, -1}));
  EXPECT_EQ(timeComponents(-90061), (TimeComponents{-1, -1, -1, -1}));
  EXPECT_EQ(timeComponents(INT64_MAX), (TimeComponents{106751991167300, 15, 30, 7}));
  EXPECT_EQ(timeComponents(INT64_MIN), (TimeComponents{-106751991167300, -15, -30, -8}));
}

TEST(DateHelpersTests, ElapsedTimeIsPositiveForThePastInSeconds) {
  // Bracketed by the clock read before and after the call, however long it is held up.
  using Seconds = std::chrono::duration<double>;
  for (const auto offset : {-5s, 90s}) {
    const auto before = std::chrono::system_clock::now();
    const auto date = before - offset;
    const double elapsed = elapsedTimeSinceNow(date);
    const auto after = std::chrono::system_clock::now();
    EXPECT_GE(elapsed, Seconds(before - date).count()) << offset.count();
    EXPECT_LE(elapsed, Seconds(after - date).count()) << offset.count();
  }
}

TEST(DateHelpersTests, HttpParametersEncodeAndKeepEmptyEntries) {
  EXPECT_EQ(stringFromHttpParameters({}), "");
  EXPECT_EQ(stringFromHttpParameters({{std::string("a b"), std::string("x&y")}}), "a%20b=x%26y");
  // Entry order is the dictionary's; string_view and C strings count as strings.
  EXPECT_EQ(stringFromHttpParameters({{std::string("z"), std::string("1/2")},
                                      {std::string_view("a"), "caf\xC3\xA9 +@"}}),
            "z=1%2F2&a=caf%C3%A9%20%2B@");
  // A non-string key or value, a null C string or text that is not UTF-8 leaves an empty entry.
  EXPECT_EQ(
      stringFromHttpParameters(
          {{std::string("a"), 1}, {std::string("b"), std::string("2")}, {3, std::string("c")}}),
      "&b=2&");
  EXPECT_EQ(stringFromHttpParameters({{std::string("a"), std::string("1")},
                                      {std::string("bad"), std::string("\xFF")},
                                      {std::string("n"), static_cast<const char*>(nullptr)},
                                      {std::string("c"), std::string("")}}),
            "a=1&&&c=");
  EXPECT_EQ(stringFromHttpParameters({{std::any(), std::any()}}), "");
}

// Restores the ICU default locale of the test process.
class DefaultLocale {
 public:
  DefaultLocale() : saved_(icu::Locale::getDefault()) {}
  ~DefaultLocale() { set(saved_.getName()); }
  static void set(const char* name) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale(name), status);
    ASSERT_TRUE(U_SUCCESS(status)) << name;
  }

 private:
  icu::Locale saved_;
};

TEST(DateHelpersTests, NoSeparatorsFollowsTheCurrentLocaleWithoutGrouping) {
  DefaultLocale restore;
  DefaultLocale::set("en_US");
  EXPECT_EQ(noSeparators(1234567), "1234567");
  EXPECT_EQ(noSeparators(-9876543210), "-9876543210");
  EXPECT_EQ(noSeparators(INT64_MIN), "-9223372036854775808");
  DefaultLocale::set("de_DE");
  EXPECT_EQ(noSeparators(1234567), "1234567");
  DefaultLocale::set("ar_EG");  // Arabic-Indic digits
  EXPECT_EQ(noSeparators(1234567), "\xD9\xA1\xD9\xA2\xD9\xA3\xD9\xA4\xD9\xA5\xD9\xA6\xD9\xA7");
  DefaultLocale::set("en_US");  // and back: the change is followed both ways
  EXPECT_EQ(noSeparators(1000), "1000");
}

std::string runProbe(std::string_view lang) {
  const std::string command = "env -i LANG=" + std::string(lang) + " TZ=UTC " DATEHELPERS_PROBE;
  return ::testsupport::runShell(command).output;
}

// The shared date formatter is made once per process, so each locale runs in its own process.
TEST(DateHelpersTests, LocalizedStringUsesTheProcessLocaleAndZoneFixedAtFirstUse) {
  EXPECT_EQ(runProbe("en_US.UTF-8"),
            "12/5/26, 3:21\xE2\x80\xAFPM\n12/5/26, 3:21\xE2\x80\xAFPM\n1234567\n");
  EXPECT_EQ(runProbe("de_DE.UTF-8"), "05.12.26, 15:21\n05.12.26, 15:21\n1234567\n");
  EXPECT_EQ(runProbe("en_GB.UTF-8"), "05/12/2026, 15:21\n05/12/2026, 15:21\n1234567\n");
}

}  // namespace
}  // namespace sharedutils
