#include "platform/notifications/NotificationCenter.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "platform/diagnostics/Diagnostics.h"
#include "platform/notifications/BusConnection.h"
#include "platform/notifications/NotificationsBusInterface.h"

namespace platform::notifications {

namespace {

constexpr char kBusName[] = "org.freedesktop.DBus";
constexpr char kBusPath[] = "/org/freedesktop/DBus";
constexpr char kBusInterface[] = "org.freedesktop.DBus";

std::string signalRule() {
  return std::string("type='signal',interface='") + bus::kInterface + "',path='" +
         bus::kObjectPath + "'";
}

// Appends one hint: its key and a variant of the given type.
template <class T>
int appendHint(sd_bus_message* m, const char* key, const char* type, T value) {
  return sd_bus_message_append(m, "{sv}", key, type, value);
}

// Builds Notify's arguments; a negative sd-bus result when the message cannot take them.
int appendNotifyArguments(sd_bus_message* m, const std::string& applicationName,
                          const Content& content, const std::vector<Action>& actions) {
  int r = sd_bus_message_append(m, "susss", applicationName.c_str(), std::uint32_t{0}, "",
                                content.title.c_str(), content.body.c_str());
  if (r < 0) return r;
  if ((r = sd_bus_message_open_container(m, 'a', "s")) < 0) return r;
  for (const auto& action : actions) {
    if ((r = sd_bus_message_append(m, "ss", action.identifier.c_str(), action.title.c_str())) < 0)
      return r;
  }
  if ((r = sd_bus_message_close_container(m)) < 0) return r;
  if ((r = sd_bus_message_open_container(m, 'a', "{sv}")) < 0) return r;
  if (content.categoryIdentifier &&
      (r = appendHint(m, bus::kHintCategory, "s", content.categoryIdentifier->c_str())) < 0)
    return r;
  r = content.defaultSound ? appendHint(m, bus::kHintSoundName, "s", bus::kDefaultSoundName)
                           : appendHint(m, bus::kHintSuppressSound, "b", 1);
  if (r < 0) return r;
  if (content.interruptionLevel &&
      (r = appendHint(m, bus::kHintUrgency, "y",
                      static_cast<int>(bus::urgencyFor(*content.interruptionLevel)))) < 0)
    return r;
  if ((r = sd_bus_message_close_container(m)) < 0) return r;
  return sd_bus_message_append(m, "i", bus::kServerDefaultTimeout);
}

const char* orEmpty(const char* text) {
  return text ? text : "";
}

// The id of the bus a message came over. Only for messages received: the connection is running
// then, so sd-bus answers without waiting.
std::string busIdOf(sd_bus_message* m) {
  sd_id128_t id;
  if (sd_bus_get_bus_id(sd_bus_message_get_bus(m), &id) < 0) return {};
  char text[SD_ID128_STRING_MAX];
  return sd_id128_to_string(id, text);
}

}  // namespace

std::shared_ptr<NotificationCenter> NotificationCenter::make(Configuration configuration) {
  return std::make_shared<NotificationCenter>(MakeTag{}, std::move(configuration));
}

NotificationCenter::NotificationCenter(MakeTag, Configuration configuration)
    : configuration_(std::move(configuration)),
      queue_(dispatch::Queue::makeSerial("platform.notifications")),
      store_(configuration_.stateDomain) {}

NotificationCenter::~NotificationCenter() = default;

std::shared_ptr<BusConnection> NotificationCenter::connection(Error& error) {
  if (bus_) {
    // Signals that have already arrived (a notice closed) count before what the caller asks.
    bus_->pump();
    if (bus_ && bus_->isOpen()) return bus_;
    bus_.reset();
  }
  std::weak_ptr<NotificationCenter> weak = weak_from_this();
  auto opened = BusConnection::open(
      configuration_.busAddress, queue_,
      [weak] {
        if (auto self = weak.lock()) {
          // The bus is gone, and with it every server on it: nothing of ours is on screen, but
          // the list stays for the servers that may still run elsewhere (it is pruned by owner).
          self->bus_.reset();
          self->clientName_.clear();
          self->shownHere_.clear();
        }
      },
      error);
  if (!opened) return nullptr;
  if (auto failed = opened->addMatch(signalRule(), [weak](sd_bus_message* m) {
        if (auto self = weak.lock()) self->handleSignal(m);
      })) {
    error = *failed;
    return nullptr;
  }
  bus_ = opened;
  clientName_.clear();
  shownHere_.clear();
  return bus_;
}

void NotificationCenter::setNotificationCategories(std::vector<Category> categories) {
  queue_->async([self = shared_from_this(), categories = std::move(categories)]() mutable {
    self->categories_ = std::move(categories);
  });
}

void NotificationCenter::getNotificationCategories(
    std::function<void(std::vector<Category>)> completion) {
  queue_->async([self = shared_from_this(), completion = std::move(completion)] {
    completion(self->categories_);
  });
}

void NotificationCenter::add(Request request,
                             std::function<void(std::optional<Error>)> completion) {
  queue_->async([self = shared_from_this(), request = std::move(request),
                 completion = std::move(completion)]() mutable {
    self->sendNotify(request, std::move(completion));
  });
}

void NotificationCenter::sendNotify(const Request& request,
                                    std::function<void(std::optional<Error>)> completion) {
  Error error;
  auto bus = connection(error);
  if (!bus) return completion(error);
  auto call =
      bus->newMethodCall(bus::kServiceName, bus::kObjectPath, bus::kInterface, bus::kNotify, error);
  if (!call) return completion(error);
  std::vector<Action> actions;
  if (request.content.categoryIdentifier) {
    auto category = std::find_if(categories_.begin(), categories_.end(), [&](const Category& c) {
      return c.identifier == *request.content.categoryIdentifier;
    });
    if (category != categories_.end()) actions = category->actions;
  }
  if (int r = appendNotifyArguments(call.get(), configuration_.applicationName, request.content,
                                    actions);
      r < 0)
    return completion(callError(r, "cannot build the notification"));

  std::weak_ptr<NotificationCenter> weak = weak_from_this();
  auto failed = send(
      *bus, call.get(),
      [weak, identifier = request.identifier, category = request.content.categoryIdentifier,
       completion](sd_bus_message* reply) {
        if (auto error = replyError(reply)) return completion(error);
        std::uint32_t serverId = 0;
        if (int r = sd_bus_message_read(reply, "u", &serverId); r < 0)
          return completion(callError(r, "the notification server's answer cannot be read"));
        if (auto self = weak.lock()) {
          self->clientName_ = orEmpty(sd_bus_message_get_destination(reply));
          DeliveredRecord record{identifier,     category,
                                 busIdOf(reply), orEmpty(sd_bus_message_get_sender(reply)),
                                 serverId,       self->clientName_};
          std::erase_if(self->shownHere_,
                        [&](const auto& entry) { return entry.second.identifier == identifier; });
          self->shownHere_[{record.server, serverId}] = {identifier, category};
          self->store_.modifyDelivered([&](std::vector<DeliveredRecord>& list) {
            // A server may hand out an id again once its notice is gone.
            std::erase_if(list, [&](const DeliveredRecord& r) {
              return r.identifier == record.identifier ||
                     (r.bus == record.bus && r.server == record.server &&
                      r.serverId == record.serverId);
            });
            list.push_back(record);
          });
        }
        completion(std::nullopt);
      });
  if (failed) {
    if (!bus->isOpen()) bus_.reset();
    completion(*failed);
  }
}

void NotificationCenter::getDeliveredNotifications(
    std::function<void(std::vector<DeliveredNotification>)> completion) {
  queue_->async([self = shared_from_this(), completion = std::move(completion)] {
    // With nothing listed there is nothing to ask the bus about.
    if (self->store_.delivered().empty()) return completion({});
    self->withCurrentServer([self, completion](Reach reach, const ServerIdentity& server) {
      // Without a bus no server can show anything.
      if (reach == Reach::noBus) return completion({});
      std::vector<DeliveredNotification> delivered;
      for (auto& r : self->store_.delivered()) {
        if (reach == Reach::known && !server.shows(r)) continue;
        delivered.push_back({std::move(r.identifier), std::move(r.categoryIdentifier)});
      }
      completion(std::move(delivered));
    });
  });
}

void NotificationCenter::withCurrentServer(std::function<void(Reach, const ServerIdentity&)> then) {
  Error error;
  auto bus = connection(error);
  if (!bus) return then(Reach::noBus, {});
  auto call = bus->newMethodCall(kBusName, kBusPath, kBusInterface, "GetNameOwner", error);
  if (!call || sd_bus_message_append(call.get(), "s", bus::kServiceName) < 0)
    return then(Reach::unknown, {});
  std::weak_ptr<NotificationCenter> weak = weak_from_this();
  auto failed = send(*bus, call.get(), [weak, then](sd_bus_message* reply) {
    auto self = weak.lock();
    if (!self || !reply) return then(Reach::unknown, {});
    ServerIdentity server{busIdOf(reply), {}};
    if (auto error = replyError(reply)) {
      if (error->name != SD_BUS_ERROR_NAME_HAS_NO_OWNER) return then(Reach::unknown, {});
    } else if (const char* owner = nullptr; sd_bus_message_read(reply, "s", &owner) >= 0) {
      server.owner = orEmpty(owner);
    } else {
      return then(Reach::unknown, {});
    }
    // Notices of a server that has left the bus, or of a bus that is gone, went with them.
    self->store_.modifyDelivered([&](std::vector<DeliveredRecord>& list) {
      std::erase_if(list, [&](const DeliveredRecord& r) { return !server.shows(r); });
    });
    std::erase_if(self->shownHere_,
                  [&](const auto& entry) { return entry.first.first != server.owner; });
    then(Reach::known, server);
  });
  if (failed) then(Reach::unknown, {});
}

void NotificationCenter::removeDeliveredNotifications(std::vector<std::string> identifiers) {
  queue_->async([self = shared_from_this(), identifiers = std::move(identifiers)] {
    const auto listedIdentifier = [&identifiers](const std::string& identifier) {
      return std::find(identifiers.begin(), identifiers.end(), identifier) != identifiers.end();
    };
    const auto listed = [&](const DeliveredRecord& r) { return listedIdentifier(r.identifier); };
    std::vector<DeliveredRecord> toClose;
    for (auto& r : self->store_.delivered())
      if (listed(r)) toClose.push_back(std::move(r));
    std::erase_if(self->shownHere_,
                  [&](const auto& entry) { return listedIdentifier(entry.second.identifier); });
    if (toClose.empty()) return;
    self->store_.modifyDelivered(
        [&](std::vector<DeliveredRecord>& list) { std::erase_if(list, listed); });
    self->withCurrentServer([self, toClose](Reach reach, const ServerIdentity& server) {
      if (reach == Reach::noBus) {
        diagnostics::reportf(
            "NotificationCenter: cannot take down notifications without a session bus (%zu "
            "asked for)",
            toClose.size());
        return;
      }
      // Only the server that showed a notice may be told to close it: another one may use the
      // same id for someone else's notice. A notice whose server is gone has gone with it.
      for (const auto& r : toClose) {
        if (reach == Reach::known && server.shows(r)) self->sendClose(r.server, r.serverId);
      }
    });
  });
}

void NotificationCenter::sendClose(const std::string& server, std::uint32_t serverId) {
  const auto report = [serverId](const Error& error) {
    diagnostics::reportf("NotificationCenter: cannot take down notification %u: %s", serverId,
                         error.description.c_str());
  };
  Error error;
  auto bus = connection(error);
  if (!bus) return report(error);
  auto call = bus->newMethodCall(server.c_str(), bus::kObjectPath, bus::kInterface,
                                 bus::kCloseNotification, error);
  if (!call) return report(error);
  if (int r = sd_bus_message_append(call.get(), "u", serverId); r < 0)
    return report(callError(r, "cannot build the call"));
  if (auto failed = send(*bus, call.get(), [report](sd_bus_message* reply) {
        // No reply: this connection went away, and its notices with
        // the bus or with this process.
        if (!reply) return;
        if (auto error = replyError(reply)) report(*error);
      }))
    report(*failed);
}

void NotificationCenter::getNotificationSettings(std::function<void(Settings)> completion) {
  queue_->async([self = shared_from_this(), completion = std::move(completion)] {
    completion(Settings{self->store_.authorizationStatus()});
  });
}

void NotificationCenter::requestAuthorization(
    unsigned /*options: every server shows alerts, and sound is chosen per notification*/,
    std::function<void(bool, std::optional<Error>)> completion) {
  queue_->async([self = shared_from_this(), completion = std::move(completion)] {
    switch (self->store_.authorizationStatus()) {
      case AuthorizationStatus::notDetermined:
        break;
      case AuthorizationStatus::authorized:
      case AuthorizationStatus::provisional:
      case AuthorizationStatus::ephemeral:
        return completion(true, std::nullopt);
      default:
        return completion(false, std::nullopt);
    }
    Error error;
    auto bus = self->connection(error);
    if (!bus) return completion(false, error);
    auto call = bus->newMethodCall(bus::kServiceName, bus::kObjectPath, bus::kInterface,
                                   bus::kGetCapabilities, error);
    if (!call) return completion(false, error);
    std::weak_ptr<NotificationCenter> weak = self;
    auto failed = self->send(*bus, call.get(), [weak, completion](sd_bus_message* reply) {
      auto self = weak.lock();
      auto error = replyError(reply);
      // No reply at all means the bus went away while asking: nobody was asked, so nothing
      // is remembered. Any answer from the bus (a server, or the bus saying there is none)
      // decides.
      if (!reply || !self) return completion(false, error);
      const bool granted = !error;
      self->store_.setAuthorizationStatus(granted ? AuthorizationStatus::authorized
                                                  : AuthorizationStatus::denied);
      completion(granted, std::nullopt);
    });
    if (failed) completion(false, failed);
  });
}

std::optional<Error> NotificationCenter::send(BusConnection& bus, sd_bus_message* call,
                                              std::function<void(sd_bus_message*)> handler) {
  // Counted until its handler has run, so that whenSettled also waits for the calls the handler
  // starts.
  struct Ended {
    std::weak_ptr<NotificationCenter> center;
    ~Ended() {
      if (auto self = center.lock()) self->callEnded();
    }
  };
  ++callsInFlight_;
  auto failed =
      bus.call(call, configuration_.callTimeout,
               [weak = weak_from_this(), handler = std::move(handler)](sd_bus_message* m) {
                 Ended ended{weak};
                 handler(m);
               });
  if (failed) callEnded();
  return failed;
}

void NotificationCenter::callEnded() {
  if (--callsInFlight_ > 0 || settledHandlers_.empty()) return;
  // Later, so that whatever the ending call's owner does next is counted first.
  queue_->async([self = shared_from_this()] { self->runSettledHandlers(); });
}

void NotificationCenter::runSettledHandlers() {
  if (callsInFlight_ > 0) return;
  for (auto& done : std::exchange(settledHandlers_, {}))
    done();
}

void NotificationCenter::whenSettled(std::function<void()> done) {
  queue_->async([self = shared_from_this(), done = std::move(done)]() mutable {
    self->settledHandlers_.push_back(std::move(done));
    self->runSettledHandlers();
  });
}

void NotificationCenter::setActionHandler(std::function<void(const ActionResponse&)> handler) {
  queue_->async([self = shared_from_this(), handler = std::move(handler)]() mutable {
    self->actionHandler_ = std::move(handler);
  });
}

void NotificationCenter::handleSignal(sd_bus_message* m) {
  const ServerIdentity server{busIdOf(m), orEmpty(sd_bus_message_get_sender(m))};
  std::uint32_t serverId = 0;
  if (sd_bus_message_is_signal(m, bus::kInterface, bus::kNotificationClosed)) {
    std::uint32_t reason = 0;
    if (sd_bus_message_read(m, "uu", &serverId, &reason) < 0) return;
    shownHere_.erase({server.owner, serverId});
    store_.modifyDelivered([&](std::vector<DeliveredRecord>& list) {
      std::erase_if(list, [&](const DeliveredRecord& r) {
        return server.shows(r) && r.serverId == serverId;
      });
    });
  } else if (sd_bus_message_is_signal(m, bus::kInterface, bus::kActionInvoked)) {
    const char* key = nullptr;
    if (sd_bus_message_read(m, "us", &serverId, &key) < 0 || !actionHandler_) return;
    // Every client of the server hears the signal; only the process that showed the notice
    // answers it.
    const auto shown = shownHere_.find({server.owner, serverId});
    if (shown == shownHere_.end()) return;
    actionHandler_(
        ActionResponse{shown->second.identifier, shown->second.categoryIdentifier, orEmpty(key)});
  }
}

}  // namespace platform::notifications
