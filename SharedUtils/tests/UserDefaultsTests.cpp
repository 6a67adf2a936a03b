// GCC 12 reports std::optional of vectors as maybe-uninitialized when inlining with the
// sanitizers on; the values are always constructed before use.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "SharedUtils/UserDefaults+Extension.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "SharedUtils/SupportType.h"
#include "SharedUtils/tests/SettingsTestSupport.h"

namespace sharedutils {
namespace {

using platform::defaults::Domain;
using platform::defaults::Value;
namespace UD = UserDefaults;

// Every domain of this test process lives in a temporary directory, chosen before any setting
// is first used.
const settingstest::TempDir& testBase() {
  static settingstest::TempDir dir;
  return dir;
}
const bool kBaseChosen = [] {
  Domain::setBaseDirectory(testBase().path());
  return true;
}();

class UserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kBaseChosen);
    DDLog::sharedInstance()->addLogger(logger);
    logger->clear();
  }
  void TearDown() override {
    DDLog::sharedInstance()->removeLogger(logger);
    DDLog::sharedInstance()->flushLog();
  }
  std::shared_ptr<settingstest::CapturingLogger> logger =
      std::make_shared<settingstest::CapturingLogger>();
};

// These two come first: the tests after them touch every setting of the table.
TEST_F(UserDefaultsTest, LastKnownTimeDefaultsToTheTimeOfFirstUse) {
  const auto before = UD::detail::now();
  const auto first = UD::lastKnowTimeForBypassClockTamperDetection.wrappedValue();
  const auto after = UD::detail::now();
  EXPECT_LE(before, first);
  EXPECT_LE(first, after);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(UD::lastKnowTimeForBypassClockTamperDetection.wrappedValue(), first);
}

TEST_F(UserDefaultsTest, SettingsAreMadeOnceEvenWhenThreadsRace) {
  std::vector<std::thread> threads;
  std::vector<const void*> seen(8);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] { seen[i] = &UD::isFeatureEnabledReconnectOnDistantPop.object(); });
  }
  for (auto& t : threads)
    t.join();
  for (const auto* p : seen)
    EXPECT_EQ(p, seen[0]);
}

TEST_F(UserDefaultsTest, SettingsUseTheirKeysDomainsAndDefaults) {
  ASSERT_NE(shared(), nullptr);
  EXPECT_EQ(shared()->name(), "QX7TZ4PD2M.group");
  EXPECT_EQ(shared()->directory(), testBase().path() / "QX7TZ4PD2M.group");
  EXPECT_EQ(shared(), shared());

  // Defaults, with nothing stored.
  EXPECT_EQ(UD::postureRequirements.wrappedValue(), 18446744073709551615ULL);
  EXPECT_EQ(UD::bypassModeTimeSec.wrappedValue(), 900.0);
  EXPECT_EQ(UD::globalCaptivePortalDetectionEnabled.wrappedValue(), 1);
  EXPECT_EQ(UD::dpCacheRefreshIntervalSec.wrappedValue(), 600);
  EXPECT_EQ(UD::dpMaxWaitOnRunningCollectionSec.wrappedValue(), 10u);
  EXPECT_EQ(UD::sleepInactivityTimeoutMin.wrappedValue(), 15);
  EXPECT_TRUE(UD::globalOnDemandEnabled.wrappedValue());
  EXPECT_TRUE(UD::_oldBypassModeEnabled.wrappedValue());
  EXPECT_EQ(UD::_demHwDataUploadIntervals.wrappedValue(), 30);
  EXPECT_TRUE(UD::disablePrivateAccessRanges.wrappedValue().empty());
  EXPECT_EQ(UD::identityRefs.wrappedValue(), std::nullopt);
  EXPECT_EQ(UD::postureConfigStr.wrappedValue(), "");

  // Key strings that differ from the setting's name, written through the setting and found in
  // the right domain under the exact key.
  UD::contactSupportMessage.setWrappedValue("call us");
  EXPECT_EQ(shared()->object("contactSupportMgs"), Value("call us"));
  UD::multiRegionClientLogsUploadUrl.setWrappedValue("https://logs");
  EXPECT_EQ(shared()->object("multiRegionClientLogsUploladUrl"), Value("https://logs"));
  UD::deviceId.setWrappedValue(42);
  EXPECT_EQ(shared()->object("device_uuid_uint_rand"), Value(std::uint64_t{42}));
  UD::lastPendingLogsUploadLocation.setWrappedValue("/tmp/x");
  EXPECT_EQ(shared()->object(Keys::lastPendingLogsUpload.rawValue), Value("/tmp/x"));
  UD::developerShowClock.setWrappedValue(true);
  EXPECT_EQ(standardDefaults()->object("developer.showClock"), Value(true));
  EXPECT_EQ(shared()->object("developer.showClock"), std::nullopt);
  UD::newUsersStaticIP.setWrappedValue("10.1.1.1");
  EXPECT_EQ(standardDefaults()->object("newUsersStaticIP"), Value("10.1.1.1"));
  UD::identityRefs.setWrappedValue(DataList{{1, 2}, {}});
  EXPECT_EQ(shared()->object("identityRefs"), Value(DataList{{1, 2}, {}}));
}

TEST_F(UserDefaultsTest, KeysCoverTheTableAndTheFourExtras) {
  EXPECT_EQ(Keys::lastKnowTimeForBypassClockTamperDetection.rawValue, "lastKnowTime");
  EXPECT_EQ(Keys::demPopProbeEnabledOutOfTunnel.rawValue, "demPopProbeEnabled");
  EXPECT_EQ(Keys::eppAgentToken.rawValue, "eppAgentToken");
  EXPECT_EQ(Keys::lastEPPDaemonVersion.rawValue, "lastEPPDaemonVersion");
  EXPECT_EQ(Keys::managedNetworksConfiguration.rawValue, "managedNetworksConfiguration");
  EXPECT_EQ(Keys::managedNetworksGPEnabled.rawValue, "managedNetworksGPEnabled_cma");
  EXPECT_EQ(Keys("user"), Keys::currentUser);
  EXPECT_EQ(Keys(std::string("user")), Keys::currentUser);
  // Every key string is distinct, and every setting uses its own key.
  std::set<std::string> keyStrings;
#define COLLECT(member, string) keyStrings.insert(Keys::member.rawValue);
  SHAREDUTILS_KEYS(COLLECT)
#undef COLLECT
  EXPECT_EQ(keyStrings.size(), 105u);
  std::set<std::string> settingKeys;
#define COLLECT_SETTING(type, name, keyMember, def, domain, hook) \
  settingKeys.insert(UD::name.object().key.rawValue);
  SHAREDUTILS_SETTINGS(COLLECT_SETTING)
#undef COLLECT_SETTING
  EXPECT_EQ(settingKeys.size(), 101u);
}

TEST_F(UserDefaultsTest, SupportTypeInterpretsTheStoredInteger) {
  EXPECT_EQ(supportTypeFromRawValue(1), SupportType::tarvoSupportForm);
  EXPECT_EQ(supportTypeFromRawValue(3), std::nullopt);
  EXPECT_EQ(supportTypeFromRawValue(-1), std::nullopt);
  UD::supportType.setWrappedValue(2);
  EXPECT_EQ(supportTypeFromRawValue(*UD::supportType.wrappedValue()), SupportType::customMessage);
  EXPECT_EQ(rawValue(SupportType::disabled), 0);
}

TEST_F(UserDefaultsTest, OverridesWinLogAndLeaveWritesToTheSuite) {
  auto standard = standardDefaults();
  ASSERT_TRUE(standard->set("demHwEnabled", Value(false)));
  UD::demHwEnabled.setWrappedValue(true);
  EXPECT_EQ(shared()->object("demHwEnabled"), Value(true));
  EXPECT_FALSE(UD::demHwEnabled.wrappedValue());
  EXPECT_TRUE(UD::_demHwEnabled.wrappedValue());
  ASSERT_TRUE(standard->set("oldBypassModeEnabled", Value(true)));
  EXPECT_TRUE(UD::oldBypassModeEnabled.wrappedValue());
  ASSERT_TRUE(standard->set("demHwDataUploadIntervals", Value(std::int64_t{45})));
  EXPECT_EQ(UD::demHwDataUploadIntervals.wrappedValue(), 45);
  ASSERT_TRUE(standard->set("demPopProbeEnabled", Value(false)));
  EXPECT_FALSE(UD::demPopProbeEnabledOutOfTunnel.wrappedValue());

  const auto lines = logger->lines();
  ASSERT_EQ(lines.size(), 4u);
  const std::pair<const char*, const char*> expected[] = {
      {"DEM Hardware metrics enabled set to: 0", "demHwEnabled"},
      {"Old Bypass mode enabled set to: 1", "oldBypassModeEnabled"},
      {"DEM Hardware metrics upload interval set to: 45", "demHwDataUploadIntervals"},
      {"DEM POP probe out of tunnel set to: 0", "demPopProbeEnabledOutOfTunnel"},
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].message, expected[i].first);
    EXPECT_EQ(lines[i].function, expected[i].second);
    EXPECT_EQ(lines[i].flag, DDLogFlag::info);
  }

  // An override of the wrong kind is ignored without a log; the suite's value is read.
  logger->clear();
  ASSERT_TRUE(standard->set("demHwEnabled", Value("off")));
  EXPECT_TRUE(UD::demHwEnabled.wrappedValue());
  ASSERT_TRUE(standard->remove("oldBypassModeEnabled"));
  UD::oldBypassModeEnabled.modifyWrappedValue([](bool& v) { v = !v; });
  EXPECT_FALSE(UD::oldBypassModeEnabled.wrappedValue());
  EXPECT_TRUE(logger->lines().empty());
  ASSERT_TRUE(standard->remove("demHwEnabled"));
  ASSERT_TRUE(standard->remove("demHwDataUploadIntervals"));
  ASSERT_TRUE(standard->remove("demPopProbeEnabled"));
}

TEST_F(UserDefaultsTest, LoggedSettingsLogTheValueReadBackAfterEveryWrite) {
  UD::serverAddress.setWrappedValue("10.0.0.1");
  UD::serverAddress.setWrappedValue("10.0.0.1");  // a no-op write still logs
  UD::serverAddress.setWrappedValue(std::nullopt);
  UD::sssReferenceId.setWrappedValue(4000000000u);
  UD::sssReferenceId.modifyWrappedValue([](std::uint32_t& v) { v += 1; });
  const auto lines = logger->lines();
  ASSERT_EQ(lines.size(), 5u);
  const std::pair<const char*, const char*> expected[] = {
      {"didSet serverAddress (static ip):10.0.0.1", "serverAddress"},
      {"didSet serverAddress (static ip):10.0.0.1", "serverAddress"},
      {"didSet serverAddress (static ip):default", "serverAddress"},
      {"didSet sssReferenceId:4000000000", "sssReferenceId"},
      {"didSet sssReferenceId:4000000001", "sssReferenceId"},
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].message, expected[i].first);
    EXPECT_EQ(lines[i].function, expected[i].second);
    EXPECT_EQ(lines[i].flag, DDLogFlag::debug);
  }
  // Other settings do not log their writes.
  logger->clear();
  UD::alwaysOnEnabled.setWrappedValue(true);
  EXPECT_TRUE(logger->lines().empty());
}

}  // namespace
}  // namespace sharedutils
