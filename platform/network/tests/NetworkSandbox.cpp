#include "platform/network/tests/NetworkSandbox.h"

#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "platform/base/ErrnoText.h"

namespace platform::network::testing {

namespace {

std::string& reason() {
  static std::string text = "the network sandbox was not entered";
  return text;
}

std::filesystem::path& directory() {
  static std::filesystem::path path;
  return path;
}

std::size_t threadCount() {
  std::size_t count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks))
      if (entry->d_name[0] != '.') ++count;
    closedir(tasks);
  }
  return count;
}

std::string failure(const std::string& what) {
  return what + ": " + platform::base::errnoText(errno);
}

std::string enter() {
  if (geteuid() != 0) return "needs root to make private network and mount namespaces";
  if (threadCount() != 1) return "threads were started before the sandbox was entered";
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) return failure("unshare");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return failure("making mounts private");
  if (mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0) return failure("mounting sysfs");

  char pattern[] = "/tmp/network-sandbox.XXXXXX";
  if (mkdtemp(pattern) == nullptr) return failure("mkdtemp");
  directory() = pattern;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(directory(), ignored);
  });
  const auto resolvConf = directory() / "resolv.conf";
  std::ofstream(resolvConf).flush();
  if (mount(resolvConf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
    return failure("bind-mounting /etc/resolv.conf");
  // Read by the bus library at each connection; set once here, before any thread can read it.
  setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + systemBusSocket().string()).c_str(), 1);
  return {};
}

}  // namespace

void enterSandbox() {
  reason() = enter();
}

const std::string& sandboxUnavailableReason() {
  return reason();
}

const std::filesystem::path& sandboxDirectory() {
  return directory();
}

std::filesystem::path systemBusSocket() {
  return directory() / "system_bus_socket";
}

void resetNetwork() {
  // sysfs is the sandbox's own, so it lists the sandbox's interfaces. A pair's second end may
  // already be gone with the first: -force goes on past that.
  std::vector<std::string> lines;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net", error)) {
    const std::string name = entry.path().filename().string();
    if (name != "lo") lines.push_back("link del " + name);
  }
  lines.push_back("route flush table main");
  // What a test added to the loopback interface goes too; bringing it up again gives it back its
  // own 127.0.0.1 and ::1.
  lines.push_back("addr flush dev lo");
  lines.push_back("link set lo down");
  ::testsupport::runIp(lines, "-force");
  shell("ip -6 route flush table main");
  setResolvConf("");
}

void setResolvConf(const std::string& text) {
  std::ofstream out(directory() / "resolv.conf", std::ios::trunc);
  out << text;
}

}  // namespace platform::network::testing
