#include "platform/codesign/Code.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "platform/base/ProcessStartTime.h"

namespace platform::codesign {

CodeResult Code::openFile(const std::filesystem::path& path) {
  // Only a regular file carries code. Opening without blocking keeps a FIFO named by mistake
  // from stalling the caller until some writer comes (on a regular file the flag changes nothing).
  base::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {kFileUnreadable, nullptr};
  return {kSuccess, std::unique_ptr<Code>(new Code(std::move(fd), 0, path.string()))};
}

pid_t processOfPidfd(int pidfd) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fdinfo/%d", pidfd);
  base::FileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return 0;
  char buffer[1024];
  ssize_t n;
  do {
    n = ::read(fd.get(), buffer, sizeof buffer - 1);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return 0;
  std::string_view info(buffer, static_cast<std::size_t>(n));
  // "Pid:\t<pid>\n" exists only for pidfds; it reads -1 once the process has exited.
  std::size_t at = info.find("\nPid:");
  if (at == std::string_view::npos) return 0;
  info.remove_prefix(at + 5);
  while (!info.empty() && (info.front() == ' ' || info.front() == '\t'))
    info.remove_prefix(1);
  int value = 0;
  auto [end, ec] = std::from_chars(info.data(), info.data() + info.size(), value);
  if (ec != std::errc()) return 0;
  return value < 0 ? -1 : static_cast<pid_t>(value);
}

CodeResult copyGuestWithAttributes(const GuestAttributes& attributes) {
  const pid_t pid = attributes.pid;
  const int pidfd = attributes.pidfd;
  if (pid <= 0) return {kInvalidGuestAttributes, nullptr};
  if (pidfd >= 0) {
    const pid_t named = processOfPidfd(pidfd);
    if (named == -1) return {kNoSuchGuest, nullptr};
    if (named != pid) return {kInvalidGuestAttributes, nullptr};
  }

  // Order matters: the directory first, then the identity check. A /proc directory stays bound
  // to the process it was opened for, so once the check passes nothing opened through it can
  // belong to a newcomer.
  char dirPath[32];
  std::snprintf(dirPath, sizeof dirPath, "/proc/%d", static_cast<int>(pid));
  base::FileDescriptor dir(::open(dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) {
    // A /proc mounted with hidepid (a unit's ProtectProc=invisible) hides other users' processes
    // as if they had gone. A pidfd tells the two apart: the process is there, but not for us.
    if (pidfd >= 0 && !base::pidfdProcessHasExited(pidfd)) return {kGuestNotAccessible, nullptr};
    return {kNoSuchGuest, nullptr};
  }
  const auto exited = [&] {
    if (pidfd >= 0) return base::pidfdProcessHasExited(pidfd);
    auto stat = base::processStatAt(dir.get());
    return !stat || stat->state == 'Z' || stat->state == 'X';
  };
  if (exited()) return {kNoSuchGuest, nullptr};
  if (pidfd < 0 && attributes.startTime != 0) {
    auto stat = base::processStatAt(dir.get());
    if (!stat || stat->startTime != attributes.startTime) return {kNoSuchGuest, nullptr};
  }

  base::FileDescriptor exe(::openat(dir.get(), "exe", O_RDONLY | O_CLOEXEC));
  if (!exe) {
    const int err = errno;
    if (exited()) return {kNoSuchGuest, nullptr};
    if (err == EACCES || err == EPERM) return {kGuestNotAccessible, nullptr};
    return {kGuestExecutableUnavailable, nullptr};
  }
  return {kSuccess,
          std::unique_ptr<Code>(new Code(std::move(exe), pid, "process " + std::to_string(pid)))};
}

}  // namespace platform::codesign
