#pragma once
// The desktop's notification service on the session bus, as this facility (and the test server
// that stands in for a desktop) use it: its names, the hints a notification carries and how an
// interruption level becomes an urgency.

#include <cstdint>

#include "platform/notifications/NotificationTypes.h"

namespace platform::notifications::bus {

inline constexpr char kServiceName[] = "org.freedesktop.Notifications";
inline constexpr char kObjectPath[] = "/org/freedesktop/Notifications";
inline constexpr char kInterface[] = "org.freedesktop.Notifications";

// Notify(app_name s, replaces_id u, app_icon s, summary s, body s, actions as, hints a{sv},
// expire_timeout i) -> id u. Actions are (key, label) pairs, flattened.
inline constexpr char kNotify[] = "Notify";
inline constexpr char kNotifySignature[] = "susssasa{sv}i";
// CloseNotification(id u).
inline constexpr char kCloseNotification[] = "CloseNotification";
// GetCapabilities() -> as. The call that tells whether a server is there and answering.
inline constexpr char kGetCapabilities[] = "GetCapabilities";
// Signals: NotificationClosed(id u, reason u), ActionInvoked(id u, action_key s).
inline constexpr char kNotificationClosed[] = "NotificationClosed";
inline constexpr char kActionInvoked[] = "ActionInvoked";

// Hints.
inline constexpr char kHintCategory[] = "category";             // s
inline constexpr char kHintSoundName[] = "sound-name";          // s
inline constexpr char kHintSuppressSound[] = "suppress-sound";  // b
inline constexpr char kHintUrgency[] = "urgency";               // y
// The sound theme's name for the sound of an incoming message: what desktops play for an
// ordinary notification.
inline constexpr char kDefaultSoundName[] = "message-new-instant";
// Let the server decide how long a notice stays.
inline constexpr std::int32_t kServerDefaultTimeout = -1;

enum class Urgency : std::uint8_t { low = 0, normal = 1, critical = 2 };

// Time-sensitive and critical notices both ask to be seen now: critical is the only urgency that
// keeps a notice on screen and lets it through a do-not-disturb mode.
constexpr Urgency urgencyFor(InterruptionLevel level) {
  switch (level) {
    case InterruptionLevel::passive:
      return Urgency::low;
    case InterruptionLevel::active:
      return Urgency::normal;
    case InterruptionLevel::timeSensitive:
    case InterruptionLevel::critical:
      return Urgency::critical;
  }
  return Urgency::normal;
}

}  // namespace platform::notifications::bus
