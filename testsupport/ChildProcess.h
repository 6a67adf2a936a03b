#pragma once
// Running a built program as a child process: to completion with a given standard input, its
// standard output and error collected; or in the background, its output read as it comes.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/FileDescriptor.h"

namespace testsupport {

struct ProcessRun {
  int exitStatus = -1;  // -1 when the program could not be started or did not exit normally
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] is the program, looked up in PATH without a slash) and feeds it `input`
// while draining both outputs, so that neither side can block the other; a program that stops
// reading early is no failure.
ProcessRun runProcess(const std::vector<std::string>& argv, const std::string& input = "");

struct CommandResult {
  int status = -1;     // exit status: 127 when a program is missing, -1 when it did not exit
  std::string output;  // standard output and error together
};
// Runs `command` through the shell.
CommandResult runShell(const std::string& command);

// Runs `body` in a forked copy of this process, for what must not happen in a process with other
// threads (switching users, changing the environment); returns the child's wait status and the
// text `body` returned. A body that cannot go on calls _exit with a status other than 0.
std::pair<int, std::string> runInChild(const std::function<std::string()>& body);

// The program running in the background, its standard output and error read as they come.
class BackgroundProcess {
 public:
  explicit BackgroundProcess(const std::vector<std::string>& argv);
  ~BackgroundProcess();  // kills and reaps a program still running
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // Reads until `text` has appeared on the stream (or it closes, or 20 s pass); returns all of
  // that stream read so far.
  std::string outUntil(const std::string& text) { return readUntil(out_, outText_, text); }
  std::string errUntil(const std::string& text) { return readUntil(err_, errText_, text); }
  int pid() const { return pid_; }  // -1 once waited for, or when it could not be started
  void signal(int signo);
  int wait();  // the wait status

 private:
  std::string readUntil(const platform::base::FileDescriptor& fd, std::string& text,
                        const std::string& wanted);
  int pid_ = -1;
  platform::base::FileDescriptor out_, err_;
  std::string outText_, errText_;
};

}  // namespace testsupport
