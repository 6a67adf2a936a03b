#pragma once
// The values a notification centre deals in: categories with their actions, the content and the
// request of a notification, what is still delivered, the authorization state and the answer of
// the user to an action button.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::notifications {

// Whether the user lets this application show notifications. The raw values are what the
// settings store keeps: never renumber them. A stored value outside this list is handed on
// unchanged (a newer version of the client may have written it), so callers must expect one.
enum class AuthorizationStatus : std::int64_t {
  notDetermined = 0,
  denied = 1,
  authorized = 2,
  provisional = 3,
  ephemeral = 4,
};

// What an application asks permission for (a mask).
enum AuthorizationOptions : unsigned {
  badge = 1,
  sound = 2,
  alert = 4,
};

// How insistently a notification is presented: passive is shown quietly, active is the normal
// case, time-sensitive and critical ask to be seen now.
enum class InterruptionLevel : unsigned {
  passive = 0,
  active = 1,
  timeSensitive = 2,
  critical = 3,
};

// A button offered with every notification of a category.
struct Action {
  std::string identifier;
  std::string title;
  friend bool operator==(const Action&, const Action&) = default;
};

struct Category {
  std::string identifier;
  std::vector<Action> actions;
  friend bool operator==(const Category&, const Category&) = default;
};

struct Content {
  // The registered category whose actions the notification offers; none for a plain notice.
  std::optional<std::string> categoryIdentifier;
  std::string title;
  std::string body;
  // Plays the desktop's default notification sound; without it the notice is silent.
  bool defaultSound = false;
  // Unset leaves the urgency to the notification server (normal).
  std::optional<InterruptionLevel> interruptionLevel;
};

struct Request {
  // Chosen by the caller; adding a request whose identifier is still delivered replaces that
  // notification on screen.
  std::string identifier;
  Content content;
};

// A notification that the server still shows.
struct DeliveredNotification {
  std::string identifier;
  std::optional<std::string> categoryIdentifier;
  friend bool operator==(const DeliveredNotification&, const DeliveredNotification&) = default;
};

struct Settings {
  AuthorizationStatus authorizationStatus = AuthorizationStatus::notDetermined;
};

// The user pressed an action button of a notification this process showed.
struct ActionResponse {
  std::string notificationIdentifier;
  std::optional<std::string> categoryIdentifier;
  std::string actionIdentifier;
};

// Why an operation failed: the bus error's name ("org.freedesktop.DBus.Error.ServiceUnknown", or
// kNoBusError when the session bus could not be reached) and a description for people, which is
// also what the error reads as in a log line.
struct Error {
  std::string name;
  std::string description;
  friend bool operator==(const Error&, const Error&) = default;
};

inline constexpr const char* kNoBusError = "platform.notifications.NoSessionBus";

}  // namespace platform::notifications
