#pragma once
// The terminal logger: writes each record to standard error, coloured by its flag, context or
// tag when colours are enabled and the terminal supports them (DDTTYLoggerColorProfile.h).
//
// Line layout. With a formatter that changes the text, the line is the formatter's text
// (followed by "\n" when it lacks one and automaticallyAppendNewlineForCustomFormatters is on).
// Without a formatter, or with one that passes the text through unchanged (a filter), the line
// is
//   "2026-12-05 15:16:49:123 myapp[4242:4243] text\n"
// i.e. the local time, the process name ("<UnnamedApp>" when it has none), the pid and the first
// 8 characters of the thread id. Colour codes wrap the whole line: foreground, background, the
// line, reset. Each line reaches standard error in one gathered write, so lines of concurrent
// processes do not interleave within a line.
//
// Colour choice: the profile stored for the record's tag, when there is one; otherwise the first
// flag profile that shares a bit with the record's flag and has the record's context; failing
// that, the last such profile for every context. Enabling colours with no flag profile loads
// the defaults: errors in red-orange (214, 57, 30), warnings in amber (204, 121, 32).
//
// One per process: the shared instance, or the one make() returns while there is no shared
// instance (make() then gives none). Making one prints a hint towards the system-log logger on
// the diagnostic channel.
//
// Threads. Profiles and the colours flag live on the logger queue. Colour changes and
// setColorsEnabled run at once when called on that queue, else are queued through the global
// logging queue (DDLoggerQueueAccess.h); calling them on the global logging queue is refused.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "logging/DDAbstractLogger.h"
#include "logging/DDTTYLoggerColorProfile.h"

class DDTTYLogger final : public DDAbstractLogger {
  struct Passkey {};

 public:
  static constexpr std::string_view kLoggerName = "orvel.quillmark.ttyLogger";

  static const std::shared_ptr<DDTTYLogger>& sharedInstance();
  // A terminal logger, or none once the shared instance exists.
  static std::shared_ptr<DDTTYLogger> make();
  explicit DDTTYLogger(Passkey);

  std::string loggerName() const override { return std::string(kLoggerName); }
  void logMessage(const DDLogMessagePtr& message) override;

  bool colorsEnabled();
  void setColorsEnabled(bool enabled);
  void loadDefaultColorProfiles();

  void setForegroundColor(std::optional<DDColor> foreground, std::optional<DDColor> background,
                          DDLogFlag mask,
                          std::int64_t context = DDTTYLoggerColorProfile::kAllContexts);
  // The tag must be given ("Invalid tag" otherwise).
  void setForegroundColorForTag(std::optional<DDColor> foreground,
                                std::optional<DDColor> background, DDLogObjectPtr tag);
  void clearColorsForFlag(DDLogFlag mask,
                          std::int64_t context = DDTTYLoggerColorProfile::kAllContexts);
  void clearColorsForTag(DDLogObjectPtr tag);
  void clearColorsForAllFlags();
  void clearColorsForAllTags();
  void clearAllColors();

  bool automaticallyAppendNewlineForCustomFormatters() const { return appendNewline_.load(); }
  void setAutomaticallyAppendNewlineForCustomFormatters(bool value) { appendNewline_ = value; }

  const std::string& appName() const { return appName_; }
  const std::string& processID() const { return processID_; }

 private:
  struct TagHash {
    std::size_t operator()(const DDLogObjectPtr& tag) const {
      return DDLogObject::hashOf(tag.get());
    }
  };
  struct TagEqual {
    bool operator()(const DDLogObjectPtr& a, const DDLogObjectPtr& b) const {
      return DDLogObject::equal(a.get(), b.get());
    }
  };
  using Profile = std::shared_ptr<const DDTTYLoggerColorProfile>;

  void changeProfiles(const char* operation, std::function<void()> change);
  void lt_loadDefaultColorProfiles();
  const DDTTYLoggerColorProfile* lt_profileFor(const DDLogMessage& message) const;

  const std::string appName_;
  const std::string processID_;
  std::atomic<bool> appendNewline_{true};
  // Logger-queue state (the flag is atomic so that a refused getter can still answer).
  std::atomic<bool> colorsEnabled_{false};
  std::vector<Profile> colorProfilesArray_;
  std::unordered_map<DDLogObjectPtr, Profile, TagHash, TagEqual> colorProfilesDict_;
};
