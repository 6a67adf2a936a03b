#pragma once
// A formatter that chains others: each formatter of the list, in order, formats a copy of the
// record whose text is what the one before it returned; the last one's text is the result. When
// one of them suppresses the record, the chain stops there and the record is suppressed.
//
// Formatting calls from different logger queues run at the same time, on the chain's concurrent
// queue; changes to the list are barrier items on that queue, so a change waits for the
// formatting that runs and formatting started after a change sees it. Changes are asynchronous;
// formatters() and isFormattingWithFormatter() wait for those queued before them.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logging/DDLogFormatter.h"
#include "logging/DDLogMessage.h"
#include "platform/dispatch/Queue.h"

class DDMultiFormatter : public DDLogFormatter {
 public:
  DDMultiFormatter();
  ~DDMultiFormatter() override;
  DDMultiFormatter(const DDMultiFormatter&) = delete;
  DDMultiFormatter& operator=(const DDMultiFormatter&) = delete;

  std::optional<std::string> formatLogMessage(const DDLogMessage& message) override;
  // A copy of `original` whose text is `line`.
  std::shared_ptr<DDLogMessage> logMessageForLine(std::string line,
                                                  const DDLogMessage& original) const;

  std::vector<DDLogFormatterPtr> formatters() const;
  void addFormatter(DDLogFormatterPtr formatter);
  // Removes every occurrence of `formatter`.
  void removeFormatter(const DDLogFormatterPtr& formatter);
  void removeAllFormatters();
  bool isFormattingWithFormatter(const DDLogFormatterPtr& formatter) const;

 private:
  const platform::dispatch::QueuePtr queue_;
  // Read by items on queue_, changed only by its barrier items.
  std::vector<DDLogFormatterPtr> formatters_;
};
