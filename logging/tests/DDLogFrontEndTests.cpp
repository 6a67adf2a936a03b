#include "logging/DDLogFrontEnd.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "LogTestSupport.h"
#include "platform/dispatch/Semaphore.h"

namespace {

using logtest::RecordingLogger;

class FrontEnd : public ::testing::Test {
 protected:
  std::shared_ptr<RecordingLogger> capture = std::make_shared<RecordingLogger>();
  int evaluations = 0;

  void SetUp() override { DDLog::sharedAddLogger(capture); }
  void TearDown() override {
    DDLog::sharedRemoveLogger(capture);
    DDLog::sharedFlushLog();
    resetDynamicLogLevel();
    asyncLoggingEnabled = true;
  }
  int counted() { return ++evaluations; }  // a message argument whose evaluation is counted
  std::vector<DDLogMessagePtr> delivered() {
    DDLog::sharedFlushLog();
    return capture->records();
  }
};

TEST_F(FrontEnd, GatesNeverEvaluateATurnedAwayMessage) {
  dynamicLogLevel = DDLogLevel::info;  // error, warning, info
  DDLogError("e %d", counted());
  DDLogWarn("w %d", counted());
  DDLogInfo("i %d", counted());
  DDLogDebug("d %d", counted());
  DDLogVerbose("v %d", counted());
  EXPECT_EQ(evaluations, 3);
  // A call's own level turns records away whatever dynamicLogLevel says: 0 turns away all, 8
  // (debug only) turns away info.
  resetDynamicLogLevel();
  _DDLogMessage(DDLogLevel::off, DDLogFlag::error, 0, nullptr, false, DDLog::sharedInstance(),
                "never %d", counted());
  _DDLogMessage(DDLogLevel(8), DDLogFlag::info, 0, nullptr, false, DDLog::sharedInstance(),
                "never %d", counted());
  // Setting defaultDebugLevel is setting dynamicLogLevel.
  defaultDebugLevel = DDLogLevel::error;
  EXPECT_EQ(dynamicLogLevel.load(), DDLogLevel::error);
  DDLogWarn("w %d", counted());
  resetDefaultDebugLevel();
  EXPECT_EQ(dynamicLogLevel.load(), DDLogLevel::all);
  DDAssert(true, "fine %d", counted());
  EXPECT_EQ(evaluations, 3);

  std::vector<std::string> got;
  for (const auto& r : delivered())
    got.push_back(std::string(r->message()) + "@" + std::to_string(r->flag().rawValue));
  EXPECT_EQ(got, (std::vector<std::string>{"e 1@1", "w 2@2", "i 3@4"}));
}

TEST_F(FrontEnd, ACallRecordsItsSource) {
  const std::string description(40, 'c');
  const int line = __LINE__ + 1;
  DDLogInfo("Accepted new XPC connection: %@ (%li)", description, 12L);
  const auto records = delivered();
  ASSERT_EQ(records.size(), 1u);
  const auto& r = *records[0];
  EXPECT_EQ(r.message(), "Accepted new XPC connection: " + description + " (12)");
  EXPECT_EQ(r.messageFormat(), "Accepted new XPC connection: %@ (%li)");
  EXPECT_EQ(r.file(), __FILE__);
  EXPECT_EQ(r.function(), "TestBody");
  EXPECT_EQ(r.line(), static_cast<std::uint64_t>(line));
  EXPECT_EQ(r.level(), DDLogLevel::all);
  EXPECT_EQ(r.options(), DDLogMessageOptions::keepMessage);
  // The file-name helper defaults to the caller's file.
  EXPECT_EQ(currentFileName(), "DDLogFrontEndTests");
  EXPECT_EQ(CurrentFileName("dir/archive.tar.gz"), "archive.tar");
}

// Logs with a format held in an array of this frame, which is gone when the function returns.
[[gnu::noinline]] void logWithLocalArray(DDLog& log) {
  const char local[] = "local array %d, long enough to be more than a few words";
  _DDLogMessage(DDLogLevel::all, DDLogFlag::info, 0, nullptr, true, log, local, 2);
  const char plain[] = "local array alone, long enough to be more than a few words";
  _DDLogMessage(DDLogLevel::all, DDLogFlag::info, 0, nullptr, true, log, plain);
}

// Overwrites the stack where the frame above was.
[[gnu::noinline]] void scribbleOverTheStack() {
  volatile char junk[4096];
  for (auto& c : junk)
    c = '#';
}

TEST(FrontEndLifetime, RecordsOwnTextsThatTheCallerFreesBeforeTheyAreWritten) {
  auto log = std::make_shared<DDLog>(2);
  auto slow = std::make_shared<RecordingLogger>();
  log->addLogger(slow);
  // The logger is held up until every caller's array is gone.
  platform::dispatch::Semaphore gate;
  slow->loggerQueue()->async([&] { gate.wait(); });

  struct Named {
    char name[48];
  };
  auto heap = std::make_unique<Named>();
  std::snprintf(heap->name, sizeof heap->name, "heap member %%d of %s", "a heap object");
  _DDLogMessage(DDLogLevel::all, DDLogFlag::info, 0, nullptr, true, log, heap->name, 1);
  _DDLogMessage(DDLogLevel::all, DDLogFlag::info, 0, nullptr, true, log, heap->name);
  std::memset(heap->name, '#', sizeof heap->name - 1);
  heap.reset();
  logWithLocalArray(*log);
  scribbleOverTheStack();
  _DDLogMessage(DDLogLevel::all, DDLogFlag::info, 0, nullptr, true, log, "a literal %d", 3);

  gate.signal();
  log->flushLog();
  std::vector<std::string> seen;
  for (const auto& r : slow->records()) {
    seen.push_back(std::string(r->messageFormat()) + " | " + std::string(r->message()));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "heap member %d of a heap object | heap member 1 of a heap object",
                      "heap member %d of a heap object | heap member %d of a heap object",
                      "local array %d, long enough to be more than a few words | local array 2, "
                      "long enough to be more than a few words",
                      "local array alone, long enough to be more than a few words | local array "
                      "alone, long enough to be more than a few words",
                      "a literal %d | a literal 3"}));
  log->removeAllLoggers();
  log->flushLog();
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
  std::vector<std::string> texts;
  for (const auto& m : r)
    texts.emplace_back(m->message());
  EXPECT_EQ(texts, (std::vector<std::string>{"built at run time 1, long enough for the heap",
                                             "100% plain", "42", "50% plain", "ratio 5% of -3", "",
                                             "math broke", "unreachable"}));
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(r[0]->messageFormat(), "built at run time %d, long enough for the heap");
  EXPECT_EQ(r[1]->messageFormat(), "100% plain");
  EXPECT_EQ(r[4]->messageFormat(), "ratio 5%% of %li");
  EXPECT_EQ(r[5]->flag(), DDLogFlag::error);
  EXPECT_EQ(r[7]->flag(), DDLogFlag::error);
}

TEST_F(FrontEnd, DeliveryModeAndExplicitDispatcher) {
  // Synchronous by the process-wide switch: delivered before the call returns.
  asyncLoggingEnabled = false;
  DDLogInfo("sync");
  EXPECT_EQ(capture->records().size(), 1u);
  asyncLoggingEnabled = true;

  auto own = std::make_shared<DDLog>(2);
  auto other = std::make_shared<RecordingLogger>();
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

TEST_F(FrontEnd, AnExplicitCallSiteNamesTheRecordBehindTheSameGate) {
  static constexpr char kFile[] = "SharedUtils/NSXPCListener+Validation.cpp";
  dynamicLogLevel = DDLogLevel::info;
  DDLogAt(DDLogFlag::debug, kFile, "validate(_:)", "gated %d", counted());
  _DDLogMessageAt(kFile, "validate(_:)", DDLogLevel::off, DDLogFlag::error, 0, nullptr, false,
                  DDLog::sharedInstance(), "gated %d", counted());
  const int line = __LINE__ + 1;
  DDLogAt(DDLogFlag::info, kFile, "validate(_:)", "accepted %d", counted());
  // Synchronous: when it returns, it and the asynchronous record queued before it are handled.
  _DDLogMessageAt("daemon/main.cpp", "start()", DDLogLevel::all, DDLogFlag::error, 7, nullptr,
                  false, DDLog::sharedInstance(), "refused");
  EXPECT_EQ(evaluations, 1);
  const auto r = capture->records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]->message(), "accepted 1");
  EXPECT_EQ(r[0]->file().data(), kFile);  // borrowed, not copied
  EXPECT_EQ(r[0]->fileName(), "NSXPCListener+Validation");
  EXPECT_EQ(r[0]->function(), "validate(_:)");
  EXPECT_EQ(r[0]->line(), static_cast<std::uint64_t>(line));
  EXPECT_EQ(r[0]->flag(), DDLogFlag::info);
  EXPECT_EQ(r[1]->message(), "refused");
  EXPECT_EQ(r[1]->fileName(), "main");
  EXPECT_EQ(r[1]->function(), "start()");
  EXPECT_EQ(r[1]->context(), 7);
}

TEST(DDLogMessageFormat, PlainAndInterpolated) {
  DDLogMessageFormat plain("keeps 100% and %d");
  EXPECT_FALSE(plain.requiresArgumentParsing());
  EXPECT_EQ(plain.formatted(), "keeps 100% and %d");

  struct WithObject {
    std::shared_ptr<const DDLogObject> ddLogObject() const { return DDLogStringObject::make("O"); }
  };
  struct Described {
    std::string description() const { return "D"; }
  };
  DDLogMessageFormat::StringInterpolation s(64, 14);
  s.appendLiteral("%|");
  const auto append = [&](auto... values) { (s.appendInterpolation(values), ...); };
  append(std::int8_t{65}, std::uint8_t{66}, std::int16_t{-2}, std::uint16_t{2}, std::int32_t{-3},
         std::uint32_t{3}, std::int64_t{-4}, std::size_t{4}, 0.5f, 0.25, true);
  {
    std::string temporary = "txt, a temporary long enough to be on the heap";
    s.appendInterpolation(temporary);  // owned by the format from here on
  }
  append(WithObject{}, Described{});
  DDLogMessageFormat f(std::move(s));
  EXPECT_TRUE(f.requiresArgumentParsing());
  EXPECT_EQ(f.format(), "%%|%c%c%i%u%li%lu%lli%llu%f%lf%i%@%@%@");
  EXPECT_EQ(f.args().size(), 14u);
  EXPECT_EQ(f.formatted(),
            "%|AB-22-33-440.5000000.2500001txt, a temporary long enough to be on the heapOD");
}

// A class that is a text by itself and also has an object form: the object form is used, after a
// warning that names the declared, object and dynamic types.
struct AmbiguousBase {
  virtual ~AmbiguousBase() = default;
  operator std::string_view() const { return "as text"; }
  std::shared_ptr<const DDLogObject> ddLogObject() const {
    return DDLogStringObject::make("as object");
  }
};
struct AmbiguousDerived : AmbiguousBase {};

TEST(DDLogMessageFormat, AValueThatIsBothTextAndObjectUsesTheObjectFormAndWarns) {
  DDLogMessageFormat::StringInterpolation s(8, 1);
  s.appendLiteral("v=");
  const AmbiguousDerived derived;
  const AmbiguousBase& declared = derived;
  testing::internal::CaptureStdout();
  s.appendInterpolation(declared);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed,
            "[WARNING]: OrvelQuillmarkFront is creating a DDLogMessageFormat with an interpolation "
            "conforming to `CVarArg` using the overload for `ReferenceConvertible` "
            "interpolations!\nPlease report this as a bug, including the following snippet:\n"
            "```\nConvertible: (anonymous namespace)::AmbiguousBase, ReferenceType: "
            "DDLogStringObject, type(of: convertible): (anonymous namespace)::AmbiguousDerived\n"
            "```\n");
  DDLogMessageFormat f(std::move(s));
  EXPECT_EQ(f.format(), "v=%@");
  EXPECT_EQ(f.formatted(), "v=as object");
}

}  // namespace
