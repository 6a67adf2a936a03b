#include "platform/diagnostics/Diagnostics.h"
#include "platform/diagnostics/RateLimiter.h"
#include "testsupport/ChildProcess.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace diag = platform::diagnostics;

TEST(Diagnostics, LineCarriesTimeProcessPidAndThreadAndIsOneLine) {
  std::vector<std::string> lines;
  auto previous =
      diag::setWriter([&](std::string_view, std::string_view line) { lines.emplace_back(line); });
  diag::reportf("DDFileLogger: Failed to %s: %d", "roll", 7);
  diag::report("trailing newline is not doubled\n");
  diag::setWriter(std::move(previous));

  ASSERT_EQ(lines.size(), 2u);
  const std::regex shape(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [^ \[]+\[(\d+):(\d+)\] DDFileLogger: Failed to roll: 7\n$)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[0], m, shape)) << lines[0];
  EXPECT_EQ(std::stoi(m[1]), getpid());
  EXPECT_EQ(lines[1].find('\n'), lines[1].size() - 1) << "exactly one line end";
}

TEST(Diagnostics, CaptureCollectsConcurrentReportsWholeAndRestoresPreviousWriter) {
  int outerCalls = 0;
  auto previous = diag::setWriter([&](std::string_view, std::string_view) { ++outerCalls; });
  {
    diag::ScopedCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([t] {
        for (int i = 0; i < 100; ++i)
          diag::reportf("thread %d report %d", t, i);
      });
    for (auto& th : threads)
      th.join();
    diag::contractViolation("This method must be called on the logging thread/queue!");

    auto texts = capture.texts();
    ASSERT_EQ(texts.size(), 401u);
    for (std::size_t i = 0; i < 400; ++i)
      EXPECT_EQ(texts[i].rfind("thread ", 0), 0u) << texts[i];
    EXPECT_EQ(texts.back(),
              "Contract violation: This method must be called on the logging thread/queue!");
    EXPECT_TRUE(capture.contains("thread 3 report 99"));
    EXPECT_FALSE(capture.contains("thread 4"));
  }
  diag::report("after the capture");
  EXPECT_EQ(outerCalls, 1);
  diag::setWriter(std::move(previous));
}

TEST(RateLimiter, ShowsTheFirstOfAKindThenSumsUpWhatItHeldBack) {
  using Clock = diag::RateLimiter::Clock;
  diag::RateLimiter limiter(std::chrono::seconds(10), 2);
  const Clock::time_point t0{};
  const auto at = [&](int seconds) { return t0 + std::chrono::seconds(seconds); };
  struct Step {
    const char* kind;
    const char* text;
    int second;
    bool shown;
    const char* summary;  // nullptr: none
  };
  const Step steps[] = {
      {"open %s", "open a", 0, true, nullptr},
      {"open %s", "open b", 1, false, nullptr},
      {"write", "write", 2, true, nullptr},  // another kind is not held back by the first
      {"open %s", "open c", 9, false, nullptr},
      {"open %s", "open d", 10, true, "2 more like this were not shown: open a"},
      {"open %s", "open e", 21, true, nullptr},  // nothing held back in the last window
      {"third", "third", 22, true, nullptr},     // a third kind: "write" is forgotten
      {"write", "write", 23, true, nullptr},     // so it is shown again as a first,
      {"open %s", "open f", 24, true, nullptr},  // and "open" forgotten in turn
      {"open %s", "open g", 25, false, nullptr},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(std::string(s.text) + " at " + std::to_string(s.second));
    const auto d = limiter.admit(s.kind, s.text, at(s.second));
    EXPECT_EQ(d.show, s.shown);
    EXPECT_EQ(d.summary, s.summary ? std::optional<std::string>(s.summary) : std::nullopt);
  }
}

constexpr const char* kChildVariable = "DIAGNOSTICS_TEST_CHILD";

// Runs in a child: the limiter on standard error lives as long as the process, so a flood in an
// earlier run of this test would hold back the next one's.
TEST(DiagnosticsChild, Flood) {
  if (std::getenv(kChildVariable) == nullptr) GTEST_SKIP() << "runs only as a child";
  for (int i = 0; i < 1000; ++i)
    diag::reportf("flood test: attempt %d failed", i);
  diag::report("flood test: another kind");
}

TEST(Diagnostics, AFloodOnStandardErrorShowsOneLinePerKind) {
  const auto run =
      testsupport::runProcess({"env", std::string(kChildVariable) + "=1",
                               std::filesystem::read_symlink("/proc/self/exe").string(),
                               "--gtest_filter=DiagnosticsChild.Flood"});
  ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
  ASSERT_NE(run.out.find("[  PASSED  ] 1 test."), std::string::npos) << run.out;
  const std::regex shape(
      R"(^[^\n]*\] flood test: attempt 0 failed\n[^\n]*\] flood test: another kind\n$)");
  EXPECT_TRUE(std::regex_match(run.err, shape)) << run.err;
}
