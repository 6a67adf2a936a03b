// The terminal logger: exact bytes on standard error in each terminal mode, colour choice, the
// one-instance rule.
//
// The terminal modes are decided once per process from the environment, so each mode runs in a
// child process of this executable (DDTTYLoggerChild.Script) with its own TERM / XcodeColors,
// TZ=UTC and standard error in a file; the parent compares that file byte for byte.

#include <gtest/gtest.h>

#include "LogTestSupport.h"
#include "logging/DDTTYLogger.h"
#include "platform/diagnostics/Diagnostics.h"

namespace {

using namespace logtest;

constexpr const char* kWarning =
    "OrvelQuillmark: Warning: Usage of DDTTYLogger detected when DDOSLogger is available and can "
    "be used! Please consider migrating to DDOSLogger.";

// 2026-12-05 15:16:49.123 UTC
const DDLogMessage::Timestamp kWhen =
    DDLogMessage::Timestamp(std::chrono::milliseconds(1796483809123));

DDLogMessagePtr scripted(std::string text, DDLogFlag flag, std::int64_t context = 0,
                         DDLogObjectPtr tag = nullptr) {
  return std::make_shared<DDLogMessage>(std::move(text), DDLogLevel::all, flag, context, "/t/f.c",
                                        "fn", 1, std::move(tag), 0, kWhen);
}

class Prefix : public DDLogFormatter {
 public:
  std::optional<std::string> formatLogMessage(const DDLogMessage& m) override {
    return "F:" + std::string(m.message());
  }
};

class PassThrough : public DDLogFormatter {
 public:
  std::optional<std::string> formatLogMessage(const DDLogMessage& m) override {
    return std::string(m.message());
  }
};

// Runs in the child: the same script in every mode.
TEST(DDTTYLoggerChild, Script) {
  if (!isChildRun()) GTEST_SKIP() << "runs only as the child of DDTTYLoggerTest";
  auto log = std::make_shared<DDLog>();
  auto tty = DDTTYLogger::sharedInstance();
  log->addLogger(tty);
  tty->setColorsEnabled(true);  // loads the default error and warning colours
  tty->setForegroundColor(DDColor::rgb(0, 255, 0), std::nullopt, DDLogFlag::info, 7);
  tty->setForegroundColorForTag(DDColor::rgb(0, 0, 255), DDColor::rgb(255, 255, 255),
                                DDLogStringObject::make("net"));
  log->log(false, scripted("plain info", DDLogFlag::info));
  log->log(false, scripted("boom", DDLogFlag::error));
  log->log(false, scripted("careful\n", DDLogFlag::warning));
  log->log(false, scripted("ctx seven", DDLogFlag::info, 7));
  log->log(false, scripted("ctx eight", DDLogFlag::info, 8));
  log->log(false, scripted("tagged", DDLogFlag::debug, 0, DDLogStringObject::make("net")));
  tty->setLogFormatter(std::make_shared<PassThrough>());
  log->log(false, scripted("filtered", DDLogFlag::error));
  tty->setLogFormatter(std::make_shared<Prefix>());
  log->log(false, scripted("custom", DDLogFlag::error));
  tty->setAutomaticallyAppendNewlineForCustomFormatters(false);
  log->log(false, scripted("bare", DDLogFlag::warning));
  tty->setColorsEnabled(false);
  log->log(false, scripted("off", DDLogFlag::error));
  log->flushLog();
}

struct Codes {
  std::string error, warning, green, tagFg, tagBg, reset;
};

std::string expectedScript(const Codes& c, pid_t pid) {
  const std::string origin = "2026-12-05 15:16:49:123 DDTTYLoggerTests[" + std::to_string(pid) +
                             ":" + std::to_string(pid).substr(0, 8) + "] ";
  return origin + "plain info\n" +                            //
         c.error + origin + "boom\n" + c.reset +              //
         c.warning + origin + "careful\n" + c.reset +         // no second line end
         c.green + origin + "ctx seven\n" + c.reset +         //
         origin + "ctx eight\n" +                             // no profile for 8
         c.tagFg + c.tagBg + origin + "tagged\n" + c.reset +  //
         c.error + origin + "filtered\n" + c.reset +          // passed through: layout kept
         c.error + "F:custom\n" + c.reset +                   //
         c.warning + "F:bare" + c.reset +                     //
         "F:off";
}

TEST(DDTTYLoggerTest, ExactBytesInEachTerminalMode) {
  const std::string esc = "\x1b[";
  struct Mode {
    const char* name;
    std::vector<std::string> env;
    Codes codes;
  } modes[] = {
      {"no colour terminal", {"TERM=dumb", "XcodeColors=NO"}, {}},
      {"16 colours",
       {"TERM=xterm-color", "XcodeColors=NO"},
       {esc + "31m", esc + "33m", esc + "1;32m", esc + "34m", esc + "1;47m", esc + "0m"}},
      {"256 colours",
       {"TERM=XTERM-256COLOR", "XcodeColors="},
       {esc + "38;5;166m", esc + "38;5;172m", esc + "38;5;46m", esc + "38;5;20m", esc + "48;5;231m",
        esc + "0m"}},
      {"xcode colours (TERM ignored)",
       {"TERM=xterm-256color", "XcodeColors=YES"},
       {esc + "fg214,57,30;", esc + "fg204,121,32;", esc + "fg0,255,0;", esc + "fg0,0,255;",
        esc + "bg255,255,255;", esc + ";"}},
  };
  TempDir dir;
  for (const auto& mode : modes) {
    auto env = mode.env;
    env.emplace_back("TZ=UTC");
    const std::string errPath = dir / "stderr";
    // The child's pid is its main thread's id, which is what its records carry.
    pid_t pid = 0;
    const int status = runSelf("DDTTYLoggerChild.Script", env, errPath, &pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << mode.name << " " << status;
    std::string err = readFile(errPath);
    // The first line is the hint on the diagnostic channel, then the script's lines only.
    const auto firstEnd = err.find('\n');
    ASSERT_NE(firstEnd, std::string::npos) << mode.name;
    EXPECT_NE(
        err.substr(0, firstEnd).find(std::string("DDTTYLoggerTests[") + std::to_string(pid) + ":"),
        std::string::npos);
    EXPECT_TRUE(err.substr(0, firstEnd).ends_with(kWarning)) << mode.name;
    EXPECT_EQ(err.substr(firstEnd + 1), expectedScript(mode.codes, pid)) << mode.name;
  }
}

TEST(DDTTYLoggerTest, NearestColourAndTieRule) {
  using P = DDTTYLoggerColorProfile;
  const auto& c16 = P::initializeColors16();
  const auto& c256 = P::initializeColors256();
  ASSERT_EQ(c16.size(), 16u);
  ASSERT_EQ(c256.size(), 240u);
  EXPECT_EQ(c16[0].fgCode, "30m");
  EXPECT_EQ(c16[15].fgCode, "1;37m");
  EXPECT_EQ(c16[9].bgCode, "1;41m");
  EXPECT_EQ(c256[0].fgCode, "38;5;16m");
  EXPECT_EQ(c256[239].bgCode, "48;5;255m");
  // Entries of this system's own palette, and two of the xterm standard around them.
  EXPECT_EQ(c256[0].rgb, (std::array<std::uint8_t, 3>{47, 49, 49}));
  EXPECT_EQ(c256[5].rgb, (std::array<std::uint8_t, 3>{88, 51, 255}));
  EXPECT_EQ(c256[239].rgb, (std::array<std::uint8_t, 3>{240, 242, 242}));
  EXPECT_EQ(c256[1].rgb, (std::array<std::uint8_t, 3>{0, 0, 95}));
  EXPECT_EQ(c256[238].rgb, (std::array<std::uint8_t, 3>{228, 228, 228}));

  // Exact hits, a near miss, and a colour equally far from two entries: the first stays.
  EXPECT_EQ(P::codeIndexForColor(DDColor::rgb(252, 57, 31), c16), 9u);
  EXPECT_EQ(P::codeIndexForColor(DDColor::rgb(200, 50, 30), c16), 1u);
  const std::vector<DDTTYPaletteEntry> twins = {
      {"a", "a", {0, 0, 0}}, {"b", "b", {100, 100, 100}}, {"c", "c", {100, 100, 100}}};
  EXPECT_EQ(P::codeIndexForColor(DDColor::rgb(100, 100, 100), twins), 1u);
  EXPECT_EQ(P::codeIndexForColor(DDColor::rgb(50, 50, 50), twins), 0u);  // tie at equal distance
  EXPECT_EQ(P::codeIndexForColor(DDColor::rgb(1, 2, 3), {}), 0u);
  EXPECT_EQ(P::getRedGreenBlue({0.0, 0.5, 1.0}), (std::array<std::uint8_t, 3>{0, 128, 255}));
  EXPECT_EQ(P::getRedGreenBlue(DDColor::rgb(214, 57, 30)),
            (std::array<std::uint8_t, 3>{214, 57, 30}));
}

// Runs in a child: only the first instance in a process is ever made.
TEST(DDTTYLoggerChild, OneInstancePerProcessAndInvalidTags) {
  if (!isChildRun()) GTEST_SKIP() << "runs only as the child of DDTTYLoggerTest";
  platform::diagnostics::ScopedCapture capture;
  auto early = DDTTYLogger::make();
  ASSERT_NE(early, nullptr);
  EXPECT_EQ(early->loggerName(), "orvel.quillmark.ttyLogger");
  const auto& shared = DDTTYLogger::sharedInstance();
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(&DDTTYLogger::sharedInstance(), &shared);
  EXPECT_EQ(DDTTYLogger::make(), nullptr);
  EXPECT_EQ(capture.texts(), (Texts{kWarning, kWarning}));

  shared->setForegroundColorForTag(DDColor{}, std::nullopt, nullptr);
  shared->clearColorsForTag(nullptr);
  EXPECT_EQ(capture.texts().size(), 4u);
  EXPECT_TRUE(capture.contains("Invalid tag"));
  EXPECT_FALSE(shared->colorsEnabled());
  shared->setColorsEnabled(true);
  EXPECT_TRUE(shared->colorsEnabled());  // the read waits for the change queued before it
}

TEST(DDTTYLoggerTest, OneInstancePerProcessAndInvalidTags) {
  TempDir dir;
  const int status = runSelf("DDTTYLoggerChild.OneInstancePerProcessAndInvalidTags", {},
                             dir / "err", nullptr, dir / "out");
  const std::string out = readFile(dir / "out");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << out;
  EXPECT_NE(out.find("[  PASSED  ] 1 test."), std::string::npos) << out;
}

}  // namespace
