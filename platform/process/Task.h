#pragma once
// A child process, run directly (never through a shell) with posix_spawn.
//
// Configure, then launch() once. Standard streams are inherited unless set: a FileHandle becomes
// the stream itself; a Pipe gives the child its write end (output and error) or its read end
// (input). The child starts with every signal unblocked and at its default disposition, whatever
// the launching thread blocks or the parent ignores, and with no descriptor of the parent except
// its three streams.
//
// Exit is watched through a pidfd (a dispatch process source). When the child has exited, the
// task reaps it, first lets the readability handlers of its output and error pipes see every
// byte the child wrote (see FileHandle::deliverWaitingData), then marks itself exited and calls
// the termination handler once, on a thread of the dispatch layer. Bytes that reach a pipe after
// that (from a grandchild still holding it) are not delivered before the handler runs. The task
// keeps itself alive from launch until its termination handler has returned.
//
// Launch failures (no such executable, not executable, out of processes or descriptors) are
// returned by launch(); the termination handler is then never called.
//
// Thread safety: every operation may be called from any thread.

#include <sys/types.h>

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/base/Error.h"
#include "platform/dispatch/Source.h"
#include "platform/process/FileHandle.h"
#include "platform/process/Pipe.h"

namespace platform::process {

class Task : public std::enable_shared_from_this<Task> {
 public:
  // Inherited, a file handle, or a pipe.
  using Stream = std::variant<std::monostate, std::shared_ptr<FileHandle>, std::shared_ptr<Pipe>>;
  enum class TerminationReason { Exit, UncaughtSignal };

  static std::shared_ptr<Task> make();
  ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // Configuration, before launch(). A relative executable path is taken relative to the
  // current directory at launch.
  void setExecutable(std::filesystem::path path);
  void setArguments(std::vector<std::string> arguments);
  // Nothing: the parent's environment.
  void setEnvironment(std::optional<std::map<std::string, std::string>> environment);
  void setCurrentDirectory(std::optional<std::filesystem::path> directory);
  void setStandardInput(Stream stream);
  void setStandardOutput(Stream stream);
  void setStandardError(Stream stream);
  void setTerminationHandler(std::function<void(Task&)> handler);

  std::filesystem::path executable() const;
  std::vector<std::string> arguments() const;
  Stream standardOutput() const;
  Stream standardError() const;

  // Starts the child. Nothing on success; the reason otherwise (a second launch is refused).
  std::optional<base::Error> launch();

  // Blocks until the child has exited (returns at once when it was never launched).
  void waitUntilExit();
  bool isRunning() const;
  // The child's process identifier, 0 before launch.
  pid_t processIdentifier() const;
  // Valid once exited: the exit status, or the number of the signal that ended the child; -1
  // when someone else reaped the child first (a process that ignores SIGCHLD reaps its children
  // automatically, and their status is lost).
  int terminationStatus() const;
  TerminationReason terminationReason() const;

  // Sends SIGTERM to a running child. False when it is not running.
  bool terminate();

 private:
  enum class State { Configuring, Running, Exited };
  Task() = default;
  void childExited();

  mutable std::mutex mutex_;
  std::condition_variable exitedCondition_;
  std::filesystem::path executable_;
  std::vector<std::string> arguments_;
  std::optional<std::map<std::string, std::string>> environment_;
  std::optional<std::filesystem::path> currentDirectory_;
  Stream input_;
  Stream output_;
  Stream error_;
  std::function<void(Task&)> terminationHandler_;

  State state_ = State::Configuring;
  pid_t pid_ = 0;
  bool reaped_ = false;  // the identifier may belong to another process from here on
  int status_ = 0;
  TerminationReason reason_ = TerminationReason::Exit;
  std::shared_ptr<dispatch::ProcessSource> exitSource_;
};

}  // namespace platform::process
