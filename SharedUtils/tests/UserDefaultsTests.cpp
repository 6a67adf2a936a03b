// GCC 12 reports std::optional of vectors as maybe-uninitialized when inlining with the
// sanitizers on; the values are always constructed before use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include "SharedUtils/UserDefaults+Extension.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "SharedUtils/SupportType.h"
#include "SharedUtils/tests/LogCapture.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/TemporaryDirectory.h"

namespace sharedutils {
namespace {

using platform::defaults::Domain;
using platform::defaults::Value;
using sharedutils::testsupport::LogCapture;
namespace UD = UserDefaults;

// Every domain of this test process lives in a temporary directory, chosen before any setting
// is first used.
const ::testsupport::TemporaryDirectory& testBase() {
  static ::testsupport::TemporaryDirectory dir;
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
    logger->take();
  }
  void TearDown() override { DDLog::sharedInstance()->removeLogger(logger); }
  std::shared_ptr<LogCapture> logger = std::make_shared<LogCapture>();
};
using Lines = std::vector<std::string>;

constexpr const char* kChildVariable = "USERDEFAULTS_TEST_CHILD";

// A setting is made once per process, so its first use is checked in a fresh process of this
// binary, where no other test has touched it.
TEST_F(UserDefaultsTest, LastKnownTimeDefaultsToTheTimeOfFirstUse) {
  if (std::getenv(kChildVariable) == nullptr) {
    const auto run = ::testsupport::runProcess(
        {"env", std::string(kChildVariable) + "=1",
         std::filesystem::read_symlink("/proc/self/exe").string(),
         "--gtest_filter=UserDefaultsTest.LastKnownTimeDefaultsToTheTimeOfFirstUse"});
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("[  PASSED  ] 1 test."), std::string::npos) << run.out;
    return;
  }
  const auto before = UD::detail::now();
  const auto first = UD::lastKnowTimeForBypassClockTamperDetection.wrappedValue();
  const auto after = UD::detail::now();
  EXPECT_LE(before, first);
  EXPECT_LE(first, after);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a later read must not move it
  EXPECT_EQ(UD::lastKnowTimeForBypassClockTamperDetection.wrappedValue(), first);
}

// This one comes first: the tests after it touch every setting of the table.
TEST_F(UserDefaultsTest, SettingsAreMadeOnceEvenWhenThreadsRace) {
  std::vector<const void*> seen(8);
  {
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
      threads.emplace_back(
          [&, i] { seen[i] = &UD::isFeatureEnabledReconnectOnDistantPop.object(); });
  }
  for (const auto* p : seen)
    EXPECT_EQ(p, seen[0]);
}

TEST_F(UserDefaultsTest, SettingsUseTheirKeysAndDomains) {
  // The process's one suite object for the group, in the chosen base directory.
  ASSERT_EQ(shared(), Domain::suite("QX7TZ4PD2M.group"));
  ASSERT_NE(shared(), nullptr);
  EXPECT_EQ(shared()->directory(), testBase().path() / "QX7TZ4PD2M.group");

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
  UD::supportType.setWrappedValue(2);
  EXPECT_EQ(supportTypeFromRawValue(*UD::supportType.wrappedValue()), SupportType::customMessage);
  EXPECT_EQ(supportTypeFromRawValue(3), std::nullopt);
}

TEST_F(UserDefaultsTest, KeysAreDistinctAndEachSettingHasItsOwn) {
  EXPECT_EQ(Keys::lastKnowTimeForBypassClockTamperDetection.rawValue, "lastKnowTime");
  EXPECT_EQ(Keys::demPopProbeEnabledOutOfTunnel.rawValue, "demPopProbeEnabled");
  EXPECT_EQ(Keys::managedNetworksGPEnabled.rawValue, "managedNetworksGPEnabled_cma");
  EXPECT_EQ(Keys(std::string("user")), Keys::currentUser);
  // No two keys share a string, and no two settings share a key.
  std::set<std::string> keyStrings;
  std::size_t keys = 0;
#define COLLECT(member, string) (keyStrings.insert(Keys::member.rawValue), ++keys);
  SHAREDUTILS_KEYS(COLLECT)
#undef COLLECT
  EXPECT_EQ(keyStrings.size(), keys);
  std::set<std::string> settingKeys;
  std::size_t settings = 0;
#define COLLECT_SETTING(type, name, keyMember, def, domain, hook) \
  (settingKeys.insert(UD::name.object().key.rawValue), ++settings);
  SHAREDUTILS_SETTINGS(COLLECT_SETTING)
#undef COLLECT_SETTING
  EXPECT_EQ(settingKeys.size(), settings);
  EXPECT_GT(settings, 0u);
}

TEST_F(UserDefaultsTest, OverridesWinLogAndLeaveWritesToTheSuite) {
  // The suite's values are the defaults (a run before this one, in the same process, wrote them).
  for (const char* key : {"demHwEnabled", "oldBypassModeEnabled"})
    ASSERT_TRUE(shared()->remove(key));
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
  EXPECT_EQ(
      logger->takeWithCallSites(),
      (Lines{"info UserDefaults+Extension demHwEnabled: DEM Hardware metrics enabled set to: 0",
             "info UserDefaults+Extension oldBypassModeEnabled: Old Bypass mode enabled set to: 1",
             "info UserDefaults+Extension demHwDataUploadIntervals: DEM Hardware metrics upload "
             "interval set to: 45",
             "info UserDefaults+Extension demPopProbeEnabledOutOfTunnel: DEM POP probe out of "
             "tunnel set to: 0"}));

  // An override of the wrong kind is ignored without a log; the suite's value is read.
  ASSERT_TRUE(standard->set("demHwEnabled", Value("off")));
  EXPECT_TRUE(UD::demHwEnabled.wrappedValue());
  ASSERT_TRUE(standard->remove("oldBypassModeEnabled"));
  UD::oldBypassModeEnabled.modifyWrappedValue([](bool& v) { v = !v; });
  EXPECT_FALSE(UD::oldBypassModeEnabled.wrappedValue());
  EXPECT_EQ(logger->takeWithCallSites(), Lines{});
  for (const char* key : {"demHwEnabled", "demHwDataUploadIntervals", "demPopProbeEnabled"})
    ASSERT_TRUE(standard->remove(key));
}

TEST_F(UserDefaultsTest, LoggedSettingsLogTheValueReadBackAfterEveryWrite) {
  UD::serverAddress.setWrappedValue("10.0.0.1");
  UD::serverAddress.setWrappedValue("10.0.0.1");  // a no-op write still logs
  UD::serverAddress.setWrappedValue(std::nullopt);
  UD::sssReferenceId.setWrappedValue(4000000000u);
  UD::sssReferenceId.modifyWrappedValue([](std::uint32_t& v) { v += 1; });
  UD::alwaysOnEnabled.setWrappedValue(true);  // other settings do not log their writes
  EXPECT_EQ(
      logger->takeWithCallSites(),
      (Lines{
          "debug UserDefaults+Extension serverAddress: didSet serverAddress (static ip):10.0.0.1",
          "debug UserDefaults+Extension serverAddress: didSet serverAddress (static ip):10.0.0.1",
          "debug UserDefaults+Extension serverAddress: didSet serverAddress (static ip):default",
          "debug UserDefaults+Extension sssReferenceId: didSet sssReferenceId:4000000000",
          "debug UserDefaults+Extension sssReferenceId: didSet sssReferenceId:4000000001"}));
}

}  // namespace
}  // namespace sharedutils
