#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdlib>
#include <random>
#include <string>
#include <tuple>

#include "platform/xpc/CborReader.h"
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

using Bytes = std::vector<std::uint8_t>;

Bytes text(std::string_view s) {
  Bytes out{static_cast<std::uint8_t>(0x60 + s.size())};
  out.insert(out.end(), s.begin(), s.end());
  return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes nested(std::size_t depth, std::uint8_t opener = 0x81, Bytes innermost = {0x01}) {
  Bytes out(depth, opener);
  out.insert(out.end(), innermost.begin(), innermost.end());
  return out;
}

// The field-by-field writer and reader must agree with the generic encoder byte for byte (a peer
// may use either) at every width of a head, and read the fields in any order.
TEST(XpcMessage, FramingMatchesTheGenericEncoderAtEveryHeadWidth) {
  const std::uint64_t ids[] = {0,     23,    24,         255,        256,
                               65535, 65536, 0xffffffff, 1ULL << 32, UINT64_MAX};
  const std::size_t lengths[] = {0, 23, 24, 255, 256, 65535, 65536};
  const Value argumentLists[] = {Value::array(), Value::array({1, "two", Value::array()}),
                                 Value("not an array")};
  for (std::uint64_t id : ids) {
    for (std::size_t length : lengths) {
      for (const Value& arguments : argumentLists) {
        const std::string selector(length, 's');
        const Value sent = arguments.is_array() ? arguments : Value::array();
        const Bytes request = encode(Request{id, selector, "v24@0:8@?16", arguments});
        ASSERT_EQ(request, Value::to_cbor({{"id", id},
                                           {"selector", selector},
                                           {"types", "v24@0:8@?16"},
                                           {"arguments", sent}}))
            << id << " " << length;
        const Bytes reply = encode(Reply{id, arguments});
        ASSERT_EQ(reply, Value::to_cbor({{"id", id}, {"reply", sent}})) << id;
        auto back = decode(reply);
        ASSERT_TRUE(back && std::holds_alternative<Reply>(*back));
        EXPECT_EQ(std::get<Reply>(*back).id, id);
        EXPECT_EQ(std::get<Reply>(*back).arguments, sent);
        if (request.size() > kMaxMessageSize) continue;
        auto call = decode(request);
        ASSERT_TRUE(call && std::holds_alternative<Request>(*call));
        EXPECT_EQ(std::get<Request>(*call).id, id);
        EXPECT_EQ(std::get<Request>(*call).selector, selector);
      }
    }
  }

  // Fields in another order than the encoder's.
  auto reply = decode(cat({{0xa2}, text("reply"), {0x81, 0x07}, text("id"), {0x18, 0x2a}}));
  ASSERT_TRUE(reply && std::holds_alternative<Reply>(*reply));
  EXPECT_EQ(std::get<Reply>(*reply).id, 42u);
  EXPECT_EQ(std::get<Reply>(*reply).arguments, Value::array({7}));
  auto request = decode(cat({{0xa4},
                             text("types"),
                             text("v"),
                             text("selector"),
                             text("a:"),
                             text("id"),
                             {0x03},
                             text("arguments"),
                             {0x80}}));
  ASSERT_TRUE(request && std::holds_alternative<Request>(*request));
  EXPECT_EQ(std::get<Request>(*request).id, 3u);
  EXPECT_EQ(std::get<Request>(*request).selector, "a:");
  EXPECT_EQ(std::get<Request>(*request).types, "v");

  // A field twice (so another is missing), and a reply's field in a request's map.
  EXPECT_FALSE(decode(cat({{0xa2}, text("id"), {0x01}, text("id"), {0x02}})));
  EXPECT_FALSE(decode(cat({{0xa4},
                           text("id"),
                           {0x01},
                           text("selector"),
                           text("a:"),
                           text("types"),
                           text("v"),
                           text("reply"),
                           {0x80}})));
  EXPECT_FALSE(decode(cat({{0xa2}, text("id"), {0x01}, text("arguments"), {0x80}})));

  // The message's own map counts towards the nesting limit of its arguments.
  auto withArguments = [](const Bytes& arguments) {
    return cat({{0xa2}, text("id"), {0x01}, text("reply"), arguments});
  };
  EXPECT_TRUE(decode(withArguments(nested(kMaxNestingDepth - 2, 0x81, {0x80}))));
  EXPECT_FALSE(decode(withArguments(nested(kMaxNestingDepth - 1, 0x81, {0x80}))));
  EXPECT_TRUE(decode(withArguments(nested(kMaxNestingDepth - 1))));
  EXPECT_FALSE(decode(withArguments(nested(kMaxNestingDepth))));
}

TEST(XpcCborReader, HostileItemsAreRefusedWithoutThrowingOrAllocating) {
  const std::vector<std::pair<const char*, Bytes>> refused = {
      {"array claiming 2^63-1 elements", {0x9b, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
      {"array claiming 2^64-1 elements", {0x9b, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
      {"map claiming 2^32 entries", {0xbb, 0, 0, 0, 1, 0, 0, 0, 0}},
      {"map claiming more entries than bytes", {0xa2, 0x61, 0x61, 0x01}},
      {"text longer than the packet", {0x7a, 0xff, 0xff, 0xff, 0xf0, 0x61}},
      {"array one element short", {0x83, 0x01, 0x02}},
      {"head cut short", {0x19, 0x01}},
      {"65 KiB of nested arrays", nested(65 * 1024)},
      {"one level deeper than allowed", nested(kMaxNestingDepth + 1)},
      {"an empty array one level too deep", nested(kMaxNestingDepth, 0x81, {0x80})},
      {"indefinite-length array", {0x9f, 0x01, 0xff}},
      {"byte string", {0x42, 0x01, 0x02}},
      {"tag", {0xc1, 0x01}},
      {"undefined", {0xf7}},
      {"simple value 16", {0xf0}},
      {"reserved additional information", {0x1c}},
      {"lone break", {0xff}},
      {"negative integer below -2^63", {0x3b, 0x80, 0, 0, 0, 0, 0, 0, 0}},
      {"map key that is not text", {0xa1, 0x01, 0x02}},
      {"duplicate map key", {0xa2, 0x61, 0x6b, 0x01, 0x61, 0x6b, 0x02}},
      {"overlong UTF-8", {0x62, 0xc0, 0x80}},
      {"UTF-8 surrogate", {0x63, 0xed, 0xa0, 0x80}},
      {"UTF-8 above U+10FFFF", {0x64, 0xf4, 0x90, 0x80, 0x80}},
      {"UTF-8 cut short", {0x62, 0xe2, 0x82}},
      {"stray continuation byte", {0x61, 0x80}},
      {"trailing byte", {0x01, 0x01}},
      {"nothing", {}},
  };
  for (const auto& [what, bytes] : refused) {
    EXPECT_FALSE(readCbor(bytes)) << what;
    EXPECT_FALSE(decode(bytes)) << what;
  }

  const std::vector<std::pair<Bytes, Value>> accepted = {
      {{0xf9, 0x3c, 0x00}, 1.0},                     // half precision
      {{0xf9, 0x80, 0x01}, -5.960464477539063e-08},  // smallest negative subnormal half
      {{0xfa, 0x3f, 0xc0, 0x00, 0x00}, 1.5},         // single precision
      {{0x3b, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, INT64_MIN},
      {{0x1b, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, UINT64_MAX},
      {{0x64, 0xf0, 0x9f, 0x98, 0x80}, "\U0001F600"},
      {{0xa2, 0x61, 0x61, 0xf5, 0x61, 0x62, 0xf6}, Value{{"a", true}, {"b", nullptr}}},
  };
  for (const auto& [bytes, expected] : accepted) {
    auto value = readCbor(bytes);
    ASSERT_TRUE(value) << expected.dump();
    EXPECT_EQ(*value, expected);
    EXPECT_EQ(value->type(), expected.type()) << expected.dump();
  }
  // The deepest nesting allowed, with an empty array innermost.
  Value deepest = Value::array();
  for (std::size_t i = 1; i < kMaxNestingDepth; ++i)
    deepest = Value::array({deepest});
  EXPECT_EQ(readCbor(nested(kMaxNestingDepth - 1, 0x81, {0x80})), deepest);
}

// What the sender encodes, the reader gives back with the same types.
TEST(XpcCborReader, ReadsBackWhatTheEncoderWrites) {
  const std::vector<Value> values = {
      0u,
      23u,
      24u,
      65536u,
      -1,
      -24,
      -25,
      -4294967297LL,
      0.1,
      1e300,
      -0.0,
      1767225600.0,
      "",
      std::string(300, 'x'),
      "caf\u00e9 \u2603",
      Value::array(),
      Value::object(),
      Value{{"daemon", "running"}, {"timestamp", 1767225600.25}},
      Value::array({1, Value::array({2, Value::array({Value{{"k", Value::array()}}})})}),
  };
  for (const auto& v : values) {
    auto back = readCbor(Value::to_cbor(v));
    ASSERT_TRUE(back) << v.dump();
    EXPECT_EQ(*back, v);
    EXPECT_EQ(back->type(), v.type()) << v.dump();
  }
}

// Input shaped like real messages, mutated at random: neither the reader nor the message framing
// ever crashes, and whatever they accept prints and encodes again.
TEST(XpcCborReader, MutatedMessagesNeverCrashTheReader) {
  const Bytes seed =
      encode(Reply{9, Value::array({Value{{"daemon", "running"}, {"timestamp", 1767225600.5}}})});
  std::mt19937 random(12345);
  int decoded = 0;
  int replies = 0;
  for (int round = 0; round < 20000; ++round) {
    Bytes bytes = seed;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = random() % bytes.size();
      switch (random() % 3) {
        case 0:
          bytes[at] = static_cast<std::uint8_t>(random());
          break;
        case 1:
          bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at));
          break;
        default:
          bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                       static_cast<std::uint8_t>(random()));
      }
      if (bytes.empty()) bytes.push_back(0);
    }
    // The message framing reads the same bytes its own way: a reply it accepts encodes back to
    // one it reads the same.
    if (auto message = decode(bytes); message && std::holds_alternative<Reply>(*message)) {
      ++replies;
      const auto& reply = std::get<Reply>(*message);
      auto again = decode(encode(reply));
      ASSERT_TRUE(again && std::holds_alternative<Reply>(*again));
      EXPECT_EQ(std::get<Reply>(*again).id, reply.id);
      EXPECT_EQ(Value::to_cbor(std::get<Reply>(*again).arguments), Value::to_cbor(reply.arguments));
    }
    if (auto value = readCbor(bytes)) {
      ++decoded;
      // Whatever is accepted prints as JSON and encodes to the same value again.
      EXPECT_NO_THROW((void)value->dump());
      const Bytes again = Value::to_cbor(*value);
      auto reread = readCbor(again);
      ASSERT_TRUE(reread);
      EXPECT_EQ(Value::to_cbor(*reread), again);  // bytes, since NaN never equals itself
    }
  }
  EXPECT_GT(decoded, 0);  // the mutations do not only produce garbage
  EXPECT_GT(replies, 0);
}

// A deep packet costs no stack: it is refused on a thread with a 64 KiB stack, where a decoder
// that recursed per level would overflow long before the end.
TEST(XpcCborReader, DeepPacketsNeedNoStack) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 64 * 1024);
  struct Job {
    Bytes bytes = nested(kMaxMessageSize - 1);
    bool refused = false;
  } job;
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attr,
                [](void* p) -> void* {
                  auto* j = static_cast<Job*>(p);
                  j->refused = !decode(j->bytes);
                  return nullptr;
                },
                &job),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_TRUE(job.refused);
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
