#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"

extern char** environ;

using namespace platform::dispatch;

namespace {

constexpr const char* kModeVariable = "DISPATCH_EXIT_CHILD";

// Runs this test binary again with only the child test selected (a fresh process rather than a
// fork, so that the child starts its own threads cleanly), and collects its standard output.
int runChild(const std::string& mode, std::string& output) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::string filter = "--gtest_filter=DispatchExitChild.SubmitsWorkAndExits";
  std::string exe = "/proc/self/exe";
  std::vector<char*> argv{exe.data(), filter.data(), nullptr};
  std::vector<std::string> env{std::string(kModeVariable) + "=" + mode};
  for (char** e = environ; *e; ++e) {
    if (std::string(*e).rfind(kModeVariable, 0) != 0) env.emplace_back(*e);
  }
  std::vector<char*> envp;
  for (auto& e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    return -1;
  }
  char buf[4096];
  for (;;) {
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n > 0) {
      output.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(out[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

TEST(ProcessExit, ExitFromAWorkerOrFromDispatchMainIsClean) {
  for (const char* mode : {"worker", "main"}) {
    SCOPED_TRACE(mode);
    std::string output;
    int status = runChild(mode, output);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "\n" << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    // The exit handler drained its work through queues while the process was exiting.
    EXPECT_NE(output.find("exit handler flushed 1000"), std::string::npos) << output;
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
