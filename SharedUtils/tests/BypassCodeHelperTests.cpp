#include "SharedUtils/BypassCodeHelper.h"

#include <gtest/gtest.h>

#include <climits>

namespace sharedutils {
namespace {

TEST(BypassCodeHelperTests, KindsMapToTheirStorageKeysThroughEveryEntryAndNothingElseDoes) {
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
    EXPECT_EQ(BypassCodeHelper::storageKey(row.type), row.key);
    EXPECT_EQ(registered->storageKeyFor(row.raw), row.key);
  }
  for (std::int64_t raw :
       {std::int64_t{3}, std::int64_t{-1}, std::int64_t{INT64_MIN}, std::int64_t{1} << 32}) {
    EXPECT_EQ(bypassCodeTypesFromRawValue(raw), std::nullopt) << raw;
    EXPECT_EQ(registered->storageKeyFor(raw), std::nullopt) << raw;
  }
  for (const char* name : {"BypassCodeHelper", "tcbypasscodehelper", ""})
    EXPECT_EQ(lookUpRuntimeClass(name), nullptr) << name;
}

}  // namespace
}  // namespace sharedutils
