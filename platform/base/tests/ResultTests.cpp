#include "platform/base/Result.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

namespace {

using platform::base::Failure;
using platform::base::Result;

Result<int, int> parsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return Failure{EINVAL};
  const int port = std::stoi(text);
  if (port > 65535) return Failure{ERANGE};
  return port;
}

TEST(Result, TellsAValueFromAFailureEvenOfTheSameType) {
  // Value and error share a type here: construction must still pick the right side.
  const auto ok = parsePort("8080");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok.value(), 8080);
  const auto range = parsePort("70000");
  ASSERT_FALSE(range.ok());
  EXPECT_EQ(range.error(), ERANGE);
  EXPECT_EQ(range.valueOr(80), 80);
  EXPECT_EQ(parsePort("").error(), EINVAL);

  // A move-only value comes out by move.
  Result<std::unique_ptr<std::string>, std::string> owned(std::make_unique<std::string>("x"));
  auto taken = std::move(owned).value();
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(*taken, "x");
  const Result<std::unique_ptr<std::string>, std::string> refused = Failure{"no"};
  EXPECT_EQ(refused.error(), "no");

  // The error defaults to the platform's Error value.
  const Result<std::string> missing = Failure{platform::base::posixError(ENOENT, "/nowhere")};
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), (platform::base::Error{"NSPOSIXErrorDomain", ENOENT,
                                                    "/nowhere: No such file or directory"}));
}

}  // namespace
