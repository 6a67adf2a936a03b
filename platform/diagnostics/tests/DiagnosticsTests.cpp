#include "platform/diagnostics/Diagnostics.h"

#include <gtest/gtest.h>
#include <unistd.h>

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
