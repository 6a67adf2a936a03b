// The journal loggers and the capture, against a journald of the test's own in a private mount
// namespace (JournalSandbox.h): every field of every entry is compared byte for byte.
//
// Each scenario runs in a child process of this binary (DDJournalChild.*), which enters the
// namespace while it still has a single thread; the parent only checks that it passed.

#include <gtest/gtest.h>

#include <cstdio>

#include "JournalSandbox.h"
#include "logging/journal/DDASLLogCapture.h"
#include "logging/journal/DDASLLogger.h"
#include "logging/journal/DDOSLogger.h"
#include "logging/tests/LogTestSupport.h"
#include "platform/diagnostics/Diagnostics.h"

namespace {

using namespace logtest;
using journaltest::Fields;
using journaltest::JournalSandbox;

constexpr int kSkipped = 77;

// Enters the sandbox, leaves the child with kSkipped when this machine cannot make one, or fails
// when its journald does not work.
#define ENTER_SANDBOX(sandbox)                                                \
  if (!isChildRun()) GTEST_SKIP() << "runs only as a child of DDJournalTest"; \
  JournalSandbox sandbox;                                                     \
  if (!sandbox.skipReason().empty()) {                                        \
    std::fprintf(stderr, "%s\n", sandbox.skipReason().c_str());               \
    std::_Exit(kSkipped);                                                     \
  }                                                                           \
  ASSERT_EQ(sandbox.error(), "")

void runChild(const std::string& name) {
  TempDir dir;
  const int status = runSelf("DDJournalChild." + name, {}, dir / "err", nullptr, dir / "out");
  const std::string err = readFile(dir / "err") + readFile(dir / "out");
  if (WIFEXITED(status) && WEXITSTATUS(status) == kSkipped) GTEST_SKIP() << err;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << err;
}

bool fromUs(const Fields& f) {
  auto it = f.find("SYSLOG_IDENTIFIER");
  return it != f.end() && it->second == program_invocation_short_name;
}

DDLogMessagePtr call(std::string text, DDLogFlag flag, const char* file = "/src/net/Probe.cpp",
                     const char* function = "probe", std::uint64_t line = 12) {
  return std::make_shared<DDLogMessage>(std::move(text), DDLogLevel::all, flag, 0, file, function,
                                        line, nullptr, 0, std::nullopt);
}

TEST(DDJournalChild, SystemLogFields) {
  ENTER_SANDBOX(sandbox);
  const std::string me = program_invocation_short_name;
  const std::string tid = std::to_string(::getpid());  // records are built on the main thread
  auto log = std::make_shared<DDLog>();
  auto withSubsystem = std::make_shared<DDOSLogger>("com.example.client", "net");
  auto plain = std::make_shared<DDOSLogger>();
  EXPECT_EQ(plain->logger(), DDOSLogHandle::defaultHandle());
  EXPECT_NE(withSubsystem->logger(), DDOSLogHandle::defaultHandle());
  log->addLogger(withSubsystem);
  log->log(false, call("boom", DDLogFlag::error));
  log->log(false, call("careful", DDLogFlag::warning, "/w.c", nullptr, 0));
  log->log(false, call("two\nlines", DDLogFlag::info));
  log->log(false, call("chatty", DDLogFlag::verbose));
  log->log(false, call("odd flag", DDLogFlag(32)));
  log->log(false, call("captured", DDLogFlag::error, "DDASLLogCapture"));  // never written
  withSubsystem->logger()->setMaximumPriority(6);
  log->log(false, call("debug dropped", DDLogFlag::debug));
  log->flushLog();
  log->removeAllLoggers();
  log->addLogger(plain);
  log->log(false, call("default handle", DDLogFlag::info));
  log->flushLog();

  const Fields site = {{"CODE_FILE", "/src/net/Probe.cpp"},
                       {"CODE_FUNC", "probe"},
                       {"CODE_LINE", "12"},
                       {"DDLOG", "1"},
                       {"SYSLOG_IDENTIFIER", me},
                       {"TID", tid}};
  auto with = [](Fields f, std::initializer_list<std::pair<const std::string, std::string>> more) {
    for (const auto& [k, v] : more)
      f[k] = v;
    return f;
  };
  const Fields sub = with(site, {{"SUBSYSTEM", "com.example.client"}, {"CATEGORY", "net"}});
  const std::vector<Fields> expected = {
      with(sub, {{"MESSAGE", "boom"}, {"PRIORITY", "3"}}),
      {{"CATEGORY", "net"},
       {"CODE_FILE", "/w.c"},
       {"CODE_LINE", "0"},
       {"DDLOG", "1"},
       {"MESSAGE", "careful"},
       {"PRIORITY", "3"},
       {"SUBSYSTEM", "com.example.client"},
       {"SYSLOG_IDENTIFIER", me},
       {"TID", tid}},
      with(sub, {{"MESSAGE", "two\nlines"}, {"PRIORITY", "6"}}),
      with(sub, {{"MESSAGE", "chatty"}, {"PRIORITY", "7"}}),
      with(sub, {{"MESSAGE", "odd flag"}, {"PRIORITY", "5"}}),
      with(site, {{"MESSAGE", "default handle"}, {"PRIORITY", "6"}}),
  };
  const auto found = JournalSandbox::entries(fromUs, expected.size());
  std::vector<Fields> sent;
  for (const auto& f : found)
    sent.push_back(JournalSandbox::senderFields(f));
  EXPECT_EQ(sent, expected) << sandbox.diagnostics();
}

TEST(DDJournalChild, OlderSystemLogAndCapture) {
  ENTER_SANDBOX(sandbox);
  const std::string me = program_invocation_short_name;
  auto recorder = std::make_shared<RecordingLogger>();
  DDLog::sharedAddLogger(recorder);
  DDLog::sharedAddLogger(DDASLLogger::sharedInstance());
  EXPECT_EQ(DDASLLogger::make(), nullptr);

  // Written before capturing starts, and seen in the journal before it does: never captured.
  ASSERT_EQ(sd_journal_send("MESSAGE=before start", "PRIORITY=3", nullptr), 0);
  ASSERT_EQ(
      JournalSandbox::entries([](const Fields& f) { return f.at("MESSAGE") == "before start"; }, 1)
          .size(),
      1u)
      << sandbox.diagnostics();
  DDASLLogCapture::setCaptureLevel(DDLogLevel::info);
  DDASLLogCapture::start();
  DDASLLogCapture::start();  // once until stop
  // This library's own entry (DDLOG=1) is not read back.
  DDLog::sharedLog(false, call("from the library", DDLogFlag::info));
  const char* foreign[][2] = {{"PRIORITY=1", "crit"},          {"PRIORITY=3", "err"},
                              {"PRIORITY=4", "warning"},       {"PRIORITY=5", "notice"},
                              {"PRIORITY=6", "info"},          {"PRIORITY=7", "debug"},
                              {"NO_PRIORITY=1", "none"},       {"PRIORITY=9", "beyond 7"},
                              {"PRIORITY=12", "beyond 7 too"}, {"PRIORITY=4", "last"}};
  for (auto& [priority, text] : foreign)
    ASSERT_EQ(sd_journal_send("MESSAGE=%s", text, "%s", priority, nullptr), 0) << text;

  auto captured = [&] {
    std::vector<DDLogMessagePtr> out;
    for (const auto& r : recorder->records())
      if (r->fileName() == "DDASLLogCapture") out.push_back(r);
    return out;
  };
  ASSERT_TRUE(eventually([&] {
    auto c = captured();
    return !c.empty() && c.back()->message() == "last";
  })) << sandbox.diagnostics();
  DDASLLogCapture::stop();
  DDLog::sharedFlushLog();
  Texts got;
  for (const auto& r : captured())
    got.push_back(std::string(r->message()) + ":" + std::to_string(r->flag().rawValue));
  // Capture level info: debug (5) and verbose (6, 7) entries are left out; levels beyond 7 are
  // never captured.
  EXPECT_EQ(got, (Texts{"crit:1", "err:2", "warning:4", "none:1", "last:4"}));

  // Each captured record carries the entry's own time.
  const auto lastEntry =
      JournalSandbox::entries([](const Fields& f) { return f.at("MESSAGE") == "last"; }, 1);
  ASSERT_EQ(lastEntry.size(), 1u) << sandbox.diagnostics();
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
      captured().back()->timestamp().time_since_epoch());
  EXPECT_EQ(std::to_string(micros.count()), lastEntry[0].at("__REALTIME_TIMESTAMP"));

  // The older-system-log entry with its keys; the captured records were not written again.
  const auto ours = JournalSandbox::entries([](const Fields& f) { return f.contains("DDLOG"); }, 1);
  std::vector<Fields> sent;
  for (const auto& f : ours)
    sent.push_back(JournalSandbox::senderFields(f));
  EXPECT_EQ(sent, (std::vector<Fields>{{{"DDLOG", "1"},
                                        {"MESSAGE", "from the library"},
                                        {"PRIORITY", "4"},
                                        {"READ_UID", std::to_string(::geteuid())},
                                        {"SYSLOG_IDENTIFIER", me}}}))
      << sandbox.diagnostics();
}

TEST(DDJournalTest, SystemLogFields) {
  runChild("SystemLogFields");
}

TEST(DDJournalTest, OlderSystemLogAndCapture) {
  runChild("OlderSystemLogAndCapture");
}

TEST(DDJournalTest, LevelMapping) {
  const DDOSLogLevelMapperDefault mapper;
  const std::tuple<DDLogFlag, DDOSLogType, std::string_view, DDLogFlag> rows[] = {
      {DDLogFlag::error, DDOSLogType::error, "2", DDLogFlag::error},
      {DDLogFlag::warning, DDOSLogType::error, "3", DDLogFlag::warning},
      {DDLogFlag::info, DDOSLogType::info, "4", DDLogFlag::info},
      {DDLogFlag::debug, DDOSLogType::debug, "5", DDLogFlag::debug},
      {DDLogFlag::verbose, DDOSLogType::debug, "5", DDLogFlag::verbose},
      {DDLogFlag(0), DDOSLogType::defaultType, "5", DDLogFlag::error},
  };
  for (const auto& [flag, type, digit, captured] : rows) {
    EXPECT_EQ(mapper.osLogTypeForLogFlag(flag), type) << flag.rawValue;
    EXPECT_EQ(DDASLLogger::levelDigit(flag), digit) << flag.rawValue;
  }
  // Capture: priority (the level digit) back to a flag; none counts as an error.
  EXPECT_EQ(DDASLLogCapture::flagForPriority(-1), DDLogFlag::error);
  EXPECT_EQ(DDASLLogCapture::flagForPriority(0), DDLogFlag::error);
  EXPECT_EQ(DDASLLogCapture::flagForPriority(2), DDLogFlag::error);
  EXPECT_EQ(DDASLLogCapture::flagForPriority(3), DDLogFlag::warning);
  EXPECT_EQ(DDASLLogCapture::flagForPriority(7), DDLogFlag::verbose);
  EXPECT_EQ(DDASLLogCapture::captureLevel(), DDLogLevel::verbose);
  // The journal priorities of the log types.
  EXPECT_EQ(ddJournalPriority(DDOSLogType::error), 3);
  EXPECT_EQ(ddJournalPriority(DDOSLogType::info), 6);
  EXPECT_EQ(ddJournalPriority(DDOSLogType::debug), 7);
  EXPECT_EQ(ddJournalPriority(DDOSLogType::defaultType), 5);
}

TEST(DDJournalTest, ConstructionRules) {
  platform::diagnostics::ScopedCapture capture;
  DDOSLogger half("com.example.client", std::nullopt);
  EXPECT_EQ(half.subsystem(), std::nullopt);
  EXPECT_EQ(half.logger(), DDOSLogHandle::defaultHandle());
  DDOSLogger noMapper(DDOSLogLevelMapperPtr{});
  ASSERT_NE(noMapper.logLevelMapper(), nullptr);
  EXPECT_EQ(
      capture.texts(),
      (Texts{"Contract violation: Either both subsystem and category or neither should be nil.",
             "Contract violation: Invalid parameter not satisfying: logLevelMapper"}));
  EXPECT_EQ(DDOSLogger::sharedInstance()->loggerName(), "orvel.quillmark.osLogger");
}

}  // namespace
