#pragma once
// What a notification centre remembers: the user's authorization answer and the notifications
// still on screen.
//
// Both live in a settings domain when one is given, so that every process of the same user and
// application shares them: a process that starts later knows the answer and can take down
// notices an earlier one showed. Without a domain (or once the domain has refused a write) they
// live in this object only. Not thread-safe: its owner uses it from one queue.
//
// The delivered list is kept in a setting as a JSON array, one object per notification, in the
// order the server accepted them:
//   {"id": request identifier, "category": category or null, "bus": the id of the bus it was
//    shown on, "server": the server's unique name there, "serverId": the server's id for it,
//    "client": the unique name of the connection that showed it}
// (Unique names are reused by a bus started again; the bus id tells its instances apart.)
// A stored value that cannot be read counts as an empty list and is replaced by the next change.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/defaults/Domain.h"
#include "platform/notifications/NotificationTypes.h"

namespace platform::notifications {

inline constexpr char kAuthorizationStatusKey[] = "notifications.authorizationStatus";
inline constexpr char kDeliveredKey[] = "notifications.delivered";

struct DeliveredRecord {
  std::string identifier;
  std::optional<std::string> categoryIdentifier;
  std::string bus;
  std::string server;
  std::uint32_t serverId = 0;
  std::string client;
  friend bool operator==(const DeliveredRecord&, const DeliveredRecord&) = default;
};

class NotificationStore {
 public:
  explicit NotificationStore(std::shared_ptr<defaults::Domain> domain);

  // Not determined when nothing (or nothing readable as an integer) is stored.
  AuthorizationStatus authorizationStatus();
  void setAuthorizationStatus(AuthorizationStatus status);

  std::vector<DeliveredRecord> delivered();
  // Applies `change` to the list atomically, across processes sharing the domain. `change` may
  // run more than once (each time on a freshly read list) and must only change what it is given.
  void modifyDelivered(const std::function<void(std::vector<DeliveredRecord>&)>& change);

  static std::string encode(const std::vector<DeliveredRecord>& records);
  // Nothing when `text` is not a list in the form above.
  static std::optional<std::vector<DeliveredRecord>> decode(const std::string& text);

 private:
  bool useDomain() const { return domain_ && !inMemory_; }
  void fallBackToMemory(const char* what);

  std::shared_ptr<defaults::Domain> domain_;
  bool inMemory_ = false;
  AuthorizationStatus status_ = AuthorizationStatus::notDetermined;
  std::vector<DeliveredRecord> delivered_;
};

}  // namespace platform::notifications
