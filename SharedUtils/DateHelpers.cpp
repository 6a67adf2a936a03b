#include "SharedUtils/DateHelpers.h"

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/numfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "SharedUtils/StringUtilities.h"

namespace sharedutils {
namespace {

// ICU formatters are not safe for concurrent formatting, so the shared one has a lock.
struct SharedDateFormatter {
  std::mutex mutex;
  std::unique_ptr<icu::DateFormat> format;

  SharedDateFormatter() {
    format.reset(icu::DateFormat::createDateTimeInstance(
        icu::DateFormat::kShort, icu::DateFormat::kShort, icu::Locale::getDefault()));
    // A copy of the current zone: later changes of the default do not reach this formatter.
    if (format) format->adoptTimeZone(icu::TimeZone::createDefault());
  }
};

SharedDateFormatter& sharedDateFormatter() {
  static SharedDateFormatter formatter;
  return formatter;
}

std::optional<std::string_view> stringIn(const std::any& value) {
  if (const auto* s = std::any_cast<std::string>(&value)) return *s;
  if (const auto* s = std::any_cast<std::string_view>(&value)) return *s;
  if (const auto* s = std::any_cast<const char*>(&value); s && *s) return std::string_view(*s);
  return std::nullopt;
}

}  // namespace

std::string localizedString(Date date) {
  auto& shared = sharedDateFormatter();
  if (!shared.format) return {};
  const auto millis = std::chrono::duration<double, std::milli>(date.time_since_epoch()).count();
  icu::UnicodeString text;
  {
    std::lock_guard lock(shared.mutex);
    shared.format->format(static_cast<UDate>(millis), text);
  }
  std::string out;
  text.toUTF8String(out);
  return out;
}

double elapsedTimeSinceNow(Date date) {
  return std::chrono::duration<double>(std::chrono::system_clock::now() - date).count();
}

TimeComponents timeComponents(std::int64_t seconds) {
  return TimeComponents{seconds / 86400, (seconds / 3600) % 24, (seconds / 60) % 60, seconds % 60};
}

std::string noSeparators(std::int64_t value) {
  // Made again only when the default locale has changed since this thread's last call.
  thread_local std::string cachedLocale;
  thread_local std::unique_ptr<icu::NumberFormat> cached;
  const icu::Locale locale = icu::Locale::getDefault();
  if (!cached || cachedLocale != locale.getName()) {
    UErrorCode status = U_ZERO_ERROR;
    cached.reset(icu::NumberFormat::createInstance(locale, status));
    if (U_FAILURE(status) || !cached) {
      cached.reset();
      return {};
    }
    cached->setGroupingUsed(false);
    cachedLocale = locale.getName();
  }
  icu::UnicodeString text;
  cached->format(static_cast<int64_t>(value), text);
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::string stringFromHttpParameters(const HttpParameters& parameters) {
  std::string out;
  bool first = true;
  for (const auto& [key, value] : parameters) {
    if (!first) out.push_back('&');
    first = false;
    const auto keyText = stringIn(key);
    const auto valueText = stringIn(value);
    if (!keyText || !valueText) continue;
    auto encodedKey = stringByAddingPercentEncodingForURLQueryValue(*keyText);
    auto encodedValue = stringByAddingPercentEncodingForURLQueryValue(*valueText);
    if (!encodedKey || !encodedValue) continue;
    out.append(*encodedKey).append("=").append(*encodedValue);
  }
  return out;
}

}  // namespace sharedutils
