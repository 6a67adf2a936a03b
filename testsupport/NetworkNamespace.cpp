#include "testsupport/NetworkNamespace.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/base/ErrnoText.h"

namespace testsupport {

namespace {

// Runs `ip <line>` through the shell (the lines are plain words) and returns its exit status
// (127 when ip is missing) and everything it printed.
std::pair<int, std::string> runIp(const std::string& line) {
  FILE* pipe = popen(("ip " + line + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, platform::base::errnoText(errno)};
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe))
    output += buffer;
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
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
      run.skipReason = std::string("namespaces unavailable: unshare failed: ") +
                       platform::base::errnoText(errno);
      return;
    }
    for (const auto& line : ipCommands) {
      const auto [status, output] = runIp(line);
      if (status == 127) {
        run.skipReason = "the ip tool (iproute2) is not installed";
      } else if (status != 0 && output.find("Unknown device type") != std::string::npos) {
        run.skipReason = "this kernel cannot create the link in: ip " + line;
      } else if (status != 0) {
        run.failure = "ip " + line + " failed: " + output;
      }
      if (status != 0) return;
    }
    body();
  });
  worker.join();
  return run;
}

}  // namespace testsupport
