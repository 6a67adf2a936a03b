#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/process/Pipe.h"
#include "platform/process/Task.h"

namespace platform::process {
namespace {

using namespace std::chrono_literals;

// Runs `/bin/sh -c script` with its output and error captured through readability handlers, and
// waits for the termination handler.
struct Outcome {
  std::string output;
  std::string error;
  int status = -1;
  Task::TerminationReason reason = Task::TerminationReason::Exit;
  bool finished = false;
};

class Capture {
 public:
  explicit Capture(const std::shared_ptr<Task>& task) : state_(std::make_shared<State>()) {
    base::Error error;
    out_ = Pipe::make(error);
    err_ = Pipe::make(error);
    task->setStandardOutput(out_);
    task->setStandardError(err_);
    collect(out_, &Outcome::output);
    collect(err_, &Outcome::error);
    task->setTerminationHandler([state = state_](Task& t) {
      std::lock_guard lock(state->mutex);
      state->run.status = t.terminationStatus();
      state->run.reason = t.terminationReason();
      state->run.finished = true;
      state->done.notify_all();
    });
  }
  ~Capture() {
    for (const auto& p : {out_, err_}) {
      p->fileHandleForReading()->closeFile();
      p->fileHandleForWriting()->closeFile();
    }
  }

  // The run as it stood when the termination handler ran; `finished` is false when it did not
  // run within a minute.
  Outcome wait() {
    std::unique_lock lock(state_->mutex);
    state_->done.wait_for(lock, 60s, [this] { return state_->run.finished; });
    return state_->run;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable done;
    Outcome run;
  };

  void collect(const std::shared_ptr<Pipe>& pipe, std::string Outcome::*into) {
    pipe->fileHandleForReading()->setReadabilityHandler([state = state_, into](FileHandle& h) {
      auto data = h.availableData();
      std::lock_guard lock(state->mutex);
      if (!state->run.finished) (state->run.*into).append(data.begin(), data.end());
    });
  }

  std::shared_ptr<State> state_;
  std::shared_ptr<Pipe> out_;
  std::shared_ptr<Pipe> err_;
};

// Launches `task` with its output and error captured and waits for its termination handler.
Outcome runToEnd(const std::shared_ptr<Task>& task) {
  Capture capture(task);
  if (const auto error = task->launch()) {
    ADD_FAILURE() << "launch failed: " << error->description;
    return {};
  }
  return capture.wait();
}

std::shared_ptr<Task> shell(const std::string& script) {
  auto task = Task::make();
  task->setExecutable("/bin/sh");
  task->setArguments({"-c", script});
  return task;
}

TEST(Task, EverythingTheChildWroteBeforeExitingReachesTheHandlersFirst) {
  // Written just before exit, many times over: the exit must never overtake the last bytes.
  for (int i = 0; i < 40; ++i) {
    const Outcome run = runToEnd(shell("printf out; printf err >&2; exit 7"));
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.output, "out");
    EXPECT_EQ(run.error, "err");
    EXPECT_EQ(run.status, 7);
  }
  // More than a pipe holds, in order.
  const Outcome run =
      runToEnd(shell("i=0; while [ $i -lt 20000 ]; do echo line$i; i=$((i+1)); done"));
  ASSERT_TRUE(run.finished);
  std::string expected;
  for (int i = 0; i < 20000; ++i)
    expected += "line" + std::to_string(i) + "\n";
  EXPECT_EQ(run.output, expected);
}

TEST(Task, AGrandchildHoldingThePipeDoesNotDelayTheEnd) {
  const Outcome run = runToEnd(shell("echo early; sleep 600 & echo $!"));
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.output.rfind("early\n", 0), 0u) << run.output;
  const pid_t grandchild = std::stoi(run.output.substr(6));
  EXPECT_EQ(::kill(grandchild, SIGKILL), 0);
  EXPECT_EQ(run.status, 0);
}

TEST(Task, TheChildStartsCleanWhateverTheParentBlocksIgnoresOrHoldsOpen) {
  // Launched from a thread that blocks SIGTERM while SIGPIPE is ignored process-wide.
  struct sigaction previous {};
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  std::string output;
  std::thread launcher([&] {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &term, nullptr);
    const Outcome run =
        runToEnd(shell("grep -E '^Sig(Blk|Ign)' /proc/self/status; ls /proc/self/fd"));
    ASSERT_TRUE(run.finished);
    output = run.output;
  });
  launcher.join();
  ::sigaction(SIGPIPE, &previous, nullptr);
  // No standard signal (1 to 31) blocked or ignored; the C library keeps its own real-time
  // signals to itself. ls sees its own directory descriptor (3) besides the three streams.
  ASSERT_EQ(output.size(), 58u) << output;
  EXPECT_EQ(output.substr(0, 8), "SigBlk:\t");
  EXPECT_EQ(std::stoull(output.substr(8, 16), nullptr, 16) & 0x7fffffffu, 0u) << output;
  EXPECT_EQ(output.substr(25, 8), "SigIgn:\t");
  EXPECT_EQ(std::stoull(output.substr(33, 16), nullptr, 16) & 0x7fffffffu, 0u) << output;
  EXPECT_EQ(output.substr(50), "0\n1\n2\n3\n");
}

TEST(Task, ReportsSignalsLaunchFailuresAndItsConfiguration) {
  {
    auto task = shell("kill -KILL $$");
    const Outcome run = runToEnd(task);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.reason, Task::TerminationReason::UncaughtSignal);
    EXPECT_EQ(run.status, SIGKILL);
    EXPECT_FALSE(task->isRunning());
    EXPECT_EQ(task->launch(), base::posixError(EALREADY, "launch"));
  }
  {
    auto task = shell("pwd; echo \"$ONLY\"; env | wc -l");
    task->setEnvironment(std::map<std::string, std::string>{{"ONLY", "value"}});
    task->setCurrentDirectory("/proc");
    const Outcome run = runToEnd(task);
    ASSERT_TRUE(run.finished);
    // sh adds PWD (and may add SHLVL and _) to what it was given.
    EXPECT_EQ(run.output.substr(0, 12), "/proc\nvalue\n");
    EXPECT_LE(std::stoi(run.output.substr(12)), 4);
  }
  char notExecutable[] = "/tmp/task-test-XXXXXX";
  ::close(::mkstemp(notExecutable));
  for (const auto& [path, err] : {std::pair<std::string, int>{"/nonexistent/program", ENOENT},
                                  std::pair<std::string, int>{notExecutable, EACCES}}) {
    SCOPED_TRACE(path);
    auto task = Task::make();
    task->setExecutable(path);
    bool called = false;
    task->setTerminationHandler([&](Task&) { called = true; });
    EXPECT_EQ(task->launch(), base::posixError(err));
    EXPECT_FALSE(task->isRunning());
    task->waitUntilExit();
    EXPECT_FALSE(called);
  }
  ::unlink(notExecutable);
}

}  // namespace
}  // namespace platform::process
