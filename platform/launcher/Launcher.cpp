#include "platform/launcher/Launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "platform/base/NoDestructor.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"

extern char** environ;

namespace platform::launcher {
namespace {

// Spawn settings for a child that must not inherit what this process arranged for itself:
// the dispatch layer's threads block every asynchronous signal and a daemon may ignore some
// (SIGPIPE), and both would otherwise pass into the child.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attr_);
    posix_spawn_file_actions_init(&actions_);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr_, &none);
    posix_spawnattr_setsigdefault(&attr_, &all);
    posix_spawnattr_setflags(&attr_,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  ~SpawnAttributes() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;

  const posix_spawnattr_t* attr() const { return &attr_; }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
};

// Reaps `pid` once it exits, without holding a thread meanwhile: a process source waits for the
// exit, and its handler keeps the source alive until then.
void reapWhenDone(pid_t pid) {
  auto source = dispatch::ProcessSource::make(pid, dispatch::Queue::global());
  if (!source) {
    // No process watch (no pidfd): a worker waits for the child instead.
    dispatch::Queue::global()->async([pid] { waitpid(pid, nullptr, 0); });
    return;
  }
  source->setEventHandler([pid, source] {
    waitpid(pid, nullptr, 0);
    source->cancel();
  });
  source->resume();
}

}  // namespace

XdgOpenLauncher::XdgOpenLauncher(std::string program) : program_(std::move(program)) {}

void XdgOpenLauncher::open(const std::string& url) {
  SpawnAttributes spawn;
  std::vector<char*> argv{const_cast<char*>(program_.c_str()), const_cast<char*>(url.c_str()),
                          nullptr};
  pid_t pid = -1;
  if (posix_spawnp(&pid, program_.c_str(), spawn.actions(), spawn.attr(), argv.data(), environ) ==
      0) {
    reapWhenDone(pid);
  }
}

const std::shared_ptr<Launcher>& systemLauncher() {
  static base::NoDestructor<std::shared_ptr<Launcher>> launcher(
      std::make_shared<XdgOpenLauncher>());
  return *launcher;
}

}  // namespace platform::launcher
