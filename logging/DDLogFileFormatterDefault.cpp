#include "logging/DDLogFileFormatterDefault.h"

#include "logging/DDLogMessage.h"
#include "logging/DDTimestampText.h"

DDLogFileFormatterDefault::DDLogFileFormatterDefault(DateFormatter dateFormatter)
    : dateFormatter_(std::move(dateFormatter)) {}

std::string DDLogFileFormatterDefault::defaultDateText(std::chrono::system_clock::time_point date) {
  return ddTimestampText(date, DDTimeZone::utc, '/');
}

std::optional<std::string> DDLogFileFormatterDefault::formatLogMessage(
    const DDLogMessage& message) {
  std::string line =
      dateFormatter_ ? dateFormatter_(message.timestamp()) : defaultDateText(message.timestamp());
  const std::string_view text = message.message();
  line.reserve(line.size() + 2 + text.size() + 1);
  line.append("  ").append(text);
  return line;
}
