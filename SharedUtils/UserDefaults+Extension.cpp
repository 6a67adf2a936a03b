// GCC 12 reports std::optional of vectors as maybe-uninitialized when inlining with the
// sanitizers on; the values are always constructed before use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "SharedUtils/UserDefaults+Extension.h"

#include <atomic>
#include <new>
#include <string_view>

#include "logging/DDLogFrontEnd.h"
#include "platform/base/NoDestructor.h"

// Logs with `function` as the record's function name: the setting's name rather than the C++
// function's.
#define SHAREDUTILS_LOG_AS(flagValue, function, ...) \
  DDLogAt(flagValue, __FILE__, function, __VA_ARGS__)

namespace sharedutils {

std::shared_ptr<platform::defaults::Domain> shared() {
  return platform::defaults::Domain::suite(std::string(suiteName));
}

std::shared_ptr<platform::defaults::Domain> standardDefaults() {
  return platform::defaults::Domain::standard();
}

namespace UserDefaults {

namespace {

// Settings live until the process ends: their objects are never destroyed, so a change delivered
// while the process exits never reaches a destroyed setting.
using platform::base::NoDestructor;

std::shared_ptr<platform::defaults::Domain> containerFor(SettingDomain domain) {
  // A suite setting names no domain: PublishedUserDefault takes `shared`, or the standard
  // domain when the suite is refused.
  return domain == SettingDomain::Standard ? standardDefaults() : nullptr;
}

}  // namespace

namespace detail {

Date now() {
  return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
}

// Function-local statics: made on first use, exactly once even when threads race to it.
#define SHAREDUTILS_DEFINE_SETTING(type, name, keyMember, defaultValue, domain, hook)            \
  PublishedUserDefault<type>& name() {                                                           \
    static NoDestructor<PublishedUserDefault<type>> object(Keys::keyMember, type(defaultValue),  \
                                                           containerFor(SettingDomain::domain)); \
    return *object;                                                                              \
  }
SHAREDUTILS_SETTINGS(SHAREDUTILS_DEFINE_SETTING)
#undef SHAREDUTILS_DEFINE_SETTING

void didSetServerAddress(const std::optional<std::string>& readBack) {
  SHAREDUTILS_LOG_AS(::DDLogFlag::debug, "serverAddress", "didSet serverAddress (static ip):%@",
                     readBack ? *readBack : std::string("default"));
}

void didSetSssReferenceId(const std::uint32_t& readBack) {
  SHAREDUTILS_LOG_AS(::DDLogFlag::debug, "sssReferenceId", "didSet sssReferenceId:%u", readBack);
}

void logOldBypassModeEnabled(const bool& value) {
  SHAREDUTILS_LOG_AS(::DDLogFlag::info, "oldBypassModeEnabled",
                     "Old Bypass mode enabled set to: %d", value ? 1 : 0);
}

void logDemHwEnabled(const bool& value) {
  SHAREDUTILS_LOG_AS(::DDLogFlag::info, "demHwEnabled", "DEM Hardware metrics enabled set to: %d",
                     value ? 1 : 0);
}

void logDemHwDataUploadIntervals(const std::int64_t& value) {
  SHAREDUTILS_LOG_AS(::DDLogFlag::info, "demHwDataUploadIntervals",
                     "DEM Hardware metrics upload interval set to: %lld",
                     static_cast<long long>(value));
}

void logDemPopProbeEnabledOutOfTunnel(const bool& value) {
  SHAREDUTILS_LOG_AS(::DDLogFlag::info, "demPopProbeEnabledOutOfTunnel",
                     "DEM POP probe out of tunnel set to: %d", value ? 1 : 0);
}

}  // namespace detail
}  // namespace UserDefaults
}  // namespace sharedutils
