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
  std::string line;
  // Room for the default timestamp, the two blanks and a line end.
  line.reserve(23 + 2 + message.message().size() + 1);
  appendFormattedLogMessage(message, line);
  return line;
}

bool DDLogFileFormatterDefault::appendFormattedLogMessage(const DDLogMessage& message,
                                                          std::string& out) {
  if (dateFormatter_) {
    out.append(dateFormatter_(message.timestamp()));
  } else {
    ddAppendTimestampText(out, message.timestamp(), DDTimeZone::utc, '/');
  }
  out.append("  ").append(message.message());
  return true;
}
