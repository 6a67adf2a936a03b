#pragma once
// Test support: runs a piece of a test inside fresh kernel namespaces (network, host name), set
// up with iproute2 commands, on a thread of its own that ends afterwards, so the namespaces go
// away with it and no thread that changed namespace is ever reused.
#include <functional>
#include <string>
#include <vector>

#include "testsupport/ChildProcess.h"

namespace testsupport {

// Runs each line as the arguments of `ip` (with `options`), in order, a run of plain lines in one
// process; stops at the first that fails and returns what it printed, after what failed (status 0
// and no output when all succeeded). A line with options of its own ("-6 route ...") runs alone.
CommandResult runIp(const std::vector<std::string>& lines, const std::string& options = "");

struct NamespaceRun {
  std::string skipReason;  // the namespaces could not be made here: not root, no support
  std::string failure;     // a set-up command failed, with its output
};

// Runs each line of `ipCommands` as the arguments of an `ip` command (plain words), in order,
// inside new namespaces of the kinds in `cloneFlags` (CLONE_NEWNET, CLONE_NEWUTS), then `body`
// on the same thread, which is still inside them. The first line that fails ends the set-up.
NamespaceRun runInNewNamespaces(int cloneFlags, const std::vector<std::string>& ipCommands,
                                const std::function<void()>& body);

}  // namespace testsupport

// Skips the test when namespaces are unavailable, fails it when the set-up failed.
#define CS_RUN_IN_NAMESPACES_OR_SKIP(flags, commands, body)                      \
  do {                                                                           \
    const auto csRun = ::testsupport::runInNewNamespaces(flags, commands, body); \
    if (!csRun.skipReason.empty()) GTEST_SKIP() << csRun.skipReason;             \
    ASSERT_TRUE(csRun.failure.empty()) << csRun.failure;                         \
  } while (false)
