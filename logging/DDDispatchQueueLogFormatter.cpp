#include "logging/DDDispatchQueueLogFormatter.h"

#include <array>

#include "logging/DDLogMessage.h"
#include "logging/DDTimestampText.h"
#include "platform/dispatch/Queue.h"

namespace {

using platform::dispatch::QoS;
using platform::dispatch::Queue;

bool isGlobalQueueLabel(std::string_view label) {
  static const std::array<std::string, 5> labels = {
      Queue::global(QoS::Background)->label(), Queue::global(QoS::Utility)->label(),
      Queue::global(QoS::Default)->label(), Queue::global(QoS::UserInitiated)->label(),
      Queue::global(QoS::UserInteractive)->label()};
  for (const auto& l : labels) {
    if (l == label) return true;
  }
  return false;
}

bool isContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::size_t characterCount(std::string_view s) {
  std::size_t n = 0;
  for (char c : s)
    n += isContinuationByte(c) ? 0 : 1;
  return n;
}

// The byte length of the first `count` characters of `s`.
std::size_t prefixBytes(std::string_view s, std::size_t count) {
  std::size_t i = 0;
  for (std::size_t seen = 0; i < s.size(); ++i) {
    if (!isContinuationByte(s[i]) && seen++ == count) break;
  }
  return i;
}

}  // namespace

DDDispatchQueueLogFormatter::DDDispatchQueueLogFormatter() {
  replacements_.emplace(Queue::main()->label(), "main");
}

DDDispatchQueueLogFormatter::DDDispatchQueueLogFormatter(Mode /*mode*/)
    : DDDispatchQueueLogFormatter() {}

std::optional<std::string> DDDispatchQueueLogFormatter::replacementStringForQueueLabel(
    std::string_view label) const {
  std::lock_guard lock(mutex_);
  auto it = replacements_.find(label);
  if (it == replacements_.end()) return std::nullopt;
  return it->second;
}

void DDDispatchQueueLogFormatter::setReplacementString(std::optional<std::string> replacement,
                                                       std::string label) {
  std::lock_guard lock(mutex_);
  if (replacement) {
    replacements_.insert_or_assign(std::move(label), std::move(*replacement));
  } else {
    replacements_.erase(label);
  }
}

DDDispatchQueueLogFormatter::DateFormatter DDDispatchQueueLogFormatter::createDateFormatter()
    const {
  return &ddLocalTimeText;
}

std::string DDDispatchQueueLogFormatter::stringFromDate(Timestamp date) const {
  std::call_once(dateFormatterOnce_, [this] { dateFormatter_ = createDateFormatter(); });
  return dateFormatter_ ? dateFormatter_(date) : ddLocalTimeText(date);
}

std::string DDDispatchQueueLogFormatter::queueThreadLabelForLogMessage(
    const DDLogMessage& message) const {
  std::string_view label;
  if (!message.queueLabel().empty() && !isGlobalQueueLabel(message.queueLabel())) {
    label = message.queueLabel();
  } else if (auto name = message.threadName(); name && !name->empty()) {
    label = *name;
  } else {
    return std::string(message.threadID());
  }
  if (auto replacement = replacementStringForQueueLabel(label)) return std::move(*replacement);
  return std::string(label);
}

std::string_view DDDispatchQueueLogFormatter::qosTag(std::uint64_t qos) {
  switch (qos) {
    case DDLogQoS::background:
      return "BG";
    case DDLogQoS::utility:
      return "UT";
    case DDLogQoS::defaultClass:
      return "DF";
    case DDLogQoS::userInitiated:
      return "IN";
    case DDLogQoS::userInteractive:
      return "UI";
    default:
      return "UN";
  }
}

std::optional<std::string> DDDispatchQueueLogFormatter::formatLogMessage(
    const DDLogMessage& message) {
  std::string label = queueThreadLabelForLogMessage(message);
  const std::uint64_t maxLength = maxQueueLength_.load();
  const std::uint64_t minLength = minQueueLength_.load();
  const std::size_t length = characterCount(label);
  if (maxLength > 0 && length > maxLength) {
    label.resize(prefixBytes(label, maxLength));
  } else if (length < minLength) {
    label.append(minLength - length, ' ');
  }
  const std::string_view tag = qosTag(message.qos());
  std::string line = stringFromDate(message.timestamp());
  line.reserve(line.size() + label.size() + tag.size() + message.message().size() + 12);
  line.append(" [").append(label).append(" (QOS:").append(tag).append(")] ");
  line.append(message.message());
  return line;
}
