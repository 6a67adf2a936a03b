#include "logging/DDLogMessagePool.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/DDAbstractLogger.h"
#include "logging/DDLogFrontEnd.h"
#include "logging/DDLogMessage.h"
#include "logging/tests/LogTestSupport.h"

namespace {

std::shared_ptr<const DDLogMessage> record(DDLogText text) {
  return DDLogMessage::create(std::move(text), DDLogLevel::all, DDLogFlag::info, 0, "f.cpp", "fn",
                              1, nullptr, 0, std::nullopt);
}

// Records built on one thread and released on another (the dispatcher's pattern) go back to the
// pool: a burst within the bound is kept whole for the next one, a burst beyond it leaves the
// bound's worth, and lowering the bound frees the surplus at once.
TEST(DDLogMessagePool, BurstsAreKeptUpToTheBound) {
  if (!DDLogMessagePool::pooling()) GTEST_SKIP() << "blocks go straight to the system allocator";
  const std::size_t bound = 2048;
  // This thread's own cache holds up to a chain and its freed blocks, outside the shared stack.
  const std::size_t slack = dd_detail::kChainBlocks + dd_detail::kLocalBlocks;
  DDLogMessagePool::setMaximumSpareBytes(0);
  DDLogMessagePool::setMaximumSpareBytes(bound * dd_detail::kRecordBlockSize);
  const auto burst = [](std::size_t n) {
    std::vector<std::shared_ptr<const DDLogMessage>> records;
    records.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
      records.push_back(record(DDLogText::transient("record " + std::to_string(i))));
    for (std::size_t i = 0; i < n; i += 997)
      EXPECT_EQ(records[i]->message(), "record " + std::to_string(i));
    const std::size_t before = DDLogMessagePool::spareBlocks();
    // The releasing thread's own cache joins the shared stack when the thread ends.
    std::thread([&] { records.clear(); }).join();
    return std::pair(before, DDLogMessagePool::spareBlocks());
  };
  const auto [before, within] = burst(bound / 2);
  EXPECT_EQ(within, before + bound / 2);
  const std::size_t afterBigBurst = burst(3 * bound).second;
  EXPECT_LE(afterBigBurst, bound);
  EXPECT_GE(afterBigBurst + dd_detail::kChainBlocks, bound);
  // The next burst takes its blocks from the stack.
  EXPECT_LE(burst(bound / 2).first + bound / 2, afterBigBurst + slack);

  DDLogMessagePool::setMaximumSpareBytes(bound / 4 * dd_detail::kRecordBlockSize);
  EXPECT_LE(DDLogMessagePool::spareBlocks(), bound / 4);
  EXPECT_GE(DDLogMessagePool::spareBlocks() + dd_detail::kChainBlocks, bound / 4);
  DDLogMessagePool::setMaximumSpareBytes(0);
  EXPECT_EQ(DDLogMessagePool::spareBlocks(), 0u);
  EXPECT_EQ(burst(100).second, 0u);
  DDLogMessagePool::setMaximumSpareBytes(DDLogMessagePool::kDefaultMaximumSpareBytes);

  // The released blocks serve new records, texts intact.
  std::vector<std::shared_ptr<const DDLogMessage>> again;
  for (int i = 0; i < 100; ++i)
    again.push_back(record(DDLogText::transient(std::string(i, 'x'))));
  for (int i = 0; i < 100; ++i)
    EXPECT_EQ(again[i]->message(), std::string(i, 'x'));
}

// A transient text lives in a buffer its owner reuses: the record must hold its own copy, inline
// when short and on the heap when long, and copies of the record must see the same text.
TEST(DDLogMessagePool, TransientTextsAreCopiedWhateverTheirLength) {
  for (std::size_t length : {0u, 1u, 199u, 200u, 201u, 5000u}) {
    std::string buffer(length, 'a');
    auto r = record(DDLogText::transient(buffer));
    const std::string expected = buffer;
    buffer.assign(length, 'b');
    EXPECT_EQ(r->message(), expected) << length;
    EXPECT_EQ(r->messageFormat(), expected) << length;
    auto c = r->copy();
    r.reset();
    EXPECT_EQ(c->message(), expected) << length;
  }
}

// An argument whose description logs while the outer text is being formatted: each call's text
// must end up in its own record.
class Chatty : public DDLogObject {
 public:
  explicit Chatty(std::shared_ptr<DDLog> log) : log_(std::move(log)) {}
  std::string description() const override {
    _DDLogMessage(DDLogLevel::all, DDLogFlag::info, 0, nullptr, true, log_, "inner %@ %d",
                  std::string(150, 'i'), 7);
    return "chatty";
  }

 private:
  std::shared_ptr<DDLog> log_;
};

TEST(DDLogMessagePool, NestedFormattingKeepsBothTexts) {
  auto log = std::make_shared<DDLog>();
  auto capture = std::make_shared<logtest::RecordingLogger>();
  log->addLogger(capture);
  DDLogObjectPtr chatty = std::make_shared<Chatty>(log);
  _DDLogMessage(DDLogLevel::all, DDLogFlag::info, 0, nullptr, true, log, "outer [%@] %@ end",
                std::string(100, 'o'), chatty);
  log->flushLog();
  const auto texts = capture->messages();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "inner " + std::string(150, 'i') + " 7");
  EXPECT_EQ(texts[1], "outer [" + std::string(100, 'o') + "] chatty end");
}

// A log call from a thread-local destructor that runs after the thread's formatting buffer is
// gone (it was built later, so it is destroyed first) must format into a fresh string.
struct LateLogger {
  std::shared_ptr<DDLog> log;
  ~LateLogger() {
    _DDLogMessage(DDLogLevel::all, DDLogFlag::info, 0, nullptr, false, log, "late %@ %d",
                  std::string(100, 'l'), 42);
  }
};

TEST(DDLogMessagePool, LoggingFromALateThreadLocalDestructorIsSafe) {
  auto log = std::make_shared<DDLog>();
  auto capture = std::make_shared<logtest::RecordingLogger>();
  log->addLogger(capture);
  std::thread([&] {
    thread_local LateLogger late;
    late.log = log;
    _DDLogMessage(DDLogLevel::all, DDLogFlag::info, 0, nullptr, false, log, "early %@",
                  std::string(100, 'e'));
  }).join();
  log->flushLog();
  const auto texts = capture->messages();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "early " + std::string(100, 'e'));
  EXPECT_EQ(texts[1], "late " + std::string(100, 'l') + " 42");
}

}  // namespace
