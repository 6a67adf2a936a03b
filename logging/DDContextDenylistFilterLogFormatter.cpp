#include "logging/DDContextDenylistFilterLogFormatter.h"

#include "logging/DDLogMessage.h"

std::optional<std::string> DDContextDenylistFilterLogFormatter::formatLogMessage(
    const DDLogMessage& message) {
  if (isOnDenylist(message.context())) return std::nullopt;
  return std::string(message.message());
}
