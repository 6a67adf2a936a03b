#include "testsupport/NetworkNamespace.h"

#include <ifaddrs.h>
#include <linux/if.h>
#include <sched.h>
#include <sys/socket.h>
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
#include "testsupport/Eventually.h"

namespace testsupport {

namespace {

// The links that are up but not yet settled: the kernel gives a link its carrier at once when
// `ip link set ... up` (or a peer's) runs, but marks it running (operationally up) a moment later,
// from a work queue, and it clears the flag after a lost carrier just as late. Settled means
// running exactly when the carrier is there.
std::string unsettledLinks() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  std::string names;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET) continue;
    const unsigned flags = entry->ifa_flags;
    if ((flags & IFF_UP) && ((flags & IFF_LOWER_UP) != 0) != ((flags & IFF_RUNNING) != 0))
      names += std::string(names.empty() ? "" : " ") + entry->ifa_name;
  }
  freeifaddrs(list);
  return names;
}

}  // namespace

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
  if (result.status != 0) return result;
  // Whoever looks at the links next (a test, a monitor it starts, a tool it runs) sees them as
  // the commands left them, not half way.
  std::string unsettled;
  if (!eventually([&] { return (unsettled = unsettledLinks()).empty(); }))
    return {1, "links up with their carrier but not running, or the reverse: " + unsettled};
  return {0, {}};
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
