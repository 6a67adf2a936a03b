#pragma once
// Test support: a whole test process in private network and mount namespaces.
//
// The network code under test runs on many threads (the dispatch layer's workers and event
// thread, the main queue), and a namespace belongs to a thread, so the process enters its
// namespaces in main(), before any thread exists: every thread it starts later, and every child
// it runs, sees only the sandbox's network. Inside, sysfs is mounted afresh (so /sys/class/net
// lists the sandbox's interfaces), /etc/resolv.conf is a sandbox file the tests fill in, and
// the system bus address points at a socket in the sandbox directory where nothing listens
// unless a test starts its own bus there. Nothing on the host is touched.
//
// Needs root; elsewhere sandboxUnavailableReason() says why and tests skip.

#include <filesystem>
#include <string>
#include <vector>

#include "testsupport/NetworkNamespace.h"

namespace platform::network::testing {

// Called by the sandbox's main() before anything starts a thread.
void enterSandbox();
// Empty inside the sandbox.
const std::string& sandboxUnavailableReason();
// The sandbox's own temporary directory (removed at exit).
const std::filesystem::path& sandboxDirectory();
// The socket path the system bus address of the sandbox names.
std::filesystem::path systemBusSocket();

using ::testsupport::CommandResult;
inline CommandResult shell(const std::string& command) {
  return ::testsupport::runShell(command);
}
inline CommandResult ip(const std::vector<std::string>& lines) {
  return ::testsupport::runIp(lines);
}

// Brings the sandbox's network back to how it started: only the loopback interface, down, and
// no routes in the main tables. Also empties the sandbox's resolv.conf.
void resetNetwork();
// Replaces the contents of the sandbox's /etc/resolv.conf (written in place: the bind mount
// follows the file, not its name).
void setResolvConf(const std::string& text);

}  // namespace platform::network::testing

// Skips the test outside the sandbox; otherwise resets the sandbox's network first.
#define CS_SANDBOXED_NETWORK()                                                  \
  do {                                                                          \
    if (!::platform::network::testing::sandboxUnavailableReason().empty())      \
      GTEST_SKIP() << ::platform::network::testing::sandboxUnavailableReason(); \
    ::platform::network::testing::resetNetwork();                               \
  } while (false)
