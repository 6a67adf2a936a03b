#include "SharedUtils/Process+Extension.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>

#include "SharedUtils/tests/LogCapture.h"
#include "testsupport/FileContents.h"
#include "testsupport/Recorded.h"
#include "testsupport/TemporaryDirectory.h"

namespace platform::base {
void PrintTo(const Error& e, std::ostream* out) {
  *out << e.domain << " " << e.code << " \"" << e.description << "\"";
}
}  // namespace platform::base

namespace sharedutils {
namespace {

using namespace std::chrono_literals;
using platform::base::Error;
using platform::process::Task;
using Lines = std::vector<std::string>;

constexpr const char* kFunction =
    "error Process+Extension "
    "executeProcess(_:arguments:writingOutputTo:shouldAppend:completion:): ";

// Values handed over by a completion that may run on another thread.
template <class T>
class Handover : public ::testsupport::Recorded<T> {
 public:
  // The first value, waiting up to a minute; nothing when none came.
  std::optional<T> wait() {
    if (!this->waitUntil([](const std::vector<T>& values) { return !values.empty(); }, 60s))
      return std::nullopt;
    return this->all().front();
  }
};

class ProcessExtension : public ::testing::Test {
 protected:
  ~ProcessExtension() override { log_->detach(); }

  static std::shared_ptr<Task> shell(const std::string& script) {
    auto task = Task::make();
    task->setExecutable("/bin/sh");
    task->setArguments({"-c", script});
    return task;
  }
  // Form 2, as an outcome.
  static ProcessOutcome runBlocking(const std::string& script) {
    try {
      return Process::runAndWaitUntilExitAndReturnOutput(shell(script));
    } catch (const platform::base::ErrorException& e) {
      return e.error();
    }
  }
  // Form 3, waited for.
  static std::optional<ProcessOutcome> runWithCompletion(const std::string& script) {
    Handover<ProcessOutcome> outcome;
    Process::runWithCompletionHandler(shell(script), [&](ProcessOutcome o) { outcome.add(o); });
    return outcome.wait();
  }

  ::testsupport::TemporaryDirectory dir_;
  std::shared_ptr<sharedutils::testsupport::LogCapture> log_ =
      sharedutils::testsupport::LogCapture::attach();
};

TEST_F(ProcessExtension, ExecuteProcessWritesTheOutputFileAndReportsTheExit) {
  struct Case {
    const char* name;
    const char* script;
    bool append;
    bool succeeds;
    const char* file;
  };
  const Case cases[] = {
      {"truncate", "printf new", false, true, "new"},
      {"append", "printf new", true, true, "old\ncontents\nnew"},
      {"nothing, truncate", "exit 0", false, true, ""},
      {"nothing, append", "exit 0", true, true, "old\ncontents\n"},
      {"error output stays out of the file", "printf out; printf err >&2; exit 3", false, false,
       "out"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = dir_ / "out.txt";
    ::testsupport::writeFile(file, "old\ncontents\n");
    Handover<bool> done;
    Process::executeProcess("/bin/sh", {"-c", c.script}, file, c.append,
                            [&](bool ok) { done.add(ok); });
    EXPECT_EQ(done.wait(), c.succeeds);
    EXPECT_EQ(::testsupport::readFile(file), c.file);
    EXPECT_EQ(log_->takeWithCallSites(),
              c.succeeds ? Lines{}
                         : Lines{std::string(kFunction) +
                                 "ERROR executeProcess(writingOutputTo:): Process "
                                 "/bin/sh terminated with 3 code, failing request."});
    EXPECT_EQ(done.count(), 1u);
  }
}

TEST_F(ProcessExtension, ExecuteProcessReportsOpenAndLaunchFailuresBeforeReturning) {
  const auto missingFile = dir_ / "missing.txt";
  std::optional<bool> result;
  Process::executeProcess("/bin/echo", {"x"}, missingFile, false, [&](bool ok) { result = ok; });
  EXPECT_EQ(result, false);
  EXPECT_EQ(log_->delivered(),
            Lines{std::string(kFunction) +
                  "ERROR executeProcess(writingOutputTo:): Failed to execute /bin/echo: " +
                  missingFile.string() + ": No such file or directory."});
  EXPECT_FALSE(std::filesystem::exists(missingFile));

  const auto file = dir_ / "out.txt";
  ::testsupport::writeFile(file, "");
  result.reset();
  Process::executeProcess("/nonexistent/tool", {}, file, true, [&](bool ok) { result = ok; });
  EXPECT_EQ(result, false);
  EXPECT_EQ(log_->delivered(), Lines{std::string(kFunction) +
                                     "ERROR executeProcess(writingOutputTo:): Failed to execute "
                                     "/nonexistent/tool: No such file or directory."});
}

TEST_F(ProcessExtension, CapturedOutputIsDecodedAndTrimmed) {
  // Which characters are blank and which bytes are no text is for the string helpers to decide
  // (and their tests to check): here, that the output goes through them.
  const std::pair<const char*, const char*> cases[] = {
      {"printf '\\t hello  world \\r\\n\\n'", "hello  world"},
      {"printf '\\303\\251t\\303\\251'", "\xc3\xa9t\xc3\xa9"},
      {"printf 'ok\\377'", ""},
      {"printf 'out'; printf 'ignored' >&2", "out"},
      {"exit 0", ""},
  };
  for (const auto& [script, expected] : cases) {
    SCOPED_TRACE(script);
    EXPECT_EQ(runBlocking(script), ProcessOutcome(std::string(expected)));
    EXPECT_EQ(runWithCompletion(script), ProcessOutcome(std::string(expected)));
  }
  EXPECT_EQ(log_->takeWithCallSites(), Lines{});
}

TEST_F(ProcessExtension, AFailedChildReportsItsStatusAndItsErrorOutput) {
  const auto failure = [](long code, const char* text) {
    return ProcessOutcome(Error{"NSCocoaErrorDomain", code, text});
  };
  const std::pair<const char*, ProcessOutcome> cases[] = {
      {"printf 'boom\\n' >&2; exit 3", failure(3, "boom")},
      {"printf 'out'; exit 3", failure(3, "Termination status is not 0.")},
      {"printf ' \\n\\t' >&2; exit 4", failure(4, "Termination status is not 0.")},
      {"printf '\\377' >&2; exit 5", failure(5, "Termination status is not 0.")},
      {"kill -TERM $$", failure(SIGTERM, "Termination status is not 0.")},
  };
  for (const auto& [script, expected] : cases) {
    SCOPED_TRACE(script);
    EXPECT_EQ(runBlocking(script), expected);
    EXPECT_EQ(runWithCompletion(script), expected);
  }
  EXPECT_EQ(log_->takeWithCallSites(), Lines{});
}

TEST_F(ProcessExtension, AMissingExecutableFailsAtLaunch) {
  const ProcessOutcome launchError = platform::base::posixError(ENOENT);
  auto task = Task::make();
  task->setExecutable("/nonexistent/tool");
  try {
    Process::runAndWaitUntilExitAndReturnOutput(task);
    ADD_FAILURE() << "no error thrown";
  } catch (const platform::base::ErrorException& e) {
    EXPECT_EQ(ProcessOutcome(e.error()), launchError);
  }

  auto again = Task::make();
  again->setExecutable("/nonexistent/tool");
  std::optional<ProcessOutcome> outcome;
  Process::runWithCompletionHandler(again, [&](ProcessOutcome o) { outcome = o; });
  EXPECT_EQ(outcome, launchError);
  EXPECT_EQ(log_->takeWithCallSites(), Lines{});
}

// The end of the child ends the capture, even while a grandchild still holds the pipes open.
TEST_F(ProcessExtension, TheCaptureEndsWithTheChild) {
  const auto pidFile = dir_ / "grandchild";
  const std::string script = "printf early; sleep 600 & echo $! > '" + pidFile.string() + "'";
  const auto killGrandchild = [&] {
    const std::string pid = ::testsupport::readFile(pidFile);
    ASSERT_FALSE(pid.empty());
    EXPECT_EQ(::kill(std::stoi(pid), SIGKILL), 0);
  };
  EXPECT_EQ(runBlocking(script), ProcessOutcome(std::string("early")));
  killGrandchild();
  EXPECT_EQ(runWithCompletion(script), ProcessOutcome(std::string("early")));
  killGrandchild();
}

TEST_F(ProcessExtension, ConcurrentRunsKeepTheirOutputsApart) {
  constexpr int kRuns = 12;
  std::vector<Handover<ProcessOutcome>> outcomes(kRuns);
  for (int i = 0; i < kRuns; ++i) {
    const std::string script = "i=0; while [ $i -lt 300 ]; do echo run" + std::to_string(i) +
                               "; i=$((i+1)); done; echo done" + std::to_string(i) + " >&2; exit " +
                               std::to_string(i % 2);
    Process::runWithCompletionHandler(shell(script),
                                      [&outcomes, i](ProcessOutcome o) { outcomes[i].add(o); });
  }
  for (int i = 0; i < kRuns; ++i) {
    SCOPED_TRACE(i);
    std::string expected;
    for (int n = 0; n < 300; ++n)
      expected += "run" + std::to_string(i) + "\n";
    expected.pop_back();
    const ProcessOutcome want =
        i % 2 == 0 ? ProcessOutcome(expected)
                   : ProcessOutcome(Error{"NSCocoaErrorDomain", 1, "done" + std::to_string(i)});
    EXPECT_EQ(outcomes[i].wait(), want);
    EXPECT_EQ(outcomes[i].count(), 1u);
  }
}

}  // namespace
}  // namespace sharedutils
