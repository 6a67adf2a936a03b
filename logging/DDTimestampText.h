#pragma once
// A record's time as the loggers write it: "yyyy<sep>MM<sep>dd HH:mm:ss:SSS", milliseconds
// truncated, always 23 characters, in UTC (the file logger's default line: 2024/05/01
// 09:03:07:045) or in local time (the terminal logger and the queue formatter: 2026-12-05
// 15:16:49:123). Written by hand rather than through a locale-aware formatter: it is on every
// line's path, and it must be safe to call from several logger queues at once (it keeps no state
// shared between threads).

#include <chrono>
#include <string>

enum class DDTimeZone { utc, local };

std::string ddTimestampText(std::chrono::system_clock::time_point when, DDTimeZone zone,
                            char dateSeparator);
// The same 23 characters appended to `out`.
void ddAppendTimestampText(std::string& out, std::chrono::system_clock::time_point when,
                           DDTimeZone zone, char dateSeparator);

// Local time with "-" between the date's parts.
inline std::string ddLocalTimeText(std::chrono::system_clock::time_point when) {
  return ddTimestampText(when, DDTimeZone::local, '-');
}

// The name of this process ("<UnnamedApp>" when it has none), as loggers write it.
std::string ddProcessName();
