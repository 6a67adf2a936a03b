#include "daemon/LogFormatter.h"

#include <unistd.h>

#include <charconv>
#include <cstdint>

#include "logging/DDLogMessage.h"

namespace {

void appendDigits(std::string& out, std::int64_t value, int width) {
  char buf[24];
  char* end = buf + sizeof buf;
  char* p = end;
  bool negative = value < 0;
  std::uint64_t v =
      negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  do {
    *--p = static_cast<char>('0' + v % 10);
    v /= 10;
    --width;
  } while (v != 0 || width > 0);
  if (negative) *--p = '-';
  out.append(p, end);
}

// Proleptic Gregorian calendar date of a day count since 1970-01-01 (which may be negative).
struct CivilDate {
  std::int64_t year;
  unsigned month, day;
};

CivilDate civilFromDays(std::int64_t days) {
  // Shift to an era count starting 0000-03-01, so that leap days fall at the end of a year.
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);  // [0, 146096]
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;  // [0, 399]
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned mp = (5 * dayOfYear + 2) / 153;  // [0, 11]
  const unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2);
  return {year, month, day};
}

}  // namespace

LogFormatter::LogFormatter() : pid_(::getpid()) {}

void LogFormatter::appendTimestamp(std::string& out, std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const std::int64_t ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
  // Floor division, so that instants before 1970 fall in the right second and day.
  std::int64_t seconds = ms / 1000;
  std::int64_t millis = ms % 1000;
  if (millis < 0) {
    millis += 1000;
    --seconds;
  }
  std::int64_t days = seconds / 86400;
  std::int64_t secondOfDay = seconds % 86400;
  if (secondOfDay < 0) {
    secondOfDay += 86400;
    --days;
  }
  const CivilDate date = civilFromDays(days);
  appendDigits(out, date.year, 4);
  out += '-';
  appendDigits(out, date.month, 2);
  out += '-';
  appendDigits(out, date.day, 2);
  out += ' ';
  appendDigits(out, secondOfDay / 3600, 2);
  out += ':';
  appendDigits(out, secondOfDay / 60 % 60, 2);
  out += ':';
  appendDigits(out, secondOfDay % 60, 2);
  out += ':';
  appendDigits(out, millis, 3);
}

void LogFormatter::appendWithoutLineBreaks(std::string& out, std::string_view text) {
  const std::size_t n = text.size();
  std::size_t start = 0;
  for (std::size_t i = 0; i < n;) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t skip = 0;
    if (c >= 0x0A && c <= 0x0D) {
      skip = 1;
    } else if (c == 0xC2 && i + 1 < n && static_cast<unsigned char>(text[i + 1]) == 0x85) {
      skip = 2;  // U+0085
    } else if (c == 0xE2 && i + 2 < n && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      skip = 3;  // U+2028, U+2029
    }
    if (skip == 0) {
      ++i;
      continue;
    }
    out.append(text.substr(start, i - start));
    i += skip;
    start = i;
  }
  out.append(text.substr(start));
}

char LogFormatter::levelLetter(std::uint64_t flag) {
  switch (flag) {
    case 1:
      return 'E';
    case 2:
      return 'W';
    case 4:
      return 'I';
    case 16:
      return 'V';
    default:
      return 'D';
  }
}

std::optional<std::string> LogFormatter::formatLogMessage(const DDLogMessage& message) {
  std::string line;
  line.reserve(64 + message.fileName().size() + message.threadID().size() +
               message.message().size());
  appendTimestamp(line, message.timestamp());
  line += " [";
  line += message.fileName();
  line += ':';
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, message.line());
  line.append(buf, r.ptr);
  line += "] [";
  line += levelLetter(message.flag().rawValue);
  line += "] [t:";
  line += message.threadID();
  line += "] [p:";
  r = std::to_chars(buf, buf + sizeof buf, pid_);
  line.append(buf, r.ptr);
  line += "] ";
  appendWithoutLineBreaks(line, message.message());
  return line;
}
