// A peer for the validation tests: connects to the local service socket given as its first
// argument, says "connected <pid>" on standard output, then either replaces itself with the
// program named by the remaining arguments (the connection stays open in it) when it gets SIGUSR1,
// or waits until the service closes the connection and says "closed".
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/base/ErrnoText.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  sigset_t go;
  sigemptyset(&go);
  sigaddset(&go, SIGUSR1);
  ::sigprocmask(SIG_BLOCK, &go, nullptr);  // before "connected": the signal cannot come too early
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);  // inherited across exec on purpose
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::printf("connect: %s\n", platform::base::errnoText(errno).c_str());
    return 1;
  }
  std::printf("connected %d\n", static_cast<int>(::getpid()));
  std::fflush(stdout);
  if (argc > 2) {
    int signo = 0;
    if (::sigwait(&go, &signo) != 0) return 1;
    ::sigprocmask(SIG_UNBLOCK, &go, nullptr);
    ::execv(argv[2], argv + 2);
    std::printf("execv: %s\n", platform::base::errnoText(errno).c_str());
    return 1;
  }
  char byte;
  while (::recv(fd, &byte, 1, 0) > 0) {
  }
  std::printf("closed\n");
  return 0;
}
