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

// Starting a process costs far more than the change it makes (a tenth of a second on a loaded
// machine), hence one `ip -batch -` for a run of plain lines.
CommandResult runIp(const std::vector<std::string>& lines, const std::string& options) {
  std::string batch;
  const auto flush = [&]() -> CommandResult {
    if (batch.empty()) return {0, {}};
    // Grouped, so that runShell's redirection covers the whole here-document.
    auto result = runShell("{ ip " + options + " -batch - <<'END_OF_LINES'\n" +
                           std::exchange(batch, {}) + "END_OF_LINES\n}");
    if (result.status != 0) result.output = "ip: " + result.output;
    return result;
  };
  for (const auto& line : lines) {
    if (!line.starts_with("-")) {
      batch += line + "\n";
      continue;
    }
    if (auto result = flush(); result.status != 0) return result;
    if (auto result = runShell("ip " + line); result.status != 0) {
      result.output = "ip " + line + ": " + result.output;
      return result;
    }
  }
  auto result = flush();
  if (result.status == 0) result.output.clear();
  return result;
}

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
