#pragma once
// A notification centre over the desktop's notification service (org.freedesktop.Notifications
// on the session bus).
//
// - Categories: registered in this object; a notification of a category offers that category's
//   actions as buttons. Registering replaces the earlier set.
// - Adding a request sends Notify: the title as summary, the body, the category's actions, and the
//   hints "category" (the category identifier), "sound-name" (the desktop's message sound) or
//   "suppress-sound" (silent notices), and "urgency" when an interruption level is set.
// - The delivered list is what the server said: a notification is on it from the reply to its
//   Notify until the server reports NotificationClosed, it is removed, or its server leaves the
//   bus. The list is shared through the settings domain given (see NotificationStore), so a
//   process can take down notices that another process of the same user showed. A notice the user
//   dismissed while no process of the application was connected stays listed until its server
//   stops or the notice is removed: the service has no call that lists what is on screen.
// - Authorization: not determined until the first request; then granted when a notification
//   server answers on the bus and denied otherwise, and remembered in the settings domain
//   (deleting that setting makes the next request ask again). When the bus itself cannot be
//   reached the request fails with an error and nothing is remembered.
// - Action buttons pressed on notifications this process showed reach the action handler.
//
// Threading: every operation may be called from any thread and returns at once; the work and
// every completion and handler run on the centre's serial queue, in call order. Nothing blocks:
// bus calls are asynchronous and end with an error after the call time-out. When there is no
// session bus or no server, operations whose completion carries an error report it there; the
// others do what can be done without the bus (nothing is on screen when the bus cannot be
// reached) and report a failed removal with one line on the diagnostic channel.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/defaults/Domain.h"
#include "platform/dispatch/Queue.h"
#include "platform/notifications/NotificationStore.h"
#include "platform/notifications/NotificationTypes.h"

struct sd_bus_message;

namespace platform::notifications {

class BusConnection;

class NotificationCenter : public std::enable_shared_from_this<NotificationCenter> {
 public:
  struct Configuration {
    // Shown by the server as the sender of every notification.
    std::string applicationName;
    // The bus to use; nullopt: the user's session bus (DBUS_SESSION_BUS_ADDRESS, else
    // $XDG_RUNTIME_DIR/bus), looked up again whenever the centre has to connect.
    std::optional<std::string> busAddress;
    // Where the authorization answer and the delivered list are kept; nullptr: in this object.
    std::shared_ptr<defaults::Domain> stateDomain;
    // How long a call to the bus or the server may take before it fails.
    std::chrono::milliseconds callTimeout = std::chrono::seconds(10);
  };

  static std::shared_ptr<NotificationCenter> make(Configuration configuration);
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // The queue on which the work, the completions and the handlers run.
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

  void setNotificationCategories(std::vector<Category> categories);
  void getNotificationCategories(std::function<void(std::vector<Category>)> completion);

  // Shows the notification; the completion gets nothing once the server has accepted it, else
  // the error.
  void add(Request request, std::function<void(std::optional<Error>)> completion);
  void getDeliveredNotifications(
      std::function<void(std::vector<DeliveredNotification>)> completion);
  // Takes down the delivered notifications with these request identifiers.
  void removeDeliveredNotifications(std::vector<std::string> identifiers);

  void getNotificationSettings(std::function<void(Settings)> completion);
  // `options` is a mask of AuthorizationOptions. The completion gets whether notifications may
  // be shown, and the error when the bus could not be asked.
  void requestAuthorization(unsigned options,
                            std::function<void(bool granted, std::optional<Error>)> completion);

  void setActionHandler(std::function<void(const ActionResponse&)> handler);

  // Runs `done` on the queue once every bus call started before it, and every call their answers
  // start in turn, has ended (answered, failed or timed out): a process about to exit uses it so
  // that the server has heard every removal first.
  void whenSettled(std::function<void()> done);

  struct MakeTag {
    explicit MakeTag() = default;
  };
  NotificationCenter(MakeTag, Configuration configuration);

 private:
  // The open connection, connecting first when there is none (all on the queue).
  std::shared_ptr<BusConnection> connection(Error& error);
  void handleSignal(sd_bus_message* signal);
  void sendNotify(const Request& request, std::function<void(std::optional<Error>)> completion);
  // Who shows notifications now: the bus's id and the unique name owning the service's name
  // (empty when nobody does). A delivered record counts only while its server is that one.
  struct ServerIdentity {
    std::string bus;
    std::string owner;
    bool shows(const DeliveredRecord& r) const {
      return !owner.empty() && r.bus == bus && r.server == owner;
    }
  };
  enum class Reach { noBus, unknown, known };
  // Asks the bus who owns the service's name, drops the records of servers that are gone and
  // runs `then` (on the queue) with the answer.
  void withCurrentServer(std::function<void(Reach, const ServerIdentity&)> then);
  void sendClose(const std::string& server, std::uint32_t serverId);
  // Sends `call` with the call time-out, counting it until `handler` has run.
  std::optional<Error> send(BusConnection& bus, sd_bus_message* call,
                            std::function<void(sd_bus_message*)> handler);
  void callEnded();
  void runSettledHandlers();

  const Configuration configuration_;
  const std::shared_ptr<dispatch::Queue> queue_;
  // Everything below is touched on queue_ only.
  NotificationStore store_;
  std::shared_ptr<BusConnection> bus_;
  // This process's unique name on the current connection, learnt from the first reply.
  std::string clientName_;
  // The notices this process showed over the current connection, by (server, server's id):
  // a button pressed on one is answered here. Kept apart from the shared list, which another
  // process may already have pruned when it heard the notice close.
  std::map<std::pair<std::string, std::uint32_t>, DeliveredNotification> shownHere_;
  std::vector<Category> categories_;
  std::function<void(const ActionResponse&)> actionHandler_;
  std::size_t callsInFlight_ = 0;
  std::vector<std::function<void()>> settledHandlers_;
};

}  // namespace platform::notifications
