#include "platform/dispatch/Time.h"

#include <ctime>

namespace platform::dispatch {
namespace {

std::int64_t clockNow(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Adds without overflowing into the "forever" value or wrapping around.
std::int64_t saturatingAdd(std::int64_t base, std::int64_t delta) {
  if (delta > 0 && base > INT64_MAX - 1 - delta) return INT64_MAX - 1;
  if (delta < 0 && base < INT64_MIN - delta) return INT64_MIN;
  return base + delta;
}

}  // namespace

Time Time::now() {
  return Time(Clock::Monotonic, clockNow(CLOCK_MONOTONIC));
}

Time Time::after(std::chrono::nanoseconds delay) {
  if (delay == std::chrono::nanoseconds::max()) return forever();
  return Time(Clock::Monotonic, saturatingAdd(clockNow(CLOCK_MONOTONIC), delay.count()));
}

Time Time::monotonic(std::chrono::steady_clock::time_point when) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
  if (ns == INT64_MAX) ns = INT64_MAX - 1;  // "forever" is written only as forever()
  return Time(Clock::Monotonic, ns);
}

Time Time::wallNow() {
  return Time(Clock::Wall, clockNow(CLOCK_REALTIME));
}

Time Time::wallAfter(std::chrono::nanoseconds delay) {
  return Time(Clock::Wall, saturatingAdd(clockNow(CLOCK_REALTIME), delay.count()));
}

Time Time::wall(std::chrono::system_clock::time_point when) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
  // The largest wall deadline is one nanosecond short of "forever", which is a monotonic value.
  if (ns == INT64_MAX) ns = INT64_MAX - 1;
  return Time(Clock::Wall, ns);
}

std::chrono::nanoseconds Time::remaining() const {
  if (isForever()) return std::chrono::nanoseconds::max();
  std::int64_t now = clockNow(clock_ == Clock::Wall ? CLOCK_REALTIME : CLOCK_MONOTONIC);
  if (ns_ <= now) return std::chrono::nanoseconds::zero();
  return std::chrono::nanoseconds(ns_ - now);
}

}  // namespace platform::dispatch
