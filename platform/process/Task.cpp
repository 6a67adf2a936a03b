#include "platform/process/Task.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace platform::process {

namespace {

// posix_spawn's attribute and file-action objects, destroyed on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawnattr_init(&attributes_);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attributes() { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

// The descriptor that becomes a child's stream, or -1 to inherit the parent's.
int descriptorFor(const Task::Stream& stream, bool input) {
  if (const auto* handle = std::get_if<std::shared_ptr<FileHandle>>(&stream); handle && *handle) {
    return (*handle)->fileDescriptor();
  }
  if (const auto* pipe = std::get_if<std::shared_ptr<Pipe>>(&stream); pipe && *pipe) {
    return input ? (*pipe)->fileHandleForReading()->fileDescriptor()
                 : (*pipe)->fileHandleForWriting()->fileDescriptor();
  }
  return -1;
}

void deliverWaitingData(const Task::Stream& stream) {
  if (const auto* pipe = std::get_if<std::shared_ptr<Pipe>>(&stream); pipe && *pipe) {
    (*pipe)->fileHandleForReading()->deliverWaitingData();
  }
}

}  // namespace

std::shared_ptr<Task> Task::make() {
  return std::shared_ptr<Task>(new Task());
}

Task::~Task() = default;

void Task::setExecutable(std::filesystem::path path) {
  std::lock_guard lock(mutex_);
  executable_ = std::move(path);
}

void Task::setArguments(std::vector<std::string> arguments) {
  std::lock_guard lock(mutex_);
  arguments_ = std::move(arguments);
}

void Task::setEnvironment(std::optional<std::map<std::string, std::string>> environment) {
  std::lock_guard lock(mutex_);
  environment_ = std::move(environment);
}

void Task::setCurrentDirectory(std::optional<std::filesystem::path> directory) {
  std::lock_guard lock(mutex_);
  currentDirectory_ = std::move(directory);
}

void Task::setStandardInput(Stream stream) {
  std::lock_guard lock(mutex_);
  input_ = std::move(stream);
}

void Task::setStandardOutput(Stream stream) {
  std::lock_guard lock(mutex_);
  output_ = std::move(stream);
}

void Task::setStandardError(Stream stream) {
  std::lock_guard lock(mutex_);
  error_ = std::move(stream);
}

void Task::setTerminationHandler(std::function<void(Task&)> handler) {
  std::lock_guard lock(mutex_);
  terminationHandler_ = std::move(handler);
}

std::filesystem::path Task::executable() const {
  std::lock_guard lock(mutex_);
  return executable_;
}

std::vector<std::string> Task::arguments() const {
  std::lock_guard lock(mutex_);
  return arguments_;
}

Task::Stream Task::standardOutput() const {
  std::lock_guard lock(mutex_);
  return output_;
}

Task::Stream Task::standardError() const {
  std::lock_guard lock(mutex_);
  return error_;
}

std::optional<base::Error> Task::launch() {
  std::unique_lock lock(mutex_);
  if (state_ != State::Configuring) return base::posixError(EALREADY, "launch");
  std::error_code ec;
  const std::filesystem::path path =
      executable_.empty() ? executable_ : std::filesystem::absolute(executable_, ec);
  // A launch error's description is the system's reason alone: whoever reports it names the
  // executable already.
  if (path.empty() || ec) return base::posixError(ENOENT);

  std::vector<std::string> argumentStorage{path.string()};
  argumentStorage.insert(argumentStorage.end(), arguments_.begin(), arguments_.end());
  std::vector<char*> argv;
  for (auto& a : argumentStorage)
    argv.push_back(a.data());
  argv.push_back(nullptr);

  std::vector<std::string> environmentStorage;
  std::vector<char*> envp;
  if (environment_) {
    for (const auto& [key, value] : *environment_)
      environmentStorage.push_back(key + "=" + value);
    for (auto& e : environmentStorage)
      envp.push_back(e.data());
    envp.push_back(nullptr);
  }

  SpawnSetup setup;
  const std::pair<const Stream*, int> streams[] = {
      {&input_, STDIN_FILENO}, {&output_, STDOUT_FILENO}, {&error_, STDERR_FILENO}};
  for (const auto& [stream, target] : streams) {
    const int fd = descriptorFor(*stream, target == STDIN_FILENO);
    if (fd >= 0) ::posix_spawn_file_actions_adddup2(setup.actions(), fd, target);
  }
  // Descriptors the process inherited without close-on-exec (or a library opened without it)
  // are not the child's business.
  ::posix_spawn_file_actions_addclosefrom_np(setup.actions(), STDERR_FILENO + 1);
  if (currentDirectory_) {
    ::posix_spawn_file_actions_addchdir_np(setup.actions(), currentDirectory_->c_str());
  }
  // Threads of the dispatch layer block every signal and a daemon ignores SIGPIPE; neither may
  // leak into the child.
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  ::posix_spawnattr_setsigmask(setup.attributes(), &none);
  ::posix_spawnattr_setsigdefault(setup.attributes(), &all);
  ::posix_spawnattr_setflags(setup.attributes(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, path.c_str(), setup.actions(), setup.attributes(), argv.data(),
                               environment_ ? envp.data() : environ);
  if (rc != 0) return base::posixError(rc);

  auto source = dispatch::ProcessSource::make(pid, dispatch::Queue::global());
  if (!source) {
    // Without a way to see the child end, it must not run unseen.
    const int err = errno != 0 ? errno : EMFILE;
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return base::posixError(err);
  }
  pid_ = pid;
  state_ = State::Running;
  exitSource_ = source;
  // The source's handler holds the task until the child has exited.
  source->setEventHandler([self = shared_from_this()] { self->childExited(); });
  lock.unlock();
  source->resume();
  return std::nullopt;
}

void Task::childExited() {
  Stream output;
  Stream error;
  {
    std::lock_guard lock(mutex_);
    // The pidfd is readable: the child is a zombie and waitpid returns at once. Reaping under
    // the lock keeps terminate() from signalling an identifier that is no longer ours.
    int wait = 0;
    pid_t reaped;
    do {
      reaped = ::waitpid(pid_, &wait, 0);
    } while (reaped < 0 && errno == EINTR);
    reaped_ = true;
    if (reaped == pid_ && WIFSIGNALED(wait)) {
      status_ = WTERMSIG(wait);
      reason_ = TerminationReason::UncaughtSignal;
    } else if (reaped == pid_) {
      status_ = WEXITSTATUS(wait);
      reason_ = TerminationReason::Exit;
    } else {
      status_ = -1;
      reason_ = TerminationReason::Exit;
    }
    output = output_;
    error = error_;
  }
  deliverWaitingData(output);
  deliverWaitingData(error);

  std::function<void(Task&)> handler;
  std::shared_ptr<dispatch::ProcessSource> source;
  {
    std::lock_guard lock(mutex_);
    state_ = State::Exited;
    handler = std::move(terminationHandler_);
    source = std::move(exitSource_);
  }
  exitedCondition_.notify_all();
  if (handler) handler(*this);
  // Drops this handler, and with it the task's hold on itself.
  if (source) source->cancel();
}

void Task::waitUntilExit() {
  std::unique_lock lock(mutex_);
  exitedCondition_.wait(lock, [this] { return state_ != State::Running; });
}

bool Task::isRunning() const {
  std::lock_guard lock(mutex_);
  return state_ == State::Running;
}

pid_t Task::processIdentifier() const {
  std::lock_guard lock(mutex_);
  return pid_;
}

int Task::terminationStatus() const {
  std::lock_guard lock(mutex_);
  return status_;
}

Task::TerminationReason Task::terminationReason() const {
  std::lock_guard lock(mutex_);
  return reason_;
}

bool Task::terminate() {
  std::lock_guard lock(mutex_);
  if (state_ != State::Running || reaped_) return false;
  return ::kill(pid_, SIGTERM) == 0;
}

}  // namespace platform::process
