#include "platform/base/NoDestructor.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Tracked {
  Tracked(int& destroyed, std::string name) : destroyed_(destroyed), name(std::move(name)) {}
  ~Tracked() { ++destroyed_; }
  int& destroyed_;
  std::string name;
};

TEST(NoDestructor, BuildsInPlaceAndNeverDestroys) {
  int destroyed = 0;
  {
    platform::base::NoDestructor<Tracked> object(destroyed, "short");
    EXPECT_EQ(object->name, "short");
    (*object).name = "changed";
    const auto& constant = object;
    EXPECT_EQ(constant.get()->name, "changed");
  }
  EXPECT_EQ(destroyed, 0);
}

}  // namespace
