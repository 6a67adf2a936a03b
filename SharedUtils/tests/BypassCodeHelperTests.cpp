#include "SharedUtils/BypassCodeHelper.h"

#include <gtest/gtest.h>

#include <climits>

namespace sharedutils {
namespace {

TEST(BypassCodeHelperTests, KindsMapToTheirStorageKeysThroughEveryEntry) {
  const struct {
    std::int64_t raw;
    BypassCodeTypes type;
    const char* key;
  } table[] = {{0, BypassCodeTypes::upgrade, "upgradeBypassSeed"},
               {1, BypassCodeTypes::uninstall, "uninstallBypassSeed"},
               {2, BypassCodeTypes::alwaysOn, "alwaysOnBypassSeed"}};
  const RuntimeClass* registered = lookUpRuntimeClass("TCBypassCodeHelper");
  ASSERT_NE(registered, nullptr);
  EXPECT_EQ(registered->name, "TCBypassCodeHelper");
  for (const auto& row : table) {
    EXPECT_EQ(bypassCodeTypesFromRawValue(row.raw), row.type);
    EXPECT_EQ(rawValue(row.type), row.raw);
    EXPECT_EQ(storageKey(row.type), row.key);
    EXPECT_EQ(BypassCodeHelper::storageKey(row.type), row.key);
    EXPECT_EQ(registered->storageKeyFor(row.raw), row.key);
  }
}

TEST(BypassCodeHelperTests, OtherRawValuesAndNamesGiveNothing) {
  const RuntimeClass* registered = lookUpRuntimeClass("TCBypassCodeHelper");
  ASSERT_NE(registered, nullptr);
  for (std::int64_t raw : {std::int64_t{3}, std::int64_t{-1}, std::int64_t{INT64_MIN},
                           std::int64_t{INT64_MAX}, std::int64_t{1} << 32}) {
    EXPECT_EQ(bypassCodeTypesFromRawValue(raw), std::nullopt) << raw;
    EXPECT_EQ(registered->storageKeyFor(raw), std::nullopt) << raw;
  }
  EXPECT_EQ(lookUpRuntimeClass("BypassCodeHelper"), nullptr);
  EXPECT_EQ(lookUpRuntimeClass("tcbypasscodehelper"), nullptr);
  EXPECT_EQ(lookUpRuntimeClass(""), nullptr);
}

}  // namespace
}  // namespace sharedutils
