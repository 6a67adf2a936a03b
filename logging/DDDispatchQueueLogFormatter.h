#pragma once
// A formatter that labels each line with where it was logged from:
//
//   "2026-12-05 15:16:49:123 [main (QOS:UI)] Accepted new connection"
//
// i.e. the record's local time ("yyyy-MM-dd HH:mm:ss:SSS"), then in brackets the queue or thread
// label and the quality-of-service tag, then the record's text.
//
// The label is the record's queue label, unless it is empty or names one of the process-wide
// global queues (those are shared by everybody and say nothing about the caller); then the
// thread's name when it has one; in both cases a replacement set for that label is written
// instead (the main queue's label is replaced by "main" from the start). Failing both, the label
// is the thread identifier, never replaced. A label longer than maxQueueLength (when above 0) is
// cut to it; otherwise one shorter than minQueueLength is padded with blanks. Lengths count
// characters (UTF-8 code points), not bytes.
//
// Quality-of-service tags: background "BG", utility "UT", default "DF", user-initiated "IN",
// user-interactive "UI", anything else (unspecified included) "UN".
//
// One instance may be shared by loggers on different queues: the replacement table is guarded
// by a mutex, the lengths are atomics, and the date text keeps no shared state.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "logging/DDLogFormatter.h"

class DDDispatchQueueLogFormatter : public DDLogFormatter {
 public:
  using Timestamp = std::chrono::system_clock::time_point;
  // Turns a record's time into text; must be safe to call from several threads at once.
  using DateFormatter = std::function<std::string(Timestamp)>;
  // Kept for callers that choose one; every mode behaves the same.
  enum class Mode { shareable, nonShareable };

  DDDispatchQueueLogFormatter();
  explicit DDDispatchQueueLogFormatter(Mode mode);

  std::optional<std::string> replacementStringForQueueLabel(std::string_view label) const;
  // Writes `replacement` instead of `label`; an absent replacement removes the entry.
  void setReplacementString(std::optional<std::string> replacement, std::string label);

  // The date formatter used for every record, made on first use by createDateFormatter().
  // Subclasses may override it to change the pattern or the time zone.
  virtual DateFormatter createDateFormatter() const;
  std::string stringFromDate(Timestamp date) const;

  // The label in brackets, before cutting or padding.
  virtual std::string queueThreadLabelForLogMessage(const DDLogMessage& message) const;
  std::optional<std::string> formatLogMessage(const DDLogMessage& message) override;

  std::uint64_t minQueueLength() const { return minQueueLength_.load(); }
  void setMinQueueLength(std::uint64_t length) { minQueueLength_ = length; }
  std::uint64_t maxQueueLength() const { return maxQueueLength_.load(); }
  void setMaxQueueLength(std::uint64_t length) { maxQueueLength_ = length; }

  // The tag for a record's quality-of-service value.
  static std::string_view qosTag(std::uint64_t qos);

 private:
  mutable std::once_flag dateFormatterOnce_;
  mutable DateFormatter dateFormatter_;
  mutable std::mutex mutex_;  // guards replacements_
  std::map<std::string, std::string, std::less<>> replacements_;
  std::atomic<std::uint64_t> minQueueLength_{0};
  std::atomic<std::uint64_t> maxQueueLength_{0};
};
