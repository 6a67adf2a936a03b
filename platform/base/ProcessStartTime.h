#pragma once
// Telling a process from a later one that was given the same identifier. A process identifier
// is reused once its process has been reaped; the pair (identifier, start time) is not, since a
// process that takes over an identifier starts after the one that held it.
//
// Start times are the kernel's: clock ticks since boot (field 22 of /proc/<pid>/stat), 10 ms
// each. Two processes with one identifier in the same tick would need the whole identifier space
// to wrap within 10 ms, unless a privileged process chooses identifiers on purpose; a pidfd, where
// there is one, has no such limit.

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace platform::base {

// The state and start time of the process whose /proc directory is open as `procDir`.
struct ProcessStat {
  char state = '?';  // 'R', 'S', 'Z' (exited, not yet reaped)...
  std::uint64_t startTime = 0;
};
// Nothing when the process has been reaped (a /proc directory stays bound to its process, so it
// never describes a newcomer) or the file cannot be read.
std::optional<ProcessStat> processStatAt(int procDir);

// The start time of process `pid`. With a pidfd for that process (pidfd >= 0), the time is
// returned only while the pidfd shows that the process has not exited, so it is certainly that
// process's time; without one, it is the time of whichever process has the identifier now.
std::optional<std::uint64_t> processStartTime(pid_t pid, int pidfd = -1);

// True once the process `pidfd` refers to has exited (a pidfd turns readable then).
bool pidfdProcessHasExited(int pidfd);

}  // namespace platform::base
