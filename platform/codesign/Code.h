#pragma once
// The code a check looks at: an executable file, held open.
//
// Code made from a path is the file found there when it was opened. Code of a running process
// (copyGuestWithAttributes) is the executable that process runs, opened through
// /proc/<pid>/exe while the process was certainly the one asked for, so that a process which
// exits and whose identifier goes to another process is never mistaken for the newcomer. The
// caller says which process it means with what it learnt when it met the process (for a socket
// peer, at accept time), best first:
//
// - a pidfd: /proc/<pid> is opened first and the pidfd asked afterwards whether its process
//   still runs. If it does, the identifier still named it when the directory was opened, and a
//   /proc directory stays bound to its process, so the executable opened through it is that
//   process's own. If it has exited, the lookup fails with kNoSuchGuest.
// - the process's start time (see platform/base/ProcessStartTime.h): the directory is opened and
//   the start time read through it must match.
// - the identifier alone: the code is that of whichever process has the identifier at the moment
//   of the call.
//
// Once opened, the executable's descriptor stays valid whatever the process does next; a check
// reads the file through it, never through a path that could be replaced.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/base/FileDescriptor.h"
#include "platform/codesign/CodeSigningStatus.h"

namespace platform::codesign {

// Identifies a running process. `pidfd` is borrowed: it must stay open during the call; -1 when
// the caller has none. `startTime` is 0 when unknown.
struct GuestAttributes {
  pid_t pid = 0;
  int pidfd = -1;
  std::uint64_t startTime = 0;
};

class Code;

struct CodeResult {
  Status status = kSuccess;
  std::unique_ptr<Code> code;
};

class Code {
 public:
  // The file at `path`. kFileUnreadable when it cannot be opened.
  static CodeResult openFile(const std::filesystem::path& path);

  Code(const Code&) = delete;
  Code& operator=(const Code&) = delete;

  int fd() const { return fd_.get(); }
  // The process whose executable this is; 0 for code made from a path.
  pid_t pid() const { return pid_; }
  // What the code was made from: the path, or "process <pid>".
  const std::string& origin() const { return origin_; }

 private:
  friend CodeResult copyGuestWithAttributes(const GuestAttributes& attributes);
  Code(base::FileDescriptor fd, pid_t pid, std::string origin)
      : fd_(std::move(fd)), pid_(pid), origin_(std::move(origin)) {}

  base::FileDescriptor fd_;
  pid_t pid_ = 0;
  std::string origin_;
};

// The code of the running process the attributes identify (see above). Statuses: kSuccess,
// kInvalidGuestAttributes, kNoSuchGuest, kGuestNotAccessible, kGuestExecutableUnavailable.
CodeResult copyGuestWithAttributes(const GuestAttributes& attributes);

// The process a pidfd refers to, as the kernel reports it for the calling process: its
// identifier, -1 when it has exited, 0 when `pidfd` is not a pidfd.
pid_t processOfPidfd(int pidfd);

}  // namespace platform::codesign
