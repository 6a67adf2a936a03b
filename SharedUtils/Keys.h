#pragma once
// The settings keys: a value type wrapping one key string, with one static member per key the
// client uses. The strings are stored in the defaults domains exactly as written here.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace sharedutils {

// Every key as (member name, key string). The last four have no setting in the settings store;
// other parts of the client use them.
#define SHAREDUTILS_KEYS(X)                                                                       \
  X(lastKnowTimeForBypassClockTamperDetection, "lastKnowTime")                                    \
  X(hasAgreedToTermsAndConditions, "isAgreedToPrivatePolicy")                                     \
  X(alwaysOnEnabled, "isAlwaysOnEnabled")                                                         \
  X(newUsersStaticIP, "newUsersStaticIP")                                                         \
  X(allowManualPopChange, "allowManualPopChange")                                                 \
  X(failOpenAllowed, "failOpenAllowed")                                                           \
  X(failOpenActive, "failOpenActive")                                                             \
  X(currentUser, "user")                                                                          \
  X(currentAccount, "account")                                                                    \
  X(accountId, "accountId")                                                                       \
  X(workspace, "workspace")                                                                       \
  X(siteId, "siteId")                                                                             \
  X(captivePortalDetected, "captivePortalDetected")                                               \
  X(connectionIsInitiatedByUser, "isConnectionInitiatedByUser")                                   \
  X(bypassFeatureAllowed, "allowBypassFeature")                                                   \
  X(bypassRequiresCode, "bypassRequiresCode")                                                     \
  X(oldBypassModeEnabled, "oldBypassModeEnabled")                                                 \
  X(bypassModeEndTime, "bypassModeEndTime")                                                       \
  X(bypassModeTimeSec, "bypassModeTimeSec")                                                       \
  X(allowChangingUserOnNewBypassMode, "allowChangingUserOnNewBypassMode")                         \
  X(globalOnDemandEnabled, "setVpnOnDemand")                                                      \
  X(userDownloadLogsDate, "userDownloadLogsDate")                                                 \
  X(userLogsFileName, "userLogsFileName")                                                         \
  X(userSendLogsCreationDate, "userSendLogsCreationDate")                                         \
  X(silentSendLogsState, "silentSendLogsState")                                                   \
  X(supportType, "supportType")                                                                   \
  X(contactSupportMessage, "contactSupportMgs")                                                   \
  X(globalCaptivePortalDetectionEnabled, "global_CaptivePortalDetection")                         \
  X(officeModeUserConfigurable, "officeModeUserConfigurable")                                     \
  X(officeModeEnabledByUser, "officeModeEnabledByUser")                                           \
  X(versionAtEndOfLife, "appAtEndOfLife")                                                         \
  X(forceExternalBrowser, "global_ForceExternalBrowser")                                          \
  X(isSystemExtensionInstalled, "isSystemExtensionInstalled")                                     \
  X(confidenceLevelsEnabled, "ConfidenceLevelsEnabled")                                           \
  X(hidePrivateAccessBannerGPenabled, "hidePrivateAccessBannerGPenabled")                         \
  X(hidePrivateAccessBanner, "hidePrivateAccessBanner")                                           \
  X(hideConnectionTimer, "hideConnectionTimer")                                                   \
  X(disablePrivateAccess, "disablePrivateAccess")                                                 \
  X(allowDisablePrivateAccess, "allowDisablePrivateAccess")                                       \
  X(disablePrivateAccessRanges, "disablePrivateAccessRanges")                                     \
  X(serverAddress, "serverAddress")                                                               \
  X(forceCleanSteeringFiles, "forceCleanSteeringFiles")                                           \
  X(usingSteering, "usingSteering")                                                               \
  X(excludeRoutes, "excludeRoutes")                                                               \
  X(includeRoutes, "includeRoutes")                                                               \
  X(upgradeMode, "vpn_upgrade_mode")                                                              \
  X(upgradeVersion, "app_existsNotificationUpdate")                                               \
  X(upgradeDownloadURL, "app_urlToUpdateApp")                                                     \
  X(sssReferenceId, "sssReferenceId")                                                             \
  X(sssShouldCaptureInTunnel, "sssShouldCaptureInTunnel")                                         \
  X(enableFastReconnectToMultiTunnel, "vpn_client_mac_enable_fr")                                 \
  X(reconnectionAuthWorkspace, "reconnectionAuthWorkspace")                                       \
  X(unauthTokenRef, "unauthTokenRef")                                                             \
  X(appIsHidden, "appIsHidden")                                                                   \
  X(identityRefs, "identityRefs")                                                                 \
  X(computerName, "computerName")                                                                 \
  X(activeProducts, "activeProducts")                                                             \
  X(dpCheckEnable, "dpCheckEnable")                                                               \
  X(dpCacheEnable, "dpCacheEnable")                                                               \
  X(dpCacheRefreshIntervalSec, "dpCacheRefreshIntervalSec")                                       \
  X(postureRequirements, "postureRequirements")                                                   \
  X(dpMaxWaitOnRunningCollectionSec, "dpMaxWaitOnRunningCollectionSec")                           \
  X(postureConfigVersion, "postureConfigVersion")                                                 \
  X(postureConfigStr, "postureConfigStr")                                                         \
  X(cachePBWrittenDate, "cachePBWrittenDate")                                                     \
  X(deviceId, "device_uuid_uint_rand")                                                            \
  X(feedbackAllowed, "feedbackAllowed")                                                           \
  X(feedbackNotificationsAllowed, "feedbackNotificationsAllowed")                                 \
  X(userLongitude, "userLongitude")                                                               \
  X(userLatitude, "userLatitude")                                                                 \
  X(userCountryCode, "userCountryCode")                                                           \
  X(enableLanBlocking, "enableLanBlocking")                                                       \
  X(keepLocalProxy, "keepLocalProxy")                                                             \
  X(tunnelApiIgnorePrivateIP, "tunnelApiIgnorePrivateIP")                                         \
  X(sleepInactivityTimeoutMin, "sleepInactivityTimeoutMin")                                       \
  X(sessionExpirationTime, "sessionExpirationTime")                                               \
  X(demHwEnabled, "demHwEnabled")                                                                 \
  X(demHwDataUploadIntervals, "demHwDataUploadIntervals")                                         \
  X(demPopProbeEnabledOutOfTunnel, "demPopProbeEnabled")                                          \
  X(demPopProbeEnabledInTunnel, "demPopProbeEnabledInTunnel")                                     \
  X(enablePopBlackListMgr, "enablePopBlackListMgr")                                               \
  X(multiRegionClientUpgradeUrl, "multiRegionClientUpgradeUrl")                                   \
  X(multiRegionClientTelemetryUrl, "multiRegionClientTelemetryUrl")                               \
  X(multiRegionClientFeedbackUrl, "multiRegionClientFeedbackUrl")                                 \
  X(multiRegionClientLogsUploadUrl, "multiRegionClientLogsUploladUrl")                            \
  X(multiRegionIsAllowedFallbackToLegacyOverride, "multiRegionIsAllowedFallbackToLegacyOverride") \
  X(restrictedAccessSSOLogin, "RestrictedAccessSSOLogin")                                         \
  X(includeAPNsInTunnel, "includeAPNsInTunnel")                                                   \
  X(localDNSServer, "localDNSServer")                                                             \
  X(runSteeringAfterWake, "runSteeringAfterWake")                                                 \
  X(enableEPPTokenEntry, "enableEPPTokenEntry")                                                   \
  X(forceDNSInOfficeModeTest, "forceDNSInOfficeModeTest")                                         \
  X(connectionMonitorLastLogUploadTime, "connectionMonitorLastLogUploadTime")                     \
  X(lastPendingLogsUpload, "lastPendingLogsUpload")                                               \
  X(lastPendingLogsReferenceId, "lastPendingLogsReferenceId")                                     \
  X(isPerAppVPN, "isPerAppVPN")                                                                   \
  X(developerShowClock, "developer.showClock")                                                    \
  X(developerShowScreen, "developer.showScreen")                                                  \
  X(isFeatureEnabledSleepAndKeepTunnel_iOS, "isFeatureEnabledSleepAndKeepTunnel_iOS")             \
  X(isFeatureEnabledSleepAndKeepTunnel_macOS, "isFeatureEnabledSleepAndKeepTunnel_macOS")         \
  X(isFeatureEnabledReconnectOnDistantPop, "isFeatureEnabledReconnectOnDistantPop")               \
  X(eppAgentToken, "eppAgentToken")                                                               \
  X(lastEPPDaemonVersion, "lastEPPDaemonVersion")                                                 \
  X(managedNetworksConfiguration, "managedNetworksConfiguration")                                 \
  X(managedNetworksGPEnabled, "managedNetworksGPEnabled_cma")                                     \
  /* end */

struct Keys {
  std::string rawValue;

  Keys(const char* literal) : rawValue(literal) {}  // NOLINT(google-explicit-constructor)
  explicit Keys(std::string raw) : rawValue(std::move(raw)) {}

  friend bool operator==(const Keys&, const Keys&) = default;

#define SHAREDUTILS_DECLARE_KEY(member, string) static const Keys member;
  SHAREDUTILS_KEYS(SHAREDUTILS_DECLARE_KEY)
#undef SHAREDUTILS_DECLARE_KEY
};

#define SHAREDUTILS_DEFINE_KEY(member, string) inline const Keys Keys::member{string};
SHAREDUTILS_KEYS(SHAREDUTILS_DEFINE_KEY)
#undef SHAREDUTILS_DEFINE_KEY

}  // namespace sharedutils

template <>
struct std::hash<sharedutils::Keys> {
  std::size_t operator()(const sharedutils::Keys& k) const noexcept {
    return std::hash<std::string>()(k.rawValue);
  }
};
