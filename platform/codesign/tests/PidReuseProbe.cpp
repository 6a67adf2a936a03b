// Runs as the first process of a fresh pid namespace (started by the code-signing tests through
// `unshare --pid --fork --mount-proc`), where it alone creates processes, so it can hand a
// process identifier to a new process on purpose:
//
//   1. starts the unsigned program and takes its pidfd and start time (as a listener does at
//      accept time);
//   2. kills and reaps it, then starts the signed program with the same identifier;
//   3. looks the identifier up with the old pidfd and without it, and prints both statuses.
//
// Usage: PidReuseProbe ANCHORS UNSIGNED SIGNED. Prints "started", then "reused <pid>" or
// "not reused <old> <new>", then "with pidfd: <status>", "with start time: <status>" and
// "by pid: <status>".

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/base/FileDescriptor.h"
#include "platform/base/ProcessStartTime.h"
#include "platform/codesign/Code.h"
#include "platform/codesign/Requirement.h"
#include "platform/codesign/Verifier.h"

namespace {

pid_t start(const char* program) {
  char arg0[] = "peer";
  char arg1[] = "600";
  char* argv[] = {arg0, arg1, nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) return -1;
  return pid;
}

bool setLastPid(pid_t pid) {
  platform::base::FileDescriptor fd(::open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC));
  std::string text = std::to_string(pid);
  return fd && ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

}  // namespace

int main(int argc, char** argv) {
  using namespace platform::codesign;
  if (argc != 4) return 2;
  std::printf("started\n");
  std::fflush(stdout);

  const pid_t first = start(argv[2]);
  platform::base::FileDescriptor pidfd(static_cast<int>(::syscall(SYS_pidfd_open, first, 0)));
  if (first <= 0 || !pidfd) return 3;
  const auto startTime = platform::base::processStartTime(first, pidfd.get());
  if (!startTime) return 3;
  ::kill(first, SIGKILL);
  ::waitpid(first, nullptr, 0);

  // Start times count clock ticks (10 ms): the newcomer starts a few ticks later, as any real
  // reuse does (it takes a wrap of the whole identifier space).
  ::usleep(30000);
  if (!setLastPid(first - 1)) return 4;
  const pid_t second = start(argv[3]);
  if (second != first) {
    std::printf("not reused %d %d\n", static_cast<int>(first), static_cast<int>(second));
    return 0;
  }
  std::printf("reused %d\n", static_cast<int>(second));

  Verifier verifier(argv[1]);
  auto [syntax, requirement] = createRequirementWithString(
      "anchor apple generic and certificate leaf[subject.OU] = \"QX7TZ4PD2M\"");
  if (syntax != kSuccess) return 5;
  const auto statusOf = [&](GuestAttributes attributes) {
    auto [status, code] = copyGuestWithAttributes(attributes);
    return status != kSuccess ? status : verifier.checkValidity(*code, requirement.get());
  };
  std::printf("with pidfd: %d\n", statusOf({first, pidfd.get()}));
  std::printf("with start time: %d\n", statusOf({first, -1, *startTime}));
  std::printf("by pid: %d\n", statusOf({first, -1}));
  ::kill(second, SIGKILL);
  ::waitpid(second, nullptr, 0);
  return 0;
}
