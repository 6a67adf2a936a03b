#include "tools/coreservicectl/tests/ToolProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char** environ;

namespace coreservicectl::testsupport {

namespace {

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
      read = fds[0];
      write = fds[1];
    }
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  void closeRead() {
    if (read >= 0) close(read);
    read = -1;
  }
  void closeWrite() {
    if (write >= 0) close(write);
    write = -1;
  }
};

// Starts the tool with its standard streams on the pipes; the child's ends are closed here.
pid_t spawnTool(const std::vector<std::string>& arguments, Pipe& in, Pipe& out, Pipe& err) {
  std::vector<std::string> words{CORESERVICECTL_PATH};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words)
    argv.push_back(word.data());
  argv.push_back(nullptr);
  if (in.read < 0 || out.read < 0 || err.read < 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.read, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  in.closeRead();
  out.closeWrite();
  err.closeWrite();
  return spawned == 0 ? pid : -1;
}

}  // namespace

ToolRun runTool(const std::vector<std::string>& arguments, const std::string& input) {
  ToolRun run;
  Pipe in, out, err;
  const pid_t pid = spawnTool(arguments, in, out, err);
  if (pid < 0) return run;

  // Feed the input and drain both outputs together so that neither side can block the other.
  // A tool that stops reading early must not kill the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  fcntl(in.write, F_SETFL, O_NONBLOCK);
  std::size_t written = 0;
  if (input.empty()) in.closeWrite();
  while (out.read >= 0 || err.read >= 0) {
    pollfd fds[3] = {{out.read, POLLIN, 0}, {err.read, POLLIN, 0}, {in.write, POLLOUT, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[2].revents != 0) {
      const ssize_t n = ::write(in.write, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if ((n < 0 && errno != EAGAIN) || written == input.size()) in.closeWrite();
    }
    for (auto [fd, sink] : {std::pair{&out, &run.out}, std::pair{&err, &run.err}}) {
      const pollfd& p = fd == &out ? fds[0] : fds[1];
      if (p.revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fd->read, buffer, sizeof buffer);
      if (n > 0) {
        sink->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fd->closeRead();
      }
    }
  }
  in.closeWrite();
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

BackgroundTool::BackgroundTool(const std::vector<std::string>& arguments) {
  Pipe in, out, err;
  pid_ = spawnTool(arguments, in, out, err);
  std::swap(out_, out.read);
  std::swap(err_, err.read);
}

BackgroundTool::~BackgroundTool() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    wait();
  }
  for (int fd : {out_, err_})
    if (fd >= 0) close(fd);
}

void BackgroundTool::signal(int signo) {
  if (pid_ > 0) ::kill(pid_, signo);
}

int BackgroundTool::wait() {
  int status = -1;
  while (pid_ > 0 && waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return status;
}

std::string BackgroundTool::readUntil(int fd, std::string& text, const std::string& wanted) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (fd >= 0 && text.find(wanted) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    const int ready = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  return text;
}

}  // namespace coreservicectl::testsupport
