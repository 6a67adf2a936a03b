#include "logging/DDMultiFormatter.h"

#include <algorithm>

DDMultiFormatter::DDMultiFormatter()
    : queue_(platform::dispatch::Queue::makeConcurrent("orvel.quillmark.multiformatter")) {}

DDMultiFormatter::~DDMultiFormatter() {
  // Changes still queued refer to this object: let them run before it goes.
  queue_->syncBarrier([] {});
}

std::shared_ptr<DDLogMessage> DDMultiFormatter::logMessageForLine(
    std::string line, const DDLogMessage& original) const {
  return original.copyWithMessage(std::move(line));
}

std::optional<std::string> DDMultiFormatter::formatLogMessage(const DDLogMessage& message) {
  return queue_->sync([&]() -> std::optional<std::string> {
    std::string line(message.message());
    for (const auto& formatter : formatters_) {
      auto next = formatter->formatLogMessage(*logMessageForLine(std::move(line), message));
      if (!next) return std::nullopt;
      line = std::move(*next);
    }
    return line;
  });
}

std::vector<DDLogFormatterPtr> DDMultiFormatter::formatters() const {
  return queue_->sync([&] { return formatters_; });
}

void DDMultiFormatter::addFormatter(DDLogFormatterPtr formatter) {
  if (!formatter) return;
  queue_->asyncBarrier(
      [this, formatter = std::move(formatter)] { formatters_.push_back(formatter); });
}

void DDMultiFormatter::removeFormatter(const DDLogFormatterPtr& formatter) {
  queue_->asyncBarrier([this, formatter] { std::erase(formatters_, formatter); });
}

void DDMultiFormatter::removeAllFormatters() {
  queue_->asyncBarrier([this] { formatters_.clear(); });
}

bool DDMultiFormatter::isFormattingWithFormatter(const DDLogFormatterPtr& formatter) const {
  return queue_->sync([&] {
    return std::find(formatters_.begin(), formatters_.end(), formatter) != formatters_.end();
  });
}
