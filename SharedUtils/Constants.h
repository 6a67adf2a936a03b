#pragma once
// Fixed values shared by the client's processes: message names and spans of time in seconds.

#include <chrono>
#include <cmath>
#include <cstdint>

namespace sharedutils {

namespace StringConstants {
// The message that asks the tunnel to start on the user's behalf.
inline constexpr const char* startTunnelFromUI = "startTunnelFromUI";
}  // namespace StringConstants

// Spans of time as double-precision seconds, the unit every timer and duration here takes.
namespace TimeInterval {
inline constexpr double second = 1.0;
inline constexpr double minute = 60.0;
inline constexpr double hour = 3600.0;
inline constexpr double day = 86400.0;

// A span in seconds as nanoseconds for the clocks: negative and not-a-number spans are zero,
// spans beyond a century are a century (far beyond any timer here, and safe from overflow).
inline std::chrono::nanoseconds toNanoseconds(double seconds) {
  constexpr double kLongest = 100 * 365 * day;
  if (!(seconds > 0)) return std::chrono::nanoseconds::zero();
  if (seconds > kLongest) seconds = kLongest;
  return std::chrono::nanoseconds(static_cast<std::int64_t>(std::llround(seconds * 1e9)));
}
}  // namespace TimeInterval

}  // namespace sharedutils
