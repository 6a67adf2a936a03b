#include "logging/DDContextAllowlistFilterLogFormatter.h"

#include "logging/DDLogMessage.h"

std::optional<std::string> DDContextAllowlistFilterLogFormatter::formatLogMessage(
    const DDLogMessage& message) {
  if (!isOnAllowlist(message.context())) return std::nullopt;
  return std::string(message.message());
}
