#include "SharedUtils/tests/NetworkNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <thread>

extern char** environ;

namespace sharedutils::testsupport {

namespace {

struct CommandResult {
  bool started = false;
  int exitStatus = -1;
  std::string output;
};

CommandResult runIp(const std::string& line) {
  std::vector<std::string> words{"ip"};
  std::istringstream split(line);
  for (std::string word; split >> word;)
    words.push_back(word);
  std::vector<char*> argv;
  for (auto& w : words)
    argv.push_back(w.data());
  argv.push_back(nullptr);

  CommandResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, "ip", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned == 0) {
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      result.output.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.started = true;
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  close(fds[0]);
  return result;
}

}  // namespace

NamespaceRun runInNewNamespaces(int cloneFlags, const std::vector<std::string>& ipCommands,
                                const std::function<void()>& body) {
  NamespaceRun run;
  if (geteuid() != 0) {
    run.skipReason = "needs root to create network and host-name namespaces";
    return run;
  }
  std::thread worker([&] {
    if (unshare(cloneFlags) != 0) {
      run.skipReason =
          std::string("namespaces unavailable: unshare failed: ") + std::strerror(errno);
      return;
    }
    for (const auto& line : ipCommands) {
      const CommandResult result = runIp(line);
      if (!result.started) {
        run.skipReason = "the ip tool (iproute2) is not installed";
        return;
      }
      if (result.exitStatus != 0) {
        if (result.output.find("Unknown device type") != std::string::npos) {
          run.skipReason = "this kernel cannot create the link in: ip " + line;
        } else {
          run.failure = "ip " + line + " failed: " + result.output;
        }
        return;
      }
    }
    body();
  });
  worker.join();
  return run;
}

}  // namespace sharedutils::testsupport
