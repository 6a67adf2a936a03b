#include "logging/DDLogPublisher.h"

#include <gtest/gtest.h>

#include "LogTestSupport.h"

namespace {

namespace rx = platform::reactive;
using logtest::eventually;
using logtest::record;

TEST(MessagePublisher, DeliversAdmittedRecordsUntilCancelled) {
  auto log = std::make_shared<DDLog>(2);
  logtest::Journal got;
  auto token = rx::eraseToAnyPublisher(log->messagePublisher(DDLogLevel::warning))
                   .sink([&](const DDLogMessagePtr& m) { got.add(std::string(m->message())); });
  log->flushLog();
  ASSERT_EQ(log->allLoggers().size(), 1u);
  EXPECT_EQ(log->allLoggers()[0]->loggerName(), "orvel.quillmark.subscription");

  log->log(true, record("w", DDLogFlag::warning));
  log->log(true, record("skipped", DDLogFlag::info));  // not admitted by the level
  log->log(true, record("e", DDLogFlag::error));
  log->flushLog();
  EXPECT_EQ(got.items(), (std::vector<std::string>{"w", "e"}));

  token.cancel();
  EXPECT_TRUE(log->allLoggers().empty());
  log->log(false, record("after", DDLogFlag::error));
  log->flushLog();
  EXPECT_EQ(got.items().size(), 2u);
}

TEST(MessagePublisher, FormattedLeavesOutSuppressedRecords) {
  class Bracket : public DDLogFormatter {
   public:
    std::optional<std::string> formatLogMessage(const DDLogMessage& m) override {
      if (m.flag() == DDLogFlag::verbose) return std::nullopt;
      return "[" + std::string(m.message()) + "]";
    }
  };
  auto log = std::make_shared<DDLog>(1);
  logtest::Journal got;
  auto token =
      formatted(rx::eraseToAnyPublisher(log->messagePublisher()), std::make_shared<Bracket>())
          .sink([&](const std::string& s) { got.add(s); });
  log->flushLog();
  log->log(true, record("a"));
  log->log(true, record("hidden", DDLogFlag::verbose));
  log->log(true, record("b", DDLogFlag::debug));
  log->flushLog();
  EXPECT_EQ(got.items(), (std::vector<std::string>{"[a]", "[b]"}));
}

TEST(MessagePublisher, CancelWhileRecordsFlowAndAfterTheDispatcherIsGone) {
  auto log = std::make_shared<DDLog>(2);
  std::atomic<int> received{0};
  auto token = rx::eraseToAnyPublisher(log->messagePublisher()).sink([&](const DDLogMessagePtr&) {
    received.fetch_add(1);
  });
  log->flushLog();
  std::thread producer([&] {
    for (int i = 0; i < 500; ++i)
      log->log(true, record("r"));
  });
  EXPECT_TRUE(eventually([&] { return received.load() > 10; }));
  token.cancel();
  const int atCancel = received.load();
  producer.join();
  log->flushLog();
  EXPECT_EQ(received.load(), atCancel);  // nothing after cancel() returned
  EXPECT_TRUE(log->allLoggers().empty());

  // A subscription outliving its dispatcher cancels without it.
  std::weak_ptr<DDLog> weak;
  rx::AnyCancellable orphan;
  {
    auto shortLived = std::make_shared<DDLog>(2);
    weak = shortLived;
    orphan =
        rx::eraseToAnyPublisher(shortLived->messagePublisher()).sink([](const DDLogMessagePtr&) {});
    shortLived->removeAllLoggers();
    shortLived->flushLog();
  }
  EXPECT_TRUE(eventually([&] { return weak.expired(); }));
  orphan.cancel();
}

}  // namespace
