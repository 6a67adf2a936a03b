#include "platform/base/ProcessStartTime.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "platform/base/FileDescriptor.h"

namespace platform::base {

std::optional<ProcessStat> processStatAt(int procDir) {
  FileDescriptor fd(::openat(procDir, "stat", O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  char buffer[1024];
  ssize_t n;
  do {
    n = ::read(fd.get(), buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return std::nullopt;
  std::string_view text(buffer, static_cast<std::size_t>(n));
  // "pid (comm) state ppid ...": the command name may hold blanks and parentheses, so fields
  // are counted from the last ')'.
  const std::size_t close = text.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  text.remove_prefix(close + 1);
  ProcessStat stat;
  // Fields from 3 (state) on; the start time is field 22.
  for (int field = 3; field <= 22; ++field) {
    while (!text.empty() && text.front() == ' ')
      text.remove_prefix(1);
    const std::size_t end = std::min(text.find(' '), text.size());
    const std::string_view value = text.substr(0, end);
    if (value.empty()) return std::nullopt;
    if (field == 3) stat.state = value.front();
    if (field == 22) {
      auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), stat.startTime);
      if (ec != std::errc() || ptr != value.data() + value.size()) return std::nullopt;
    }
    text.remove_prefix(end);
  }
  return stat;
}

bool pidfdProcessHasExited(int pidfd) {
  pollfd p{pidfd, POLLIN, 0};
  for (;;) {
    const int r = ::poll(&p, 1, 0);
    if (r < 0 && errno == EINTR) continue;
    return r != 0;
  }
}

std::optional<std::uint64_t> processStartTime(pid_t pid, int pidfd) {
  if (pid <= 0) return std::nullopt;
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d", static_cast<int>(pid));
  FileDescriptor dir(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // The directory first, then the pidfd: a process still running after the directory was opened
  // owned the identifier when it was opened.
  if (!dir || (pidfd >= 0 && pidfdProcessHasExited(pidfd))) return std::nullopt;
  auto stat = processStatAt(dir.get());
  if (!stat) return std::nullopt;
  return stat->startTime;
}

}  // namespace platform::base
