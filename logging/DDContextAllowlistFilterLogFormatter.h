#pragma once
// Passes a record's text unchanged when the record's context is on the allowlist, and suppresses
// the record otherwise: with an empty list nothing passes. Safe to share between loggers.
// The whitelist names are older names of the same operations.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "logging/DDLogFormatter.h"
#include "logging/DDLoggingContextSet.h"

class DDContextAllowlistFilterLogFormatter : public DDLogFormatter {
 public:
  void addToAllowlist(std::int64_t context) { contextSet_.addToSet(context); }
  void removeFromAllowlist(std::int64_t context) { contextSet_.removeFromSet(context); }
  // The contexts on the list, in no particular order.
  std::vector<std::int64_t> allowlist() const { return contextSet_.currentSet(); }
  bool isOnAllowlist(std::int64_t context) const { return contextSet_.isInSet(context); }

  void addToWhitelist(std::int64_t context) { addToAllowlist(context); }
  void removeFromWhitelist(std::int64_t context) { removeFromAllowlist(context); }
  std::vector<std::int64_t> whitelist() const { return allowlist(); }
  bool isOnWhitelist(std::int64_t context) const { return isOnAllowlist(context); }

  std::optional<std::string> formatLogMessage(const DDLogMessage& message) override;

 private:
  DDLoggingContextSet contextSet_;
};

// The older name of the same filter.
using DDContextWhitelistFilterLogFormatter = DDContextAllowlistFilterLogFormatter;
