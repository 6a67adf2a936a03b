#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "testsupport/ChildProcess.h"

using namespace platform::dispatch;

namespace {

constexpr const char* kModeVariable = "DISPATCH_EXIT_CHILD";

// Runs this test binary again with only the child test selected (a fresh process rather than a
// fork, so that the child starts its own threads cleanly).
testsupport::ProcessRun runChild(const std::string& mode) {
  return testsupport::runProcess({"env", std::string(kModeVariable) + "=" + mode,
                                  std::filesystem::read_symlink("/proc/self/exe").string(),
                                  "--gtest_filter=DispatchExitChild.SubmitsWorkAndExits"});
}

TEST(ProcessExit, ExitFromAWorkerOrFromDispatchMainIsClean) {
  for (const char* mode : {"worker", "main"}) {
    SCOPED_TRACE(mode);
    const auto run = runChild(mode);
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    // The exit handler drained its work through queues while the process was exiting.
    EXPECT_NE(run.out.find("exit handler flushed 1000"), std::string::npos) << run.out;
  }
}

// The child: work is in flight on several queues when exit(0) is called, and an exit handler
// (registered the way a logging dispatcher registers its flush) pushes more work through queues
// and waits for it.
TEST(DispatchExitChild, SubmitsWorkAndExits) {
  const char* mode = std::getenv(kModeVariable);
  if (!mode) GTEST_SKIP() << "runs only as the child process of the ProcessExit test";

  std::atexit([] {
    static std::atomic<int> flushed{0};
    auto q = Queue::makeSerial("child.flush");
    Group g;
    for (int i = 0; i < 1000; ++i)
      q->async(g, [] { flushed.fetch_add(1); });
    Queue::global()->async(g, [] {});
    g.wait();
    q->sync([] {});
    std::printf("exit handler flushed %d\n", flushed.load());
    std::fflush(stdout);
  });

  auto busy = Queue::makeSerial("child.busy");
  for (int i = 0; i < 10000; ++i)
    busy->async([] {});
  if (std::string(mode) == "worker") {
    Queue::global()->async([] { std::exit(0); });
    for (;;)
      pause();
  }
  Queue::main()->async([] { std::exit(0); });
  dispatchMain();
}

}  // namespace
