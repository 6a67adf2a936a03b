#include "SharedUtils/EnvironmentUtils.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/defaults/Domain.h"
#include "testsupport/TemporaryDirectory.h"

namespace sharedutils {
namespace {

using platform::defaults::Domain;
using platform::defaults::Value;

TEST(EnvironmentUtils, ShowDeveloperScreenReadsTheStandardDomainAfresh) {
  // The process keeps its standard domain where it was first opened, so a repeated run must
  // find that directory still there, and the key as the last run left it.
  static const testsupport::TemporaryDirectory base;
  Domain::setBaseDirectory(base.path());
  auto standard = Domain::standard();
  ASSERT_TRUE(standard->isAvailable());
  ASSERT_TRUE(standard->remove("developer.showScreen"));
  EXPECT_FALSE(EnvironmentUtils::showDeveloperScreen());
  ASSERT_TRUE(standard->set("developer.showScreen", Value(true)));
  EXPECT_TRUE(EnvironmentUtils::showDeveloperScreen());
  ASSERT_TRUE(standard->set("developer.showScreen", Value("true")));
  EXPECT_FALSE(EnvironmentUtils::showDeveloperScreen());
  // A change made by another connection (as another process would) is seen at the next call.
  ASSERT_TRUE(Domain::open(standard->name(), standard->directory())
                  ->set("developer.showScreen", Value(true)));
  EXPECT_TRUE(EnvironmentUtils::showDeveloperScreen());
}

TEST(EnvironmentUtils, DeviceTypeCodesAsItsRawString) {
  EXPECT_EQ(nlohmann::json(DeviceType::mac).dump(), "\"mac\"");
  EXPECT_EQ(nlohmann::json::parse("[\"mac\",\"ios\"]").get<std::vector<DeviceType>>(),
            (std::vector<DeviceType>{DeviceType::mac, DeviceType::ios}));
  for (const char* bad : {"\"MAC\"", "\"\"", "\"android\"", "\"mac \""}) {
    try {
      (void)nlohmann::json::parse(bad).get<DeviceType>();
      ADD_FAILURE() << bad << " decoded";
    } catch (const nlohmann::json::other_error& e) {
      EXPECT_EQ(e.id, kDeviceTypeDataCorrupted) << bad;
    }
  }
  EXPECT_THROW((void)nlohmann::json::parse("1").get<DeviceType>(), nlohmann::json::type_error);
  EXPECT_EQ(deviceTypeFromRawValue("ios"), DeviceType::ios);
  EXPECT_EQ(deviceTypeFromRawValue("tv"), std::nullopt);
}

TEST(EnvironmentUtils, FullVersionJoinsTheThreeNumbers) {
  EXPECT_EQ((OperatingSystemVersion{14, 2, 1}.getFullVersion("")), "1421");
  EXPECT_EQ((OperatingSystemVersion{10, 0, 7}.getFullVersion(" - ")), "10 - 0 - 7");
  EXPECT_GT(OperatingSystemVersion::current().majorVersion, 0);
}

}  // namespace
}  // namespace sharedutils
