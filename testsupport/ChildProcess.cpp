#include "testsupport/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <tuple>
#include <utility>

#include "platform/base/ErrnoText.h"

extern char** environ;

namespace testsupport {

namespace {

using platform::base::FileDescriptor;

struct Pipe {
  FileDescriptor read, write;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
      read.reset(fds[0]);
      write.reset(fds[1]);
    }
  }
};

// Starts the program with its standard streams on the pipes; the child's ends are closed here.
pid_t spawn(const std::vector<std::string>& words, Pipe& in, Pipe& out, Pipe& err) {
  if (words.empty() || !in.read || !out.read || !err.read) return -1;
  std::vector<std::string> copy(words);
  std::vector<char*> argv;
  for (auto& word : copy)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.read.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out.write.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write.get(), STDERR_FILENO);
  // The child starts with no signal blocked and SIGPIPE at its default, whatever the calling
  // thread blocks (the dispatch layer's threads block every signal) and whatever runProcess set.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  in.read.reset();
  out.write.reset();
  err.write.reset();
  return spawned == 0 ? pid : -1;
}

int reap(pid_t pid) {
  int status = -1;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

}  // namespace

ProcessRun runProcess(const std::vector<std::string>& argv, const std::string& input) {
  ProcessRun run;
  Pipe in, out, err;
  const pid_t pid = spawn(argv, in, out, err);
  if (pid < 0) return run;

  // A program that stops reading early must not kill the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  fcntl(in.write.get(), F_SETFL, O_NONBLOCK);
  std::size_t written = 0;
  if (input.empty()) in.write.reset();
  while (out.read || err.read) {
    pollfd fds[3] = {
        {out.read.get(), POLLIN, 0}, {err.read.get(), POLLIN, 0}, {in.write.get(), POLLOUT, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[2].revents != 0) {
      const ssize_t n = ::write(in.write.get(), input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if ((n < 0 && errno != EAGAIN) || written == input.size()) in.write.reset();
    }
    for (auto [fd, sink, revents] : {std::tuple{&out.read, &run.out, fds[0].revents},
                                     std::tuple{&err.read, &run.err, fds[1].revents}}) {
      if (revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fd->get(), buffer, sizeof buffer);
      if (n > 0) {
        sink->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fd->reset();
      }
    }
  }
  in.write.reset();
  const int status = reap(pid);
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

CommandResult runShell(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, "popen: " + platform::base::errnoText(errno)};
  CommandResult result;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe))
    result.output += buffer;
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv) {
  Pipe in, out, err;
  pid_ = spawn(argv, in, out, err);
  out_ = std::move(out.read);
  err_ = std::move(err.read);
}

BackgroundProcess::~BackgroundProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    wait();
  }
}

void BackgroundProcess::signal(int signo) {
  if (pid_ > 0) ::kill(pid_, signo);
}

int BackgroundProcess::wait() {
  const int status = pid_ > 0 ? reap(pid_) : -1;
  pid_ = -1;
  return status;
}

std::string BackgroundProcess::readUntil(const FileDescriptor& fd, std::string& text,
                                         const std::string& wanted) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (fd && text.find(wanted) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd.get(), POLLIN, 0};
    const int ready = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[4096];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  return text;
}

std::pair<int, std::string> runInChild(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return {-1, {}};
  const pid_t pid = ::fork();
  if (pid < 0) return {-1, {}};
  if (pid == 0) {
    ::close(fds[0]);
    const std::string out = body();
    (void)!::write(fds[1], out.data(), out.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    out.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {status, out};
}

}  // namespace testsupport
