// The queue formatter, the context filters, the chaining formatter and the atomic counter.

#include <gtest/gtest.h>
#include <pthread.h>

#include <thread>

#include "LogTestSupport.h"
#include "logging/DDAtomicCounter.h"
#include "logging/DDContextAllowlistFilterLogFormatter.h"
#include "logging/DDContextDenylistFilterLogFormatter.h"
#include "logging/DDDispatchQueueLogFormatter.h"
#include "logging/DDMultiFormatter.h"
#include "logging/DDTimestampText.h"
#include "platform/dispatch/Queue.h"

namespace {

using namespace logtest;
using platform::dispatch::QoS;
using platform::dispatch::Queue;

DDLogMessagePtr recordWithContext(std::string text, std::int64_t context) {
  return std::make_shared<DDLogMessage>(std::move(text), DDLogLevel::all, DDLogFlag::info, context,
                                        "/t/f.cpp", "fn", 1, nullptr, 0, std::nullopt);
}

// A record built on `queue` by one of its items.
DDLogMessagePtr recordOn(const platform::dispatch::QueuePtr& queue, std::string text) {
  DDLogMessagePtr r;
  queue->sync([&] { r = record(std::move(text)); });
  return r;
}

// A record built on a new thread, outside any queue, named `name` ("" leaves it unnamed).
DDLogMessagePtr recordOnThread(const char* name, std::string text) {
  DDLogMessagePtr r;
  std::thread([&] {
    pthread_setname_np(pthread_self(), name);
    r = record(std::move(text));
  }).join();
  return r;
}

// The part of a queue-formatted line between the time and the text.
std::string bracket(DDDispatchQueueLogFormatter& f, const DDLogMessage& m) {
  std::string line = f.formatLogMessage(m).value();
  const std::string time = ddLocalTimeText(m.timestamp());
  EXPECT_EQ(line.substr(0, time.size()), time);
  const std::string tail = " " + std::string(m.message());
  EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
  return line.substr(time.size(), line.size() - time.size() - tail.size());
}

TEST(DDDispatchQueueLogFormatterTest, LabelsByQueueThreadAndReplacement) {
  DDDispatchQueueLogFormatter f;
  auto serial = Queue::makeSerial("com.example.worker", QoS::Utility);
  auto onGlobal = recordOn(Queue::global(QoS::UserInitiated), "g");
  auto unnamed = recordOnThread("", "u");
  struct Case {
    const char* what;
    DDLogMessagePtr record;
    std::string expected;
  } cases[] = {
      {"serial queue", recordOn(serial, "s"), " [com.example.worker (QOS:UT)]"},
      // The test body runs on the main thread, which counts as the main queue.
      {"main queue", record("m"), " [main (QOS:UI)]"},
      {"global queue: the worker thread's name", onGlobal,
       " [" + std::string(onGlobal->threadName().value()) + " (QOS:IN)]"},
      {"no queue, named thread", recordOnThread("pinger", "p"), " [pinger (QOS:UN)]"},
      {"no queue, unnamed thread: its id", unnamed,
       " [" + std::string(unnamed->threadID()) + " (QOS:UN)]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bracket(f, *c.record), c.expected) << c.what;
  }
  ASSERT_FALSE(unnamed->threadID().empty());

  f.setReplacementString("W", "com.example.worker");
  f.setReplacementString("P", "pinger");
  f.setReplacementString("never", std::string(unnamed->threadID()));  // ids are never replaced
  EXPECT_EQ(bracket(f, *cases[0].record), " [W (QOS:UT)]");
  EXPECT_EQ(bracket(f, *cases[3].record), " [P (QOS:UN)]");
  EXPECT_EQ(bracket(f, *cases[4].record), cases[4].expected);
  f.setReplacementString(std::nullopt, "com.example.worker");
  EXPECT_EQ(f.replacementStringForQueueLabel("com.example.worker"), std::nullopt);
  EXPECT_EQ(bracket(f, *cases[0].record), cases[0].expected);
}

TEST(DDDispatchQueueLogFormatterTest, LengthLimitsAndQosTags) {
  DDDispatchQueueLogFormatter f;
  auto seven = recordOn(Queue::makeSerial("sevenql", QoS::Background), "x");
  auto accented = recordOn(Queue::makeSerial("\xC3\xA9t\xC3\xA9s", QoS::Default), "x");
  auto main = record("x");

  f.setMaxQueueLength(4);
  EXPECT_EQ(bracket(f, *seven), " [seve (QOS:BG)]");
  // Cut by characters: the two-byte letters are kept whole.
  EXPECT_EQ(bracket(f, *accented), " [\xC3\xA9t\xC3\xA9s (QOS:DF)]");
  f.setMaxQueueLength(3);
  EXPECT_EQ(bracket(f, *accented), " [\xC3\xA9t\xC3\xA9 (QOS:DF)]");
  // A maximum wins over a minimum; a label within both is left alone.
  f.setMinQueueLength(6);
  EXPECT_EQ(bracket(f, *seven), " [sev (QOS:BG)]");
  f.setMaxQueueLength(0);
  EXPECT_EQ(bracket(f, *main), " [main   (QOS:UI)]");  // two blanks of padding
  EXPECT_EQ(bracket(f, *accented), " [\xC3\xA9t\xC3\xA9s   (QOS:DF)]");
  EXPECT_EQ(bracket(f, *seven), " [sevenql (QOS:BG)]");

  // Tags go by the record's numbers; the dispatch layer's own enumeration values mean nothing.
  const std::pair<std::uint64_t, const char*> tags[] = {{0, "UN"},    {0x09, "BG"}, {0x11, "UT"},
                                                        {0x15, "DF"}, {0x19, "IN"}, {0x21, "UI"},
                                                        {1, "UN"},    {5, "UN"},    {0x22, "UN"}};
  for (auto [qos, tag] : tags)
    EXPECT_EQ(DDDispatchQueueLogFormatter::qosTag(qos), tag) << qos;
}

TEST(DDDispatchQueueLogFormatterTest, DateTextIsLocalTimeWithTruncatedMilliseconds) {
  using namespace std::chrono;
  // 2026-12-05 15:16:49.1239 local time.
  std::tm tm{};
  tm.tm_year = 126;
  tm.tm_mon = 11;
  tm.tm_mday = 5;
  tm.tm_hour = 15;
  tm.tm_min = 16;
  tm.tm_sec = 49;
  tm.tm_isdst = -1;
  const auto when = system_clock::from_time_t(std::mktime(&tm)) + microseconds(123900);
  auto m = std::make_shared<DDLogMessage>("hello", DDLogLevel::all, DDLogFlag::info, 0, "/f.c",
                                          nullptr, 1, nullptr, 0, when);
  DDDispatchQueueLogFormatter f;
  EXPECT_EQ(f.formatLogMessage(*m), "2026-12-05 15:16:49:123 [main (QOS:UI)] hello");
  EXPECT_EQ(ddLocalTimeText(when - microseconds(123900) - hours(24 * 365)),
            "2025-12-05 15:16:49:000");
}

TEST(DDDispatchQueueLogFormatterTest, ConcurrentFormattingAndReplacementChanges) {
  DDDispatchQueueLogFormatter f;
  auto m = recordOn(Queue::makeSerial("busy.queue"), "x");
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i)
      f.setReplacementString(i % 2 ? std::optional<std::string>("B") : std::nullopt, "busy.queue");
  });
  std::vector<std::thread> readers;
  std::atomic<int> bad{0};
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        const std::string line = f.formatLogMessage(*m).value();
        if (line.find(" [B (QOS:DF)] x") == std::string::npos &&
            line.find(" [busy.queue (QOS:DF)] x") == std::string::npos)
          ++bad;
      }
    });
  }
  for (auto& r : readers)
    r.join();
  stop = true;
  writer.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(DDContextFilterTest, AllowAndDenyListsUnderBothNames) {
  DDContextAllowlistFilterLogFormatter allow;
  DDContextDenylistFilterLogFormatter deny;
  auto in = recordWithContext("seven", 7);
  auto out = recordWithContext("other", -3);
  // Empty lists: the allowlist passes nothing, the denylist everything.
  EXPECT_EQ(allow.formatLogMessage(*in), std::nullopt);
  EXPECT_EQ(deny.formatLogMessage(*out), "other");

  allow.addToAllowlist(7);
  allow.addToWhitelist(INT64_MIN);
  deny.addToBlacklist(7);
  deny.addToDenylist(INT64_MAX);
  EXPECT_EQ(allow.formatLogMessage(*in), "seven");
  EXPECT_EQ(allow.formatLogMessage(*out), std::nullopt);
  EXPECT_EQ(deny.formatLogMessage(*in), std::nullopt);
  EXPECT_EQ(deny.formatLogMessage(*out), "other");
  auto sorted = [](std::vector<std::int64_t> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(sorted(allow.whitelist()), (std::vector<std::int64_t>{INT64_MIN, 7}));
  EXPECT_EQ(sorted(deny.denylist()), sorted(deny.blacklist()));
  EXPECT_TRUE(deny.isOnDenylist(INT64_MAX) && deny.isOnBlacklist(7) && !deny.isOnDenylist(-3));

  allow.removeFromWhitelist(7);
  deny.removeFromDenylist(7);
  EXPECT_FALSE(allow.isOnAllowlist(7));
  EXPECT_EQ(allow.formatLogMessage(*in), std::nullopt);
  EXPECT_EQ(deny.formatLogMessage(*in), "seven");
}

// Appends a mark to the text, or suppresses the record when asked to; counts its calls.
class MarkFormatter : public DDLogFormatter {
 public:
  explicit MarkFormatter(std::string mark, bool suppress = false)
      : mark_(std::move(mark)), suppress_(suppress) {}
  std::optional<std::string> formatLogMessage(const DDLogMessage& m) override {
    ++calls;
    if (suppress_) return std::nullopt;
    seenFormats.add(std::string(m.messageFormat()));
    return std::string(m.message()) + mark_;
  }
  std::atomic<int> calls{0};
  Journal seenFormats;

 private:
  std::string mark_;
  bool suppress_;
};

TEST(DDMultiFormatterTest, ChainsInOrderAndStopsAtSuppression) {
  DDMultiFormatter chain;
  auto m = std::make_shared<DDLogMessage>("fmt %d", std::string("text"), DDLogLevel::all,
                                          DDLogFlag::info, 0, "/f.c", nullptr, 1, nullptr, 0,
                                          std::nullopt);
  EXPECT_EQ(chain.formatLogMessage(*m), "text");  // nothing to chain: the text itself

  auto a = std::make_shared<MarkFormatter>("+a");
  auto b = std::make_shared<MarkFormatter>("+b");
  chain.addFormatter(a);
  chain.addFormatter(b);
  EXPECT_EQ(chain.formatLogMessage(*m), "text+a+b");
  // Every link sees the record's own format, not a text made along the chain.
  EXPECT_EQ(b->seenFormats.items(), Texts{"fmt %d"});

  auto stop = std::make_shared<MarkFormatter>("", true);
  auto c = std::make_shared<MarkFormatter>("+c");
  chain.removeFormatter(a);
  chain.addFormatter(stop);
  chain.addFormatter(c);
  EXPECT_EQ(chain.formatLogMessage(*m), std::nullopt);
  EXPECT_EQ(c->calls.load(), 0);
  EXPECT_EQ(chain.formatters(), (std::vector<DDLogFormatterPtr>{b, stop, c}));
  EXPECT_FALSE(chain.isFormattingWithFormatter(a));
  EXPECT_TRUE(chain.isFormattingWithFormatter(c));
  chain.removeAllFormatters();
  EXPECT_TRUE(chain.formatters().empty());
  EXPECT_EQ(m->message(), "text");  // the record itself is never changed
}

TEST(DDMultiFormatterTest, FormattingFromManyQueuesWhileTheChainChanges) {
  auto chain = std::make_shared<DDMultiFormatter>();
  auto a = std::make_shared<MarkFormatter>("+a");
  chain->addFormatter(a);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      auto m = record("x");
      for (int i = 0; i < 500; ++i) {
        auto line = chain->formatLogMessage(*m);
        // Any whole state of the list: a, then a and b.
        if (line != "x+a" && line != "x+a+b") ++bad;
      }
    });
  }
  auto b = std::make_shared<MarkFormatter>("+b");
  for (int i = 0; i < 200; ++i) {
    chain->addFormatter(b);
    chain->removeFormatter(b);
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(chain->formatters(), std::vector<DDLogFormatterPtr>{a});
}

TEST(DDAtomicCounterTest, ReturnsNewValuesAndCountsEveryChange) {
  DDAtomicCounter c(0);
  EXPECT_EQ(c.increment(), 1);
  EXPECT_EQ(c.decrement(), 0);
  EXPECT_EQ(c.decrement(), -1);
  DDAtomicCounter top(INT32_MAX);
  EXPECT_EQ(top.increment(), INT32_MIN);

  DDAtomicCounter shared(5);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10000; ++i)
        t % 2 ? shared.decrement() : (shared.increment(), shared.increment());
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(shared.value(), 5 + 20000);
}

}  // namespace
