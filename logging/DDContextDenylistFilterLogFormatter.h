#pragma once
// Suppresses a record whose context is on the denylist and passes every other record's text
// unchanged: with an empty list everything passes. Safe to share between loggers.
// The blacklist names are older names of the same operations.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "logging/DDLogFormatter.h"
#include "logging/DDLoggingContextSet.h"

class DDContextDenylistFilterLogFormatter : public DDLogFormatter {
 public:
  void addToDenylist(std::int64_t context) { contextSet_.addToSet(context); }
  void removeFromDenylist(std::int64_t context) { contextSet_.removeFromSet(context); }
  // The contexts on the list, in no particular order.
  std::vector<std::int64_t> denylist() const { return contextSet_.currentSet(); }
  bool isOnDenylist(std::int64_t context) const { return contextSet_.isInSet(context); }

  void addToBlacklist(std::int64_t context) { addToDenylist(context); }
  void removeFromBlacklist(std::int64_t context) { removeFromDenylist(context); }
  std::vector<std::int64_t> blacklist() const { return denylist(); }
  bool isOnBlacklist(std::int64_t context) const { return isOnDenylist(context); }

  std::optional<std::string> formatLogMessage(const DDLogMessage& message) override;

 private:
  DDLoggingContextSet contextSet_;
};

// The older name of the same filter.
using DDContextBlacklistFilterLogFormatter = DDContextDenylistFilterLogFormatter;
