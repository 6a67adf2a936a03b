#pragma once
// The file logger's default line: "<timestamp>  <message>", the timestamp in UTC as
// "yyyy/MM/dd HH:mm:ss:SSS" (2024/05/01 09:03:07:045), two blanks, then the record's text.

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "logging/DDLogFormatter.h"

// Final: its two forms of formatting must stay one text, which a subclass overriding only one
// of them would break.
class DDLogFileFormatterDefault final : public DDLogFormatter {
 public:
  // Turns a record's timestamp into text.
  using DateFormatter = std::function<std::string(std::chrono::system_clock::time_point)>;

  DDLogFileFormatterDefault() = default;
  // Without a date formatter (an empty function) the default pattern above is used.
  explicit DDLogFileFormatterDefault(DateFormatter dateFormatter);

  std::optional<std::string> formatLogMessage(const DDLogMessage& message) override;
  bool appendFormattedLogMessage(const DDLogMessage& message, std::string& out) override;

  // The default timestamp text, written by hand: it is on every record's path.
  static std::string defaultDateText(std::chrono::system_clock::time_point date);

 private:
  DateFormatter dateFormatter_;
};
