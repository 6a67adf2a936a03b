#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "platform/xpc/Message.h"
#include "platform/xpc/ServiceAddress.h"

namespace platform::xpc {
namespace {

TEST(XpcMessage, RequestsAndRepliesRoundTripWithTheirTypes) {
  Request request{42, "getStatusWithCompletionHandler:", "v24@0:8@?16", Value::array({1, "two"})};
  auto decoded = decode(encode(request));
  ASSERT_TRUE(decoded && std::holds_alternative<Request>(*decoded));
  const auto& r = std::get<Request>(*decoded);
  EXPECT_EQ(std::tie(r.id, r.selector, r.types, r.arguments),
            std::tie(request.id, request.selector, request.types, request.arguments));

  // A whole-numbered double must come back as a floating-point number, and a fractional one
  // exactly: the reply of a status call depends on both.
  Value dict = {{"daemon", "running"}, {"timestamp", 1767225600.0}};
  auto reply = decode(encode(Reply{7, Value::array({dict, 1767225600.123456})}));
  ASSERT_TRUE(reply && std::holds_alternative<Reply>(*reply));
  const auto& args = std::get<Reply>(*reply).arguments;
  EXPECT_EQ(std::get<Reply>(*reply).id, 7u);
  ASSERT_EQ(args, Value::array({dict, 1767225600.123456}));
  EXPECT_TRUE(args[0]["timestamp"].is_number_float());
}

TEST(XpcMessage, MalformedPacketsAreRefused) {
  auto cbor = [](const Value& v) { return Value::to_cbor(v); };
  std::vector<std::vector<std::uint8_t>> bad = {
      {},                                                      // empty packet
      {0xff, 0x00, 0x13},                                      // not CBOR
      cbor(Value::array({1, 2})),                              // not a map
      cbor({{"id", 1}}),                                       // neither shape
      cbor({{"id", -1}, {"reply", Value::array()}}),           // signed id
      cbor({{"id", "1"}, {"reply", Value::array()}}),          // id of the wrong type
      cbor({{"id", 1}, {"reply", "x"}}),                       // reply not an array
      cbor({{"id", 1}, {"reply", Value::array()}, {"x", 1}}),  // extra key
      cbor({{"id", 1}, {"selector", "a:"}, {"types", "v"}}),   // no arguments
      cbor({{"id", 1}, {"selector", 5}, {"types", "v"}, {"arguments", Value::array()}}),
  };
  for (const auto& bytes : bad)
    EXPECT_FALSE(decode(bytes)) << Value::from_cbor(bytes, true, false);

  // A valid map cut short, and one padded with trailing bytes, are both refused.
  auto good = encode(Request{1, "pingWithCompletionHandler:", "v24@0:8@?16", Value::array()});
  auto cut = good;
  cut.pop_back();
  EXPECT_FALSE(decode(cut));
  auto padded = good;
  padded.push_back(0);
  EXPECT_FALSE(decode(padded));

  std::vector<std::uint8_t> huge(kMaxMessageSize + 1, 0x60);
  EXPECT_FALSE(decode(huge));
}

TEST(XpcServiceAddress, PathsFollowTheRuntimeDirectory) {
  if (::geteuid() != 0) GTEST_SKIP() << "the system-daemon paths apply to uid 0 only";
  const char* saved = std::getenv("RUNTIME_DIRECTORY");
  std::string keep = saved ? saved : "";

  ::unsetenv("RUNTIME_DIRECTORY");
  EXPECT_EQ(socketPathForService("com.example.Service"), "/run/com.example.Service");
  ::setenv("RUNTIME_DIRECTORY", "/tmp/rt-a:/tmp/rt-b", 1);
  EXPECT_EQ(socketPathForService("com.example.Service"), "/tmp/rt-a/com.example.Service");
  ::setenv("RUNTIME_DIRECTORY", "/tmp/rt-a/", 1);
  EXPECT_EQ(socketPathForService("svc"), "/tmp/rt-a/svc");

  // Names that are not a single file name, and paths too long for a socket address, give none.
  EXPECT_EQ(socketPathForService("a/b"), "");
  EXPECT_EQ(socketPathForService(".."), "");
  EXPECT_EQ(socketPathForService(""), "");
  EXPECT_EQ(socketPathForService(std::string(120, 'x')), "");
  EXPECT_TRUE(fitsSocketAddress(std::string(107, 'x')));
  EXPECT_FALSE(fitsSocketAddress(std::string(108, 'x')));

  if (saved) {
    ::setenv("RUNTIME_DIRECTORY", keep.c_str(), 1);
  } else {
    ::unsetenv("RUNTIME_DIRECTORY");
  }
}

}  // namespace
}  // namespace platform::xpc
