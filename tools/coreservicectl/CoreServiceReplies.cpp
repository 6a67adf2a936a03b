#include "tools/coreservicectl/CoreServiceReplies.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "contract/CoreServiceContract.h"
#include "platform/xpc/Message.h"
#include "platform/base/Utf8.h"

namespace coreservicectl {

using platform::xpc::Value;

namespace {

// 10000-01-01T00:00:00Z: later timestamps cannot be shown as a date with four-digit years.
constexpr double kLatestTimestamp = 253402300800.0;

std::string utcText(double secondsSince1970) {
  const double whole = std::floor(secondsSince1970);
  const time_t t = static_cast<time_t>(whole);
  tm utc{};
  if (!::gmtime_r(&t, &utc)) return "?";
  char buf[48];
  const int ms = static_cast<int>((secondsSince1970 - whole) * 1000.0);
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d UTC", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
  return buf;
}

bool isBidiControl(char32_t code) {
  return code == 0x061c || code == 0x200e || code == 0x200f || (code >= 0x202a && code <= 0x202e) ||
         (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::optional<StatusReport> statusFromReply(const Value& replyArguments) {
  if (!replyArguments.is_array() || replyArguments.size() != 1) return std::nullopt;
  const Value& dict = replyArguments[0];
  if (!dict.is_object() || dict.size() != 2) return std::nullopt;
  const auto daemon = dict.find(std::string(coreservice::kStatusDaemonKey));
  const auto timestamp = dict.find(std::string(coreservice::kStatusTimestampKey));
  if (daemon == dict.end() || !daemon->is_string() || timestamp == dict.end() ||
      !timestamp->is_number_float()) {
    return std::nullopt;
  }
  const double seconds = timestamp->get<double>();
  if (!(seconds >= 0.0 && seconds < kLatestTimestamp)) return std::nullopt;  // also NaN
  return StatusReport{daemon->get<std::string>(), seconds};
}

bool isPingReply(const Value& replyArguments) {
  return replyArguments.is_array() && replyArguments.empty();
}

std::string terminalSafe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char escape[16];
  while (!text.empty()) {
    char32_t code = 0;
    std::size_t length = platform::base::decodeUtf8(text, code);
    if (length == 0) {
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[0]));
      out += escape;
      length = 1;
    } else if (code < 0x20 || code == 0x7f) {
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(code));
      out += escape;
    } else if ((code >= 0x80 && code <= 0x9f) || isBidiControl(code)) {
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
      out += escape;
    } else if (code == '\\') {
      out += "\\\\";
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return out;
}

std::string formatStatus(const StatusReport& status) {
  char timestamp[64];
  std::snprintf(timestamp, sizeof timestamp, "%.6f", status.timestamp);
  return "CoreService daemon: " + terminalSafe(status.daemon) +
         "\nTimestamp: " + utcText(status.timestamp) + " (" + timestamp + ")\n";
}

std::string formatStatusJson(const StatusReport& status) {
  const Value dict = {{std::string(coreservice::kStatusDaemonKey), status.daemon},
                      {std::string(coreservice::kStatusTimestampKey), status.timestamp}};
  // ASCII only: every control and non-ASCII character becomes a \u escape.
  return dict.dump(-1, ' ', /*ensure_ascii=*/true, Value::error_handler_t::replace) + "\n";
}

}  // namespace coreservicectl
