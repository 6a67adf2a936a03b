#pragma once
// Small helpers for showing times and counts to the user and for building request query strings.
// All are safe from any thread.
#include <any>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sharedutils {

using Date = std::chrono::system_clock::time_point;

// The date as a short date and short time in the user's locale and the system's time zone, e.g.
// "12/5/26, 3:21 PM" for en_US. One formatter serves the whole process: it is made on first use
// from the locale and time zone of that moment (the process locale comes from LC_ALL /
// LC_MESSAGES / LANG) and keeps them for the life of the process. Empty if the platform's locale
// data cannot make a formatter at all.
std::string localizedString(Date date);

// Seconds from `date` to now: positive for dates in the past, negative for dates to come.
double elapsedTimeSinceNow(Date date);

struct TimeComponents {
  std::int64_t days = 0;
  std::int64_t hours = 0;
  std::int64_t minutes = 0;
  std::int64_t seconds = 0;
  friend bool operator==(const TimeComponents&, const TimeComponents&) = default;
};

// Splits a number of seconds with truncating division; each part keeps the sign of the input:
// 90061 gives {1, 1, 1, 1}, -61 gives {0, 0, -1, -1}.
TimeComponents timeComponents(std::int64_t seconds);

// The integer written in the user's current locale (read at every call, so later changes of the
// default locale are followed) without group separators: 1234567 is "1234567" in en_US and
// de_DE, "١٢٣٤٥٦٧" in ar_EG. Empty if the locale data cannot format numbers.
std::string noSeparators(std::int64_t value);

// A dictionary of any key and value types, in its own iteration order. A key or value counts as a
// string when it holds a std::string, a std::string_view or a non-null const char*.
using HttpParameters = std::vector<std::pair<std::any, std::any>>;

// "key=value" entries joined with "&", keys and values percent-encoded as query values (UTF-8;
// only letters, digits and "@-._~" stay as they are). An entry whose key or value is not a
// string, or does not encode (not UTF-8), becomes an empty entry, which stays in the join:
// {"a b": "x&y"} gives "a%20b=x%26y"; {"a": 1, "b": "c"} gives "&b=c".
std::string stringFromHttpParameters(const HttpParameters& parameters);

}  // namespace sharedutils
