// The desktop launcher, with a stand-in program in place of xdg-open.
#include "platform/launcher/Launcher.h"

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/Eventually.h"
#include "testsupport/FileContents.h"
#include "testsupport/TemporaryDirectory.h"

namespace platform::launcher {
namespace {

// Children of this process that still exist, zombies included.
int childCount() {
  int count = 0;
  DIR* proc = opendir("/proc");
  if (!proc) return -1;
  while (dirent* e = readdir(proc)) {
    std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // "pid (name) state ppid ...": the name may hold blanks, so read after the last ')'.
    std::istringstream rest(line.substr(line.rfind(')') + 1));
    char state = 0;
    long ppid = 0;
    if (rest >> state >> ppid && ppid == getpid()) ++count;
  }
  closedir(proc);
  return count;
}

// The program receives the URL as its one argument, starts with no signal blocked or ignored
// and standard input from /dev/null, and is reaped once it has exited. The caller blocks every
// signal, as the dispatch workers that open the application do, in a process that ignores
// SIGPIPE, as the daemon does: neither may pass into the child.
TEST(XdgOpenLauncher, OpensTheUrlInADetachedChildThatIsReaped) {
  ::testsupport::TemporaryDirectory dir;
  const auto script = dir / "fake-open";
  const auto out = dir / "out";
  ::testsupport::writeFile(
      script,
      "#!/bin/sh\n"
      "{ printf '%s|' \"$#\" \"$1\"; grep '^SigBlk' /proc/$$/status | tr -d '\\t\\n';\n"
      "  printf '|'; sed -n 's/^SigIgn:\\t//p' /proc/$$/status | tr -d '\\n';\n"
      "  printf '|'; readlink /proc/$$/fd/0; } > '" +
          out.string() + ".tmp'\nmv '" + out.string() + ".tmp' '" + out.string() + "'\n");
  chmod(script.c_str(), 0755);

  XdgOpenLauncher launcher(script.string());
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous {};
  sigaction(SIGPIPE, &ignore, &previous);
  std::thread([&] {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    launcher.open("file:///Applications/Some App.app");
  }).join();
  sigaction(SIGPIPE, &previous, nullptr);
  ASSERT_TRUE(::testsupport::eventually([&] { return std::filesystem::exists(out); }));
  // Fields: argument count, URL, blocked signals, ignored signals, standard input.
  std::vector<std::string> fields;
  std::istringstream in(::testsupport::readFile(out));
  for (std::string field; std::getline(in, field, '|');)
    fields.push_back(field);
  ASSERT_EQ(fields.size(), 5u);
  EXPECT_EQ(fields[0], "1");
  EXPECT_EQ(fields[1], "file:///Applications/Some App.app");
  EXPECT_EQ(fields[2], "SigBlk:0000000000000000");
  // Signals 1 to 31; the C library keeps its own real-time ones as it sees fit.
  EXPECT_EQ(std::stoull(fields[3], nullptr, 16) & 0x7fffffffu, 0u) << fields[3];
  EXPECT_EQ(fields[4], "/dev/null\n");
  EXPECT_TRUE(::testsupport::eventually([] { return childCount() == 0; }));

  // A program that does not exist: nothing happens, nothing is left behind.
  XdgOpenLauncher missing((dir / "no-such-program").string());
  missing.open("file:///x");
  EXPECT_EQ(childCount(), 0);
}

}  // namespace
}  // namespace platform::launcher
