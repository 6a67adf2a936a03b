#pragma once
// Support for tests that sign and check files: copies of a system program to sign, and children
// that run them.

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/codesign/tests/TestCertificates.h"

namespace codesign_test {

// A copy of `program` (a system executable) at `to`, executable.
inline std::filesystem::path copyProgram(const std::filesystem::path& program,
                                         const std::filesystem::path& to) {
  std::filesystem::copy_file(program, to, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(to, std::filesystem::perms::owner_all);
  return to;
}

// A child running `program` with `args`; killed and reaped when the object goes away.
class Child {
 public:
  Child(const std::filesystem::path& program, std::vector<std::string> args) {
    std::vector<char*> argv;
    std::string argv0 = program.string();
    argv.push_back(argv0.data());
    for (auto& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv0.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
      throw std::runtime_error("cannot spawn " + argv0);
    }
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      reap();
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Waits for the child; returns its wait status.
  int reap() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
};

}  // namespace codesign_test
