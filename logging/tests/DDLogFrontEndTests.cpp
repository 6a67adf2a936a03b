#include "logging/DDLogFrontEnd.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "TestLoggers.h"

namespace {

using logtest::eventually;

// Keeps every record it receives.
class Capture : public DDAbstractLogger {
 public:
  void logMessage(const DDLogMessagePtr& m) override {
    std::lock_guard lock(mutex_);
    records_.push_back(m);
  }
  std::vector<DDLogMessagePtr> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<DDLogMessagePtr> records_;
};

class FrontEnd : public ::testing::Test {
 protected:
  std::shared_ptr<Capture> capture = std::make_shared<Capture>();
  int evaluations = 0;

  void SetUp() override { DDLog::sharedAddLogger(capture); }
  void TearDown() override {
    DDLog::sharedRemoveLogger(capture);
    DDLog::sharedFlushLog();
    resetDynamicLogLevel();
    asyncLoggingEnabled = true;
  }
  // A message argument whose evaluation is counted.
  int counted() { return ++evaluations; }
  std::vector<DDLogMessagePtr> delivered() {
    DDLog::sharedFlushLog();
    return capture->records();
  }
};

TEST_F(FrontEnd, GatesNeverEvaluateATurnedAwayMessage) {
  dynamicLogLevel = DDLogLevel::info;  // 7: error, warning, info
  DDLogError("e %d", counted());
  DDLogWarn("w %d", counted());
  DDLogInfo("i %d", counted());
  DDLogDebug("d %d", counted());
  DDLogVerbose("v %d", counted());
  EXPECT_EQ(evaluations, 3);
  // A call's own level of 0 turns everything away, whatever dynamicLogLevel says.
  resetDynamicLogLevel();
  _DDLogMessage(DDLogLevel::off, DDLogFlag::error, 0, nullptr, false, DDLog::sharedInstance(),
                "never %d", counted());
  // Its own level admits debug only: info is turned away.
  _DDLogMessage(DDLogLevel(8), DDLogFlag::info, 0, nullptr, false, DDLog::sharedInstance(),
                "never %d", counted());
  EXPECT_EQ(evaluations, 3);
  // Setting defaultDebugLevel is setting dynamicLogLevel.
  defaultDebugLevel = DDLogLevel::error;
  EXPECT_EQ(dynamicLogLevel.load(), DDLogLevel::error);
  DDLogWarn("w %d", counted());
  EXPECT_EQ(evaluations, 3);
  resetDefaultDebugLevel();
  EXPECT_EQ(dynamicLogLevel.load(), DDLogLevel::all);
  DDAssert(true, "fine %d", counted());
  EXPECT_EQ(evaluations, 3);

  const auto records = delivered();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0]->message(), "e 1");
  EXPECT_EQ(records[0]->flag(), DDLogFlag::error);
  EXPECT_EQ(records[1]->message(), "w 2");
  EXPECT_EQ(records[1]->flag(), DDLogFlag::warning);
  EXPECT_EQ(records[2]->message(), "i 3");
  EXPECT_EQ(records[2]->flag(), DDLogFlag::info);
}

TEST_F(FrontEnd, RecordFieldsOfACall) {
  static constexpr char kFormat[] = "Accepted new XPC connection: %@ (%li)";
  const std::string description(40, 'c');
  const int line = __LINE__ + 1;
  DDLogInfo(kFormat, description, 12L);
  const auto records = delivered();
  ASSERT_EQ(records.size(), 1u);
  const auto& r = *records[0];
  EXPECT_EQ(r.message(), "Accepted new XPC connection: " + description + " (12)");
  EXPECT_EQ(r.messageFormat(), kFormat);
  EXPECT_EQ(r.messageFormat().data(), kFormat);  // a literal is referenced, not copied
  EXPECT_EQ(r.file(), __FILE__);
  EXPECT_EQ(r.fileName(), "DDLogFrontEndTests");
  EXPECT_EQ(r.function(), "TestBody");
  EXPECT_EQ(r.line(), static_cast<std::uint64_t>(line));
  EXPECT_EQ(r.level(), DDLogLevel::all);
  EXPECT_EQ(r.context(), 0);
  EXPECT_EQ(r.tag(), nullptr);
  EXPECT_EQ(r.options(), DDLogMessageOptions::keepMessage);
}

TEST_F(FrontEnd, MessageKinds) {
  std::string runtimeFormat = "built at run time %d, long enough for the heap";
  DDLogDebug(runtimeFormat, 1);
  runtimeFormat.assign(runtimeFormat.size(), '#');  // the record took its own copy
  DDLogDebug("100% plain");                         // text alone: not formatted
  DDLogDebug(42);                                   // any value: its description
  DDLogDebug(DDLogMessageFormat("50% plain"));
  DDLogMessageFormat::StringInterpolation s(16, 1);
  s.appendLiteral("ratio 5% of ");
  s.appendInterpolation(std::int32_t{-3});
  DDLogDebug(DDLogMessageFormat(std::move(s)));
  DDAssert(false);
  DDAssert(1 + 1 == 3, "math %@", "broke");
  DDAssertionFailure("unreachable");
  const auto r = delivered();
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(r[0]->message(), "built at run time 1, long enough for the heap");
  EXPECT_EQ(r[0]->messageFormat(), "built at run time %d, long enough for the heap");
  EXPECT_EQ(r[1]->message(), "100% plain");
  EXPECT_EQ(r[1]->messageFormat(), "100% plain");
  EXPECT_EQ(r[2]->message(), "42");
  EXPECT_EQ(r[3]->message(), "50% plain");
  EXPECT_EQ(r[4]->messageFormat(), "ratio 5%% of %li");
  EXPECT_EQ(r[4]->message(), "ratio 5% of -3");
  EXPECT_EQ(r[5]->message(), "");
  EXPECT_EQ(r[5]->flag(), DDLogFlag::error);
  EXPECT_EQ(r[6]->message(), "math broke");
  EXPECT_EQ(r[7]->message(), "unreachable");
  EXPECT_EQ(r[7]->flag(), DDLogFlag::error);
}

TEST_F(FrontEnd, DeliveryModeAndExplicitDispatcher) {
  // Synchronous by the process-wide switch: delivered before the call returns.
  asyncLoggingEnabled = false;
  DDLogInfo("sync");
  EXPECT_EQ(capture->records().size(), 1u);
  asyncLoggingEnabled = true;

  auto own = std::make_shared<DDLog>(2);
  auto other = std::make_shared<Capture>();
  own->addLogger(other);
  _DDLogMessage(DDLogLevel::all, DDLogFlag::warning, 77, "the tag", false, own, "to %@", "own");
  EXPECT_EQ(other->records().size(), 1u);  // explicit synchronous delivery
  _DDLogMessage(DDLogLevel::all, DDLogFlag::info, 0, nullptr, std::nullopt, *own, "async");
  own->flushLog();
  const auto r = other->records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]->message(), "to own");
  EXPECT_EQ(r[0]->context(), 77);
  ASSERT_NE(r[0]->tag(), nullptr);
  EXPECT_EQ(r[0]->tag()->description(), "the tag");
  EXPECT_EQ(r[1]->message(), "async");
  EXPECT_EQ(delivered().size(), 1u);  // nothing of these reached the shared dispatcher
  own->removeAllLoggers();
}

TEST(DDLogMessageFormat, PlainAndInterpolated) {
  DDLogMessageFormat plain("keeps 100% and %d");
  EXPECT_FALSE(plain.requiresArgumentParsing());
  EXPECT_EQ(plain.format(), "keeps 100% and %d");
  EXPECT_EQ(plain.formatted(), "keeps 100% and %d");
  EXPECT_TRUE(plain.args().empty());

  struct WithObject {
    std::shared_ptr<const DDLogObject> ddLogObject() const { return DDLogStringObject::make("O"); }
  };
  struct Described {
    std::string description() const { return "D"; }
  };
  DDLogMessageFormat::StringInterpolation s(64, 14);
  s.appendLiteral("%|");
  s.appendInterpolation(std::int8_t{65});
  s.appendInterpolation(std::uint8_t{66});
  s.appendInterpolation(std::int16_t{-2});
  s.appendInterpolation(std::uint16_t{2});
  s.appendInterpolation(std::int32_t{-3});
  s.appendInterpolation(std::uint32_t{3});
  s.appendInterpolation(std::int64_t{-4});
  s.appendInterpolation(std::size_t{4});
  s.appendInterpolation(0.5f);
  s.appendInterpolation(0.25);
  s.appendInterpolation(true);
  s.appendInterpolation(std::string("txt"));
  s.appendInterpolation(WithObject{});
  s.appendInterpolation(Described{});
  DDLogMessageFormat f(std::move(s));
  EXPECT_TRUE(f.requiresArgumentParsing());
  EXPECT_EQ(f.format(), "%%|%c%c%i%u%li%lu%lli%llu%f%lf%i%@%@%@");
  EXPECT_EQ(f.args().size(), 14u);
  EXPECT_EQ(f.formatted(), "%|AB-22-33-440.5000000.2500001txtOD");
  EXPECT_EQ(f.storage().format, f.format());
}

TEST(DDLogMessageFormat, InterpolatedTextsAreOwned) {
  DDLogMessageFormat::StringInterpolation s(8, 1);
  {
    std::string temporary = "a temporary long enough to be on the heap";
    s.appendInterpolation(temporary);
  }
  DDLogMessageFormat f(std::move(s));
  EXPECT_EQ(f.formatted(), "a temporary long enough to be on the heap");
}

TEST(CurrentFileName, Rule) {
  EXPECT_EQ(currentFileName("/path/to/name.ext"), "name");
  EXPECT_EQ(currentFileName("plain"), "plain");
  EXPECT_EQ(currentFileName("dir/archive.tar.gz"), "archive.tar");
  EXPECT_EQ(currentFileName(), "DDLogFrontEndTests");
  EXPECT_EQ(CurrentFileName("a/b"), "b");
}

TEST(DDLogFlagsAndLevels, ValuesAndConversions) {
  EXPECT_EQ(DDLogFlag::error.rawValue | DDLogFlag::warning.rawValue | DDLogFlag::info.rawValue |
                DDLogFlag::debug.rawValue | DDLogFlag::verbose.rawValue,
            DDLogLevel::verbose.rawValue);
  EXPECT_EQ(DDLogLevel::all.rawValue, static_cast<std::uint64_t>(-1));
  EXPECT_TRUE(DDLogLevel::info.admits(DDLogFlag::warning));
  EXPECT_FALSE(DDLogLevel::info.admits(DDLogFlag::debug));
  EXPECT_FALSE(DDLogLevel::all.admits(DDLogFlag(0)));
  EXPECT_EQ(DDLogFlag::from(DDLogLevel(12)).rawValue, 12u);
  EXPECT_EQ(DDLogFlag(DDLogLevel::debug).toLogLevel(), DDLogLevel::debug);
}

}  // namespace
