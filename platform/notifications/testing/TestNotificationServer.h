#pragma once
// A notification server of a test's own: it owns org.freedesktop.Notifications on a bus (a
// PrivateSessionBus), records every call it receives, and on command closes notices or reports
// that the user pressed an action button, as a desktop would. It serves the bus on a thread of
// its own; every member may be called from any thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/FileDescriptor.h"

struct sd_bus;
struct sd_bus_message;

namespace platform::notifications::testing {

class TestNotificationServer {
 public:
  struct Options {
    // False: Notify calls are recorded but never answered (a server that hangs).
    bool answerNotify = true;
  };

  // A Notify call as received.
  struct Notification {
    std::uint32_t id = 0;
    std::string summary;
    std::string body;
    std::chrono::steady_clock::time_point receivedAt;
  };

  // Connects to the bus at `address` and takes the service's name. On failure ready() is false
  // and failure() says why.
  explicit TestNotificationServer(const std::string& address, Options options);
  explicit TestNotificationServer(const std::string& address)
      : TestNotificationServer(address, Options{}) {}
  ~TestNotificationServer();  // leaves the bus (the name's owner changes)
  TestNotificationServer(const TestNotificationServer&) = delete;
  TestNotificationServer& operator=(const TestNotificationServer&) = delete;

  bool ready() const { return failure_.empty(); }
  const std::string& failure() const { return failure_; }
  // The server's unique name on the bus.
  const std::string& uniqueName() const { return uniqueName_; }

  // Every call received, in order, one line each:
  //   Notify app="A" replaces=0 summary="T" body="B" actions=[key,label] hints={category=s:c,
  //     sound-name=s:x, suppress-sound=b:1, urgency=y:1} timeout=-1      (hints sorted by key)
  //   CloseNotification 7
  //   GetCapabilities
  std::vector<std::string> calls() const;
  std::vector<Notification> notifications() const;
  // Ids of the notices still shown.
  std::set<std::uint32_t> onScreen() const;
  // Waits until at least `count` calls have come in; false when `limit` passed first.
  bool waitForCalls(std::size_t count,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
  // Forgets the calls received so far (the notices stay on screen).
  void clearCalls();

  // The user dismissed notice `id`: it leaves the screen and NotificationClosed(id, 2) is sent.
  // Returns once the signal is on its way.
  void close(std::uint32_t id);
  // The user pressed the button `key` of notice `id`: ActionInvoked(id, key) is sent, then the
  // notice closes as above.
  void invokeAction(std::uint32_t id, const std::string& key);

 private:
  friend struct ServerCallbacks;
  int handleNotify(sd_bus_message* m);
  int handleClose(sd_bus_message* m);
  void record(std::string line);
  void emitClosed(std::uint32_t id, std::uint32_t reason);
  // Runs `command` on the server's thread and waits for it.
  void run(std::function<void()> command);
  void serve();

  const Options options_;
  sd_bus* bus_ = nullptr;
  std::string failure_;
  std::string uniqueName_;
  platform::base::FileDescriptor wake_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> calls_;
  std::vector<Notification> notifications_;
  std::set<std::uint32_t> onScreen_;
  std::uint32_t nextId_ = 1;
  std::deque<std::function<void()>> commands_;
  std::uint64_t commandsDone_ = 0, commandsQueued_ = 0;
  bool stopping_ = false;

  std::thread thread_;
};

}  // namespace platform::notifications::testing
