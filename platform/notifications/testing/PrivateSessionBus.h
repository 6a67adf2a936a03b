#pragma once
// A session bus of a test's own: a dbus-daemon listening on a socket in a directory the test
// owns, with no service activation (nothing on the host can be started on it) and a policy that
// lets every connection own any name. Tests point the code under test at address().

#include <filesystem>
#include <memory>
#include <string>

namespace testsupport {
class BackgroundProcess;
}

namespace platform::notifications::testing {

class PrivateSessionBus {
 public:
  // Starts the daemon with its socket at `directory`/bus (a stale socket there is replaced), and
  // waits until it listens. On failure running() is false and failure() says why.
  explicit PrivateSessionBus(const std::filesystem::path& directory);
  ~PrivateSessionBus();  // stop()
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  // The address for the given directory, whether a daemon runs there or not.
  static std::string addressFor(const std::filesystem::path& directory);

  bool running() const { return daemon_ != nullptr; }
  const std::string& failure() const { return failure_; }
  const std::string& address() const { return address_; }
  // Kills the daemon, waits for it and removes its socket: every connection to it has seen it go
  // when this returns.
  void stop();

 private:
  std::filesystem::path socket_;
  std::unique_ptr<::testsupport::BackgroundProcess> daemon_;
  std::string address_;
  std::string failure_;
};

}  // namespace platform::notifications::testing
