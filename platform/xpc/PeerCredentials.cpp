#include "platform/xpc/PeerCredentials.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform::xpc {

namespace {

// Linux 6.5 and later; older C library headers do not name it yet.
#ifndef SO_PEERPIDFD
constexpr int SO_PEERPIDFD = 77;
#endif

}  // namespace

base::FileDescriptor PeerCredentials::peerPidfdOf(int fd) {
  int pidfd = -1;
  socklen_t length = sizeof pidfd;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) != 0 || pidfd < 0) return {};
  ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);
  return base::FileDescriptor(pidfd);
}

PeerCredentials PeerCredentials::of(int fd) {
  PeerCredentials peer;
  ucred cred{};
  socklen_t length = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0) {
    peer.pid = cred.pid;
    peer.uid = cred.uid;
    peer.gid = cred.gid;
  }
  peer.pidfd = peerPidfdOf(fd);
  if (!peer.pidfd && peer.pid > 0) {
    // Without SO_PEERPIDFD the pid may in theory have been reused already; the kernel gives
    // nothing better, and the window is as short as we can make it.
    peer.pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, peer.pid, 0)));
    if (peer.pidfd) ::fcntl(peer.pidfd.get(), F_SETFD, FD_CLOEXEC);
  }
  return peer;
}

}  // namespace platform::xpc
