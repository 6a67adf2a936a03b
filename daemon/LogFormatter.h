#pragma once
// The daemon's line format:
//   <timestamp> [<file name>:<line>] [<level letter>] [t:<thread id>] [p:<pid>] <text>
// for example
//   2026-03-07 18:05:09:042 [main:89] [I] [t:7345] [p:318] NSXPCListener started and resumed
// The timestamp is UTC, "yyyy-MM-dd HH:mm:ss:SSS" with a colon before the milliseconds and no
// zone mark. Every line break of the text (U+000A to U+000D, U+0085, U+2028, U+2029) is removed
// with nothing put in its place. The letter is E, W, I or V for exactly the flags error,
// warning, info and verbose, and D for debug and every other value. No line terminator is added.
//
// The timestamp is written by hand rather than through a locale-aware date formatter: this runs
// once per line, and the shape is fixed (Gregorian calendar, ASCII digits, 24-hour clock, UTC).
// The formatter keeps no mutable state, so it never depends on the thread it runs on.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include "logging/DDLogFormatter.h"

class LogFormatter : public DDLogFormatter {
 public:
  // Reads the process identifier once.
  LogFormatter();

  std::optional<std::string> formatLogMessage(const DDLogMessage& message) override;

  pid_t pid() const { return pid_; }

  // Appends "yyyy-MM-dd HH:mm:ss:SSS" in UTC for `when` (milliseconds truncated).
  static void appendTimestamp(std::string& out, std::chrono::system_clock::time_point when);
  // Appends `text` with every line-break character removed.
  static void appendWithoutLineBreaks(std::string& out, std::string_view text);
  static char levelLetter(std::uint64_t flag);

 private:
  const pid_t pid_;
};
