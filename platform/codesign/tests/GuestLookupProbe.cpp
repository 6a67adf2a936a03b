// Runs as the first process of a fresh pid namespace (started by the code-signing tests through
// `unshare --pid --fork --mount-proc`), where it alone creates processes and owns its /proc, to
// look processes up in situations a test cannot make inside its own process:
//
// GuestLookupProbe reuse ANCHORS UNSIGNED SIGNED -- hands a process identifier to a new process:
//   1. starts the unsigned program and takes its pidfd and start time (as a listener does at
//      accept time);
//   2. kills and reaps it, then starts the signed program with the same identifier;
//   3. looks the identifier up with the old pidfd and without it, and prints both statuses.
//   Prints "started", then "reused <pid>" or "not reused <old> <new>", then "with pidfd:
//   <status>", "with start time: <status>" and "by pid: <status>".
//
// GuestLookupProbe hidden -- a live process of one user looked up by another user through a /proc
// mounted with hidepid=invisible (as under a unit's ProtectProc=invisible). Prints "started",
// then "hidden with pidfd: <status>" and "hidden by pid: <status>", or "cannot hide: <reason>"
// where this kernel cannot mount such a /proc.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/base/ErrnoText.h"
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

using namespace platform::codesign;

int reuse(char** argv) {
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
  // Named members, not structured bindings: clang 14 cannot capture those in a lambda.
  const RequirementResult parsed = createRequirementWithString(
      "anchor apple generic and certificate leaf[subject.OU] = \"QX7TZ4PD2M\"");
  if (parsed.status != kSuccess) return 5;
  const Requirement* requirement = parsed.requirement.get();
  const auto statusOf = [&](GuestAttributes attributes) {
    auto [status, code] = copyGuestWithAttributes(attributes);
    return status != kSuccess ? status : verifier.checkValidity(*code, requirement);
  };
  std::printf("with pidfd: %d\n", statusOf({first, pidfd.get()}));
  std::printf("with start time: %d\n", statusOf({first, -1, *startTime}));
  std::printf("by pid: %d\n", statusOf({first, -1}));
  ::kill(second, SIGKILL);
  ::waitpid(second, nullptr, 0);
  return 0;
}

// Two accounts that need not exist: the kernel only compares the numbers.
constexpr uid_t kPeerUser = 65533;
constexpr uid_t kListenerUser = 65532;

bool becomeUser(uid_t id) {
  return ::setresgid(id, id, id) == 0 && ::setresuid(id, id, id) == 0;
}

int hidden() {
  if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, "hidepid=invisible") !=
      0) {
    std::printf("cannot hide: %s\n", platform::base::errnoText(errno).c_str());
    return 0;
  }
  int ready[2];
  if (::pipe(ready) != 0) return 3;
  std::fflush(stdout);
  const pid_t peer = ::fork();
  if (peer == 0) {
    ::close(ready[0]);
    if (!becomeUser(kPeerUser) || ::write(ready[1], "u", 1) != 1) ::_exit(1);
    for (;;)
      ::pause();
  }
  ::close(ready[1]);
  char byte;
  const bool dropped = peer > 0 && ::read(ready[0], &byte, 1) == 1;  // the listener may look now
  platform::base::FileDescriptor pidfd(static_cast<int>(::syscall(SYS_pidfd_open, peer, 0)));
  if (peer <= 0 || !pidfd || !dropped || platform::base::pidfdProcessHasExited(pidfd.get()))
    return 3;

  const pid_t listener = ::fork();
  if (listener == 0) {
    if (!becomeUser(kListenerUser)) ::_exit(1);
    std::printf("hidden with pidfd: %d\n", copyGuestWithAttributes({peer, pidfd.get()}).status);
    std::printf("hidden by pid: %d\n", copyGuestWithAttributes({peer}).status);
    std::fflush(stdout);
    ::_exit(0);
  }
  int status = -1;
  ::waitpid(listener, &status, 0);
  ::kill(peer, SIGKILL);
  ::waitpid(peer, nullptr, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 4;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (!(mode == "reuse" && argc == 5) && !(mode == "hidden" && argc == 2)) return 2;
  std::printf("started\n");
  std::fflush(stdout);
  return mode == "reuse" ? reuse(argv + 1) : hidden();
}
