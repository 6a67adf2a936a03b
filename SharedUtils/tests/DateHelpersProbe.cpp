// Prints the locale-dependent helpers' output for a fixed date, for DateHelpersTests to run under
// a chosen LANG and TZ. Line 1: the date; line 2: the date again after the default locale and
// zone have changed (the shared formatter must not follow); line 3: 1234567 without separators.
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <chrono>
#include <cstdio>

#include "SharedUtils/DateHelpers.h"

int main() {
  const sharedutils::Date date{std::chrono::seconds(1796484060)};  // 2026-12-05 15:21:00 UTC
  std::printf("%s\n", sharedutils::localizedString(date).c_str());
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("ja_JP"), status);
  icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone("Asia/Tokyo"));
  std::printf("%s\n", sharedutils::localizedString(date).c_str());
  std::printf("%s\n", sharedutils::noSeparators(1234567).c_str());
  return 0;
}
