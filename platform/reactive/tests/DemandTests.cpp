#include <gtest/gtest.h>

#include <limits>

#include "platform/reactive/Demand.h"

namespace platform::reactive {
namespace {

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

TEST(DemandTests, AdditionAndMultiplicationSaturateAtUnlimited) {
  EXPECT_EQ(Demand::max(2) + Demand::max(3), Demand::max(5));
  EXPECT_EQ(Demand::max(kMax) + 1, Demand::unlimited());
  EXPECT_EQ(Demand::max(kMax - 1) + 1, Demand::max(kMax));
  EXPECT_EQ(Demand::max(1) + Demand::unlimited(), Demand::unlimited());
  EXPECT_EQ(Demand::max(kMax / 2 + 1) * 2, Demand::unlimited());
  EXPECT_EQ(Demand::max(4) * 3, Demand::max(12));
  EXPECT_EQ(Demand::max(4) * 0, Demand::none());
  EXPECT_EQ(Demand::unlimited() * 0, Demand::unlimited());
}

TEST(DemandTests, SubtractionNeverGoesBelowNoneAndUnlimitedStays) {
  EXPECT_EQ(Demand::max(5) - 2, Demand::max(3));
  EXPECT_EQ(Demand::max(2) - 5, Demand::none());
  EXPECT_EQ(Demand::max(2) - Demand::unlimited(), Demand::none());
  EXPECT_EQ(Demand::unlimited() - kMax, Demand::unlimited());
  EXPECT_EQ(Demand::unlimited() - Demand::unlimited(), Demand::unlimited());
  EXPECT_TRUE((Demand::max(1) - 1).isNone());
  EXPECT_EQ(Demand::max(0), Demand::none());
}

TEST(DemandTests, OrderingPutsUnlimitedAboveEveryCount) {
  EXPECT_GT(Demand::unlimited(), Demand::max(kMax));
  EXPECT_LT(Demand::none(), Demand::max(1));
  EXPECT_GT(Demand::max(3), 2u);
  EXPECT_NE(Demand::unlimited(), Demand::max(kMax));
  EXPECT_EQ(Demand::unlimited().maxCount(), std::nullopt);
  EXPECT_EQ(Demand::max(7).maxCount(), 7u);
  EXPECT_EQ(Demand::unlimited().description(), "unlimited");
  EXPECT_EQ(Demand::none().description(), "none");
  EXPECT_EQ(Demand::max(3).description(), "max(3)");
}

}  // namespace
}  // namespace platform::reactive
