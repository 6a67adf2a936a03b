#include "testsupport/NetworkNamespace.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/base/ErrnoText.h"

namespace testsupport {

namespace {

// Runs `command` through the shell and returns its exit status (127 when a program is missing)
// and everything it printed.
std::pair<int, std::string> runShell(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, platform::base::errnoText(errno)};
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe))
    output += buffer;
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// Runs the lines as `ip` commands, in order, and stops at the first that fails. Starting a process
// costs far more than the change it makes, so a run of plain lines goes to one `ip -batch -`; a
// line with options of its own ("-6 route ...") cannot be batched and runs alone.
std::pair<int, std::string> runIp(const std::vector<std::string>& lines) {
  std::string batch;
  const auto flush = [&batch]() -> std::pair<int, std::string> {
    if (batch.empty()) return {0, {}};
    // Grouped, so that runShell's redirection covers the whole here-document.
    return runShell("{ ip -batch - <<'END_OF_LINES'\n" + std::exchange(batch, {}) +
                    "END_OF_LINES\n}");
  };
  for (const auto& line : lines) {
    if (!line.starts_with("-")) {
      batch += line + "\n";
      continue;
    }
    if (auto result = flush(); result.first != 0) return result;
    if (auto [status, output] = runShell("ip " + line); status != 0)
      return {status, "ip " + line + ": " + output};
  }
  return flush();
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
    const auto [status, output] = runIp(ipCommands);
    if (status == 127) {
      run.skipReason = "the ip tool (iproute2) is not installed";
    } else if (status != 0 && output.find("Unknown device type") != std::string::npos) {
      run.skipReason = "this kernel cannot create a link the test needs: " + output;
    } else if (status != 0) {
      run.failure = "setting up the namespace failed: " + output;
    }
    if (status != 0) return;
    body();
  });
  worker.join();
  return run;
}

}  // namespace testsupport
