#pragma once
// The settings store: the client's fixed table of named settings, each bound to one key of a
// defaults domain, with its value type and default.
//
// Each setting is reached by name in the namespace `UserDefaults` and offers
//   wrappedValue()                 read (a missing or unreadable value reads as the default),
//   setWrappedValue(v)             write by the write rule of PublishedUserDefault,
//   modifyWrappedValue(f)          in-place modification (read, change, write back),
//   projectedValue()               the setting's publisher,
// for example `UserDefaults::alwaysOnEnabled.setWrappedValue(true)`. The setting's
// PublishedUserDefault is made on the first of these calls, once per process even when threads
// race to it, and lives until the process ends.
//
// Four settings (oldBypassModeEnabled, demHwEnabled, demHwDataUploadIntervals,
// demPopProbeEnabledOutOfTunnel) read an override from the process's standard domain first and
// have no publisher of their own: observers use the backing setting's (the same name with a
// leading underscore). Two settings (serverAddress, sssReferenceId) log the value read back after
// every write.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "SharedUtils/Keys.h"
#include "SharedUtils/PublishedUserDefault.h"

namespace sharedutils::UserDefaults {

// Where a setting lives: the app-group suite (`shared`, or the standard domain when the suite is
// refused) or the process's own standard domain.
enum class SettingDomain { Suite, Standard };

// Every setting as (value type, name, Keys member, default, domain, hook run after each write).
#define SHAREDUTILS_SETTINGS(X)                                                                    \
  X(Date, lastKnowTimeForBypassClockTamperDetection, lastKnowTimeForBypassClockTamperDetection,    \
    detail::now(), Suite, nullptr)                                                                 \
  X(bool, hasAgreedToTermsAndConditions, hasAgreedToTermsAndConditions, false, Suite, nullptr)     \
  X(bool, alwaysOnEnabled, alwaysOnEnabled, false, Suite, nullptr)                                 \
  X(std::optional<std::string>, newUsersStaticIP, newUsersStaticIP, std::nullopt, Standard,        \
    nullptr)                                                                                       \
  X(bool, allowManualPopChange, allowManualPopChange, false, Suite, nullptr)                       \
  X(bool, failOpenAllowed, failOpenAllowed, false, Suite, nullptr)                                 \
  X(bool, failOpenActive, failOpenActive, false, Suite, nullptr)                                   \
  X(std::optional<std::string>, currentUser, currentUser, std::nullopt, Suite, nullptr)            \
  X(std::optional<std::string>, currentAccount, currentAccount, std::nullopt, Suite, nullptr)      \
  X(std::optional<std::string>, accountId, accountId, std::nullopt, Suite, nullptr)                \
  X(std::optional<std::string>, workspace, workspace, std::nullopt, Suite, nullptr)                \
  X(std::optional<std::string>, siteId, siteId, std::nullopt, Suite, nullptr)                      \
  X(std::optional<bool>, captivePortalDetected, captivePortalDetected, std::nullopt, Suite,        \
    nullptr)                                                                                       \
  X(std::optional<std::int64_t>, connectionIsInitiatedByUser, connectionIsInitiatedByUser,         \
    std::nullopt, Suite, nullptr)                                                                  \
  X(bool, bypassFeatureAllowed, bypassFeatureAllowed, false, Suite, nullptr)                       \
  X(bool, bypassRequiresCode, bypassRequiresCode, false, Suite, nullptr)                           \
  X(bool, _oldBypassModeEnabled, oldBypassModeEnabled, true, Suite, nullptr)                       \
  X(std::optional<Date>, bypassModeEndTime, bypassModeEndTime, std::nullopt, Suite, nullptr)       \
  X(double, bypassModeTimeSec, bypassModeTimeSec, 900.0, Suite, nullptr)                           \
  X(bool, allowChangingUserOnNewBypassMode, allowChangingUserOnNewBypassMode, false, Suite,        \
    nullptr)                                                                                       \
  X(bool, globalOnDemandEnabled, globalOnDemandEnabled, true, Suite, nullptr)                      \
  X(std::optional<Date>, userDownloadLogsDate, userDownloadLogsDate, std::nullopt, Suite, nullptr) \
  X(std::optional<std::string>, userLogsFileName, userLogsFileName, std::nullopt, Suite, nullptr)  \
  X(std::optional<Date>, userSendLogsCreationDate, userSendLogsCreationDate, std::nullopt, Suite,  \
    nullptr)                                                                                       \
  X(std::optional<Data>, silentSendLogsState, silentSendLogsState, std::nullopt, Suite, nullptr)   \
  X(std::optional<std::int64_t>, supportType, supportType, std::nullopt, Suite, nullptr)           \
  X(std::optional<std::string>, contactSupportMessage, contactSupportMessage, std::nullopt, Suite, \
    nullptr)                                                                                       \
  X(std::int64_t, globalCaptivePortalDetectionEnabled, globalCaptivePortalDetectionEnabled, 1,     \
    Suite, nullptr)                                                                                \
  X(bool, officeModeUserConfigurable, officeModeUserConfigurable, false, Suite, nullptr)           \
  X(bool, officeModeEnabledByUser, officeModeEnabledByUser, true, Suite, nullptr)                  \
  X(bool, versionAtEndOfLife, versionAtEndOfLife, false, Suite, nullptr)                           \
  X(std::int64_t, forceExternalBrowser, forceExternalBrowser, 0, Suite, nullptr)                   \
  X(std::optional<bool>, isSystemExtensionInstalled, isSystemExtensionInstalled, std::nullopt,     \
    Suite, nullptr)                                                                                \
  X(bool, confidenceLevelsEnabled, confidenceLevelsEnabled, true, Suite, nullptr)                  \
  X(bool, hidePrivateAccessBannerGPenabled, hidePrivateAccessBannerGPenabled, false, Suite,        \
    nullptr)                                                                                       \
  X(bool, hidePrivateAccessBanner, hidePrivateAccessBanner, false, Suite, nullptr)                 \
  X(bool, hideConnectionTimer, hideConnectionTimer, false, Suite, nullptr)                         \
  X(bool, disablePrivateAccess, disablePrivateAccess, false, Suite, nullptr)                       \
  X(bool, allowDisablePrivateAccess, allowDisablePrivateAccess, false, Suite, nullptr)             \
  X(StringMap, disablePrivateAccessRanges, disablePrivateAccessRanges, StringMap{}, Suite,         \
    nullptr)                                                                                       \
  X(std::optional<std::string>, serverAddress, serverAddress, std::nullopt, Suite,                 \
    &detail::didSetServerAddress)                                                                  \
  X(bool, forceCleanSteeringFiles, forceCleanSteeringFiles, false, Suite, nullptr)                 \
  X(std::optional<bool>, usingSteering, usingSteering, std::nullopt, Suite, nullptr)               \
  X(std::optional<Data>, excludeRoutes, excludeRoutes, std::nullopt, Suite, nullptr)               \
  X(std::optional<Data>, includeRoutes, includeRoutes, std::nullopt, Suite, nullptr)               \
  X(std::optional<std::int64_t>, upgradeMode, upgradeMode, std::nullopt, Suite, nullptr)           \
  X(std::optional<std::string>, upgradeVersion, upgradeVersion, std::nullopt, Suite, nullptr)      \
  X(std::optional<std::string>, upgradeDownloadURL, upgradeDownloadURL, std::nullopt, Suite,       \
    nullptr)                                                                                       \
  X(std::uint32_t, sssReferenceId, sssReferenceId, 0, Suite, &detail::didSetSssReferenceId)        \
  X(bool, sssShouldCaptureInTunnel, sssShouldCaptureInTunnel, false, Suite, nullptr)               \
  X(std::int64_t, enableFastReconnectToMultiTunnel, enableFastReconnectToMultiTunnel, 0, Suite,    \
    nullptr)                                                                                       \
  X(std::optional<std::string>, reconnectionAuthWorkspace, reconnectionAuthWorkspace,              \
    std::nullopt, Suite, nullptr)                                                                  \
  X(std::optional<Data>, unauthTokenRef, unauthTokenRef, std::nullopt, Suite, nullptr)             \
  X(bool, appIsHidden, appIsHidden, false, Suite, nullptr)                                         \
  X(std::optional<DataList>, identityRefs, identityRefs, std::nullopt, Suite, nullptr)             \
  X(std::optional<std::string>, computerName, computerName, std::nullopt, Suite, nullptr)          \
  X(std::int64_t, activeProducts, activeProducts, 0, Suite, nullptr)                               \
  X(bool, dpCheckEnable, dpCheckEnable, true, Suite, nullptr)                                      \
  X(bool, dpCacheEnable, dpCacheEnable, false, Suite, nullptr)                                     \
  X(std::int32_t, dpCacheRefreshIntervalSec, dpCacheRefreshIntervalSec, 600, Suite, nullptr)       \
  X(std::uint64_t, postureRequirements, postureRequirements, 18446744073709551615ULL, Suite,       \
    nullptr)                                                                                       \
  X(std::uint32_t, dpMaxWaitOnRunningCollectionSec, dpMaxWaitOnRunningCollectionSec, 10, Suite,    \
    nullptr)                                                                                       \
  X(std::uint32_t, postureConfigVersion, postureConfigVersion, 0, Suite, nullptr)                  \
  X(std::string, postureConfigStr, postureConfigStr, std::string(), Suite, nullptr)                \
  X(std::optional<Date>, cachePBWrittenDate, cachePBWrittenDate, std::nullopt, Suite, nullptr)     \
  X(std::uint64_t, deviceId, deviceId, 0, Suite, nullptr)                                          \
  X(bool, feedbackAllowed, feedbackAllowed, true, Suite, nullptr)                                  \
  X(bool, feedbackNotificationsAllowed, feedbackNotificationsAllowed, true, Suite, nullptr)        \
  X(double, userLongitude, userLongitude, 0.0, Suite, nullptr)                                     \
  X(double, userLatitude, userLatitude, 0.0, Suite, nullptr)                                       \
  X(std::string, userCountryCode, userCountryCode, std::string(), Suite, nullptr)                  \
  X(bool, enableLanBlocking, enableLanBlocking, false, Suite, nullptr)                             \
  X(bool, keepLocalProxy, keepLocalProxy, false, Suite, nullptr)                                   \
  X(bool, tunnelApiIgnorePrivateIP, tunnelApiIgnorePrivateIP, false, Suite, nullptr)               \
  X(std::int64_t, sleepInactivityTimeoutMin, sleepInactivityTimeoutMin, 15, Suite, nullptr)        \
  X(std::optional<Date>, sessionExpirationTime, sessionExpirationTime, std::nullopt, Suite,        \
    nullptr)                                                                                       \
  X(bool, _demHwEnabled, demHwEnabled, true, Suite, nullptr)                                       \
  X(std::int64_t, _demHwDataUploadIntervals, demHwDataUploadIntervals, 30, Suite, nullptr)         \
  X(bool, _demPopProbeEnabledOutOfTunnel, demPopProbeEnabledOutOfTunnel, false, Suite, nullptr)    \
  X(bool, demPopProbeEnabledInTunnel, demPopProbeEnabledInTunnel, false, Suite, nullptr)           \
  X(bool, enablePopBlackListMgr, enablePopBlackListMgr, true, Suite, nullptr)                      \
  X(std::optional<std::string>, multiRegionClientUpgradeUrl, multiRegionClientUpgradeUrl,          \
    std::nullopt, Suite, nullptr)                                                                  \
  X(std::optional<std::string>, multiRegionClientTelemetryUrl, multiRegionClientTelemetryUrl,      \
    std::nullopt, Suite, nullptr)                                                                  \
  X(std::optional<std::string>, multiRegionClientFeedbackUrl, multiRegionClientFeedbackUrl,        \
    std::nullopt, Suite, nullptr)                                                                  \
  X(std::optional<std::string>, multiRegionClientLogsUploadUrl, multiRegionClientLogsUploadUrl,    \
    std::nullopt, Suite, nullptr)                                                                  \
  X(bool, multiRegionIsAllowedFallbackToLegacyOverride,                                            \
    multiRegionIsAllowedFallbackToLegacyOverride, true, Standard, nullptr)                         \
  X(bool, restrictedAccessSSOLogin, restrictedAccessSSOLogin, false, Suite, nullptr)               \
  X(bool, includeAPNsInTunnel, includeAPNsInTunnel, true, Suite, nullptr)                          \
  X(bool, localDNSServer, localDNSServer, false, Suite, nullptr)                                   \
  X(bool, runSteeringAfterWake, runSteeringAfterWake, true, Suite, nullptr)                        \
  X(bool, enableEPPTokenEntry, enableEPPTokenEntry, false, Standard, nullptr)                      \
  X(bool, forceDNSInOfficeModeTest, forceDNSInOfficeModeTest, true, Standard, nullptr)             \
  X(std::optional<Date>, connectionMonitorLastLogUploadTime, connectionMonitorLastLogUploadTime,   \
    std::nullopt, Suite, nullptr)                                                                  \
  X(std::optional<std::string>, lastPendingLogsUploadLocation, lastPendingLogsUpload,              \
    std::nullopt, Suite, nullptr)                                                                  \
  X(std::optional<std::uint32_t>, lastPendingLogsReferenceId, lastPendingLogsReferenceId,          \
    std::nullopt, Suite, nullptr)                                                                  \
  X(bool, isPerAppVPN, isPerAppVPN, false, Suite, nullptr)                                         \
  X(bool, developerShowClock, developerShowClock, false, Standard, nullptr)                        \
  X(bool, developerShowScreen, developerShowScreen, false, Standard, nullptr)                      \
  X(bool, isFeatureEnabledSleepAndKeepTunnel_iOS, isFeatureEnabledSleepAndKeepTunnel_iOS, false,   \
    Suite, nullptr)                                                                                \
  X(bool, isFeatureEnabledSleepAndKeepTunnel_macOS, isFeatureEnabledSleepAndKeepTunnel_macOS,      \
    false, Suite, nullptr)                                                                         \
  X(bool, isFeatureEnabledReconnectOnDistantPop, isFeatureEnabledReconnectOnDistantPop, false,     \
    Suite, nullptr)                                                                                \
  /* end */

namespace detail {
// The current time, to the nanosecond.
Date now();
void didSetServerAddress(const std::optional<std::string>& readBack);
void didSetSssReferenceId(const std::uint32_t& readBack);
void logOldBypassModeEnabled(const bool& value);
void logDemHwEnabled(const bool& value);
void logDemHwDataUploadIntervals(const std::int64_t& value);
void logDemPopProbeEnabledOutOfTunnel(const bool& value);

#define SHAREDUTILS_DECLARE_SETTING(type, name, keyMember, defaultValue, domain, hook) \
  PublishedUserDefault<type>& name();
SHAREDUTILS_SETTINGS(SHAREDUTILS_DECLARE_SETTING)
#undef SHAREDUTILS_DECLARE_SETTING
}  // namespace detail

// A named setting of the table.
template <class Value>
struct Setting {
  PublishedUserDefault<Value>& (*object)();
  // Run after every write with the value read back (the settings that log their writes).
  void (*didSet)(const Value& readBack) = nullptr;

  Value wrappedValue() const { return object().wrappedValue(); }
  void setWrappedValue(const Value& v) const {
    object().setWrappedValue(v);
    if (didSet) didSet(object().wrappedValue());
  }
  void modifyWrappedValue(const std::function<void(Value&)>& change) const {
    object().modifyWrappedValue(change);
    if (didSet) didSet(object().wrappedValue());
  }
  typename PublishedUserDefault<Value>::Publisher& projectedValue() const {
    return object().projectedValue();
  }
};

// A setting whose read first looks for an override in the standard domain. Writes go to the
// backing setting and never touch the override.
template <class Value>
struct OverriddenSetting {
  PublishedUserDefault<Value>& (*backing)();
  const char* overrideKey;
  // Logs that the override was used, with its value.
  void (*logOverride)(const Value& value);

  Value wrappedValue() const {
    if (auto domain = standardDefaults()) {
      if (auto v = sharedutils::detail::readAs<Value>(domain->object(overrideKey))) {
        logOverride(*v);
        return *v;
      }
    }
    return backing().wrappedValue();
  }
  void setWrappedValue(const Value& v) const { backing().setWrappedValue(v); }
  void modifyWrappedValue(const std::function<void(Value&)>& change) const {
    backing().modifyWrappedValue(change);
  }
};

#define SHAREDUTILS_SETTING_HANDLE(type, name, keyMember, defaultValue, domain, hook) \
  inline constexpr Setting<type> name{&detail::name, hook};
SHAREDUTILS_SETTINGS(SHAREDUTILS_SETTING_HANDLE)
#undef SHAREDUTILS_SETTING_HANDLE

inline constexpr OverriddenSetting<bool> oldBypassModeEnabled{
    &detail::_oldBypassModeEnabled, "oldBypassModeEnabled", &detail::logOldBypassModeEnabled};
inline constexpr OverriddenSetting<bool> demHwEnabled{&detail::_demHwEnabled, "demHwEnabled",
                                                      &detail::logDemHwEnabled};
inline constexpr OverriddenSetting<std::int64_t> demHwDataUploadIntervals{
    &detail::_demHwDataUploadIntervals, "demHwDataUploadIntervals",
    &detail::logDemHwDataUploadIntervals};
inline constexpr OverriddenSetting<bool> demPopProbeEnabledOutOfTunnel{
    &detail::_demPopProbeEnabledOutOfTunnel, "demPopProbeEnabled",
    &detail::logDemPopProbeEnabledOutOfTunnel};

}  // namespace sharedutils::UserDefaults
