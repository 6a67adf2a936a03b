#include "logging/DDLogFrontEnd.h"

static_assert(std::atomic<DDLogLevel>::is_always_lock_free,
              "the level gate must be a plain atomic load");

std::shared_ptr<const DDLogMessage> DDLogMessageFromFormat(
    const DDLogMessageFormat& message, DDLogLevel level, DDLogFlag flag, std::int64_t context,
    std::string_view file, std::string_view function, std::uint64_t line, DDLogObjectPtr tag,
    std::optional<DDLogMessage::Timestamp> timestamp) {
  // file and function are copied: this constructor cannot know how long the caller's texts live.
  return DDLogMessage::create(
      DDLogText(std::string(message.format())), DDLogText(message.formatted()), level, flag,
      context, DDLogText(std::string(file)), DDLogText(std::string(function)), line, std::move(tag),
      DDLogMessageOptions::keepMessage, timestamp);
}

namespace dd_detail {

void deliver(DDLog& log, std::optional<bool> asynchronous, DDLogMessagePtr message) {
  const bool async =
      asynchronous ? *asynchronous : asyncLoggingEnabled.load(std::memory_order_relaxed);
  log.log(async, std::move(message));
}

}  // namespace dd_detail
