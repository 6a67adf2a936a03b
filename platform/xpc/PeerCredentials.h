#pragma once
// Who is at the other end of a local IPC socket: the peer's process, user and group as the
// kernel recorded them when the connection was made, and a pidfd of that process, which keeps
// naming the same process even if its pid is reused.

#include <sys/types.h>

#include "platform/base/FileDescriptor.h"

namespace platform::xpc {

struct PeerCredentials {
  pid_t pid = 0;                       // 0 when unknown
  uid_t uid = static_cast<uid_t>(-1);  // -1 when unknown
  gid_t gid = static_cast<gid_t>(-1);
  // SO_PEERPIDFD where the kernel offers it, else pidfd_open() of `pid` right after reading the
  // credentials; not valid when neither worked (the process already exited, or no descriptor
  // was free).
  base::FileDescriptor pidfd;

  // The credentials of the peer of the connected Unix-domain socket `fd`.
  static PeerCredentials of(int fd);
  // SO_PEERPIDFD of `fd` alone (close-on-exec); not valid when the kernel does not offer it.
  static base::FileDescriptor peerPidfdOf(int fd);
};

}  // namespace platform::xpc
