#include "platform/notifications/testing/PrivateSessionBus.h"

#include <fstream>
#include <vector>

#include "testsupport/ChildProcess.h"

namespace platform::notifications::testing {

namespace {

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

}  // namespace

std::string PrivateSessionBus::addressFor(const std::filesystem::path& directory) {
  return "unix:path=" + (directory / "bus").string();
}

PrivateSessionBus::PrivateSessionBus(const std::filesystem::path& directory)
    : socket_(directory / "bus"), address_(addressFor(directory)) {
  const auto config = directory / "bus.conf";
  std::error_code ignored;
  std::filesystem::remove(socket_, ignored);
  std::ofstream(config) << configFor(socket_);
  // The daemon prints its address once it listens; what it says on standard error (that it may
  // not raise its descriptor limit) is left unread.
  daemon_ = std::make_unique<::testsupport::BackgroundProcess>(std::vector<std::string>{
      "dbus-daemon", "--nofork", "--config-file=" + config.string(), "--print-address=1"});
  if (daemon_->pid() <= 0) {
    failure_ = "cannot start dbus-daemon";
    daemon_.reset();
  } else if (daemon_->outUntil("\n").find('\n') == std::string::npos) {
    failure_ = "dbus-daemon did not report its address";
    stop();
  }
}

PrivateSessionBus::~PrivateSessionBus() {
  stop();
}

void PrivateSessionBus::stop() {
  if (!daemon_) return;
  daemon_.reset();  // killed and reaped
  // Gone for good: a client now finds no socket at all, as on a host without a session bus.
  std::error_code ignored;
  std::filesystem::remove(socket_, ignored);
}

}  // namespace platform::notifications::testing
