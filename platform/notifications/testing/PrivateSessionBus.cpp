#include "platform/notifications/testing/PrivateSessionBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <vector>

#include "platform/base/ErrnoText.h"
#include "platform/base/FileDescriptor.h"

extern char** environ;

namespace platform::notifications::testing {

namespace {

using platform::base::FileDescriptor;

constexpr auto kStartLimit = std::chrono::seconds(20);

std::string configFor(const std::filesystem::path& socket) {
  return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" +
         socket.string() + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
}

// Reads the line the daemon prints once it listens; false after kStartLimit or at end of file.
bool readReadyLine(int fd, std::string& line) {
  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  char buffer[256];
  while (line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    line.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::string PrivateSessionBus::addressFor(const std::filesystem::path& directory) {
  return "unix:path=" + (directory / "bus").string();
}

PrivateSessionBus::PrivateSessionBus(const std::filesystem::path& directory)
    : socket_(directory / "bus"), address_(addressFor(directory)) {
  const auto& socket = socket_;
  const auto config = directory / "bus.conf";
  std::error_code ignored;
  std::filesystem::remove(socket, ignored);
  std::ofstream(config) << configFor(socket);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    failure_ = "pipe: " + base::errnoText(errno);
    return;
  }
  FileDescriptor readEnd(fds[0]), writeEnd(fds[1]);
  std::vector<std::string> words = {"dbus-daemon", "--nofork", "--config-file=" + config.string(),
                                    "--print-address=3"};
  std::vector<char*> argv;
  for (auto& w : words)
    argv.push_back(w.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), 3);
  // The daemon complains on standard error that it may not raise its descriptor limit.
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Threads of the dispatch layer block every signal; the daemon must not inherit that.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  writeEnd.reset();
  if (spawned != 0) {
    failure_ = "cannot start dbus-daemon: " + base::errnoText(spawned);
    return;
  }
  pid_ = pid;
  std::string line;
  if (!readReadyLine(readEnd.get(), line)) {
    failure_ = "dbus-daemon did not report its address";
    stop();
  }
}

PrivateSessionBus::~PrivateSessionBus() {
  stop();
}

void PrivateSessionBus::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  // Gone for good: a client now finds no socket at all, as on a host without a session bus.
  std::error_code ignored;
  std::filesystem::remove(socket_, ignored);
}

}  // namespace platform::notifications::testing
