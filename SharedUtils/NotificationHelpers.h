#pragma once
// User notifications: the client's notification categories and their actions, and the free
// operations that show, clear and check notifications through the process's notification centre.
//
// Scheduling (scheduleNotification) runs through these stages, each in the completion of the one
// before, on the centre's queue (see platform/notifications/NotificationCenter.h):
//   1. a session-expiration warning or connection-ended notice that is still on screen is not
//      shown again (every other category, and no category, skips this check);
//   2. an expiry notice (sessionExpired) first clears the expiration warnings on screen;
//   3. the content: the category's identifier, title and body, and for service notifications and
//      feedback reminders the default sound and the active interruption level;
//   4. the authorization state: not determined asks the user (through the centre) and, once
//      granted, schedules the same notification again from stage 1; denied drops it;
//   5. the request is added, under a fresh UUID.
// Every stage logs through the logging front end with the function name
// "scheduleNotification(message:title:withCategory:)". The duplicate check and the add are not
// atomic: two calls for the same category made close together can both show a notice.

#include <array>
#include <concepts>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/notifications/NotificationCenter.h"

namespace sharedutils {

// The client's notification categories; the raw value is the category identifier on the
// platform. The enumerators' values are the categories' codes.
enum class NotificationCategory : int {
  sessionExpirationWarning = 0,
  sessionExpired = 1,
  connectionEnded = 2,
  serviceNotification = 3,
  feedbackReminder = 4,
  endpointProtectionMessage = 5,
};

// Every category, in this order.
inline constexpr std::array<NotificationCategory, 6> allNotificationCategories = {
    NotificationCategory::sessionExpirationWarning, NotificationCategory::sessionExpired,
    NotificationCategory::connectionEnded,          NotificationCategory::serviceNotification,
    NotificationCategory::feedbackReminder,         NotificationCategory::endpointProtectionMessage,
};

std::string_view rawValue(NotificationCategory category);
// The category whose raw value is `text`; no value for any other string, or for no string (any
// text or optional text converts).
std::optional<NotificationCategory> notificationCategoryFromRawValue(
    std::optional<std::string_view> text);

// Categories shown with the default sound and the active interruption level.
inline constexpr std::array<NotificationCategory, 2> categoriesWithSound = {
    NotificationCategory::serviceNotification, NotificationCategory::feedbackReminder};
// Categories whose notices are taken down before an expiry notice is shown.
inline constexpr std::array<NotificationCategory, 1> categoriesClearedOnExpiry = {
    NotificationCategory::sessionExpirationWarning};

// Categories that callers clear together when a connection ends; initially the expiration
// warning, the expiry notice and the connection-ended notice. Process-wide; any thread may read
// or replace it.
std::vector<NotificationCategory> connectionRelatedCategories();
void setConnectionRelatedCategories(std::vector<NotificationCategory> categories);

// The actions of the feedback reminder. Only `skip` is offered as a button.
enum class NotificationActionIdentifier { snooze, skip };

std::string_view rawValue(NotificationActionIdentifier action);
std::optional<NotificationActionIdentifier> notificationActionIdentifierFromRawValue(
    std::optional<std::string_view> text);

// An enumeration whose cases stand for strings (its raw values). Such a value equals an optional
// string, in either order, when the string is present and is the value's raw value.
template <class T>
concept StringComparable = std::is_enum_v<T> && requires(T value) {
  { rawValue(value) } -> std::convertible_to<std::string_view>;
};

template <StringComparable T>
bool operator==(T value, const std::optional<std::string>& text) {
  return text.has_value() && std::string_view(*text) == rawValue(value);
}

// Registers the six categories with the notification centre, replacing any earlier set. Every
// category has no actions except the feedback reminder, which offers "Skip".
void registerNotificationCenterCategories();

// Shows `message` under `title` as a notification of `category` (none: a plain notice). Returns
// at once; failures are logged and never reported to the caller.
void scheduleNotification(const std::string& message, const std::string& title,
                          std::optional<NotificationCategory> category);

// How a scheduling ended, for callers that must know when it has (a command-line tool that exits
// afterwards). The stages and their log lines are those of scheduleNotification.
enum class ScheduleOutcome {
  shown,                // the server accepted the notification
  alreadyShown,         // a notice of the category is still on screen
  denied,               // the user does not allow notifications
  notGranted,           // asked now, and not allowed
  authorizationFailed,  // asking failed (error set)
  failed,               // the server did not take it (error set)
};
struct ScheduleResult {
  ScheduleOutcome outcome;
  std::optional<platform::notifications::Error> error;
};
// scheduleNotification, then `finished` once, on the centre's queue, with how it ended.
void scheduleNotification(const std::string& message, const std::string& title,
                          std::optional<NotificationCategory> category,
                          std::function<void(const ScheduleResult&)> finished);

// Takes down the delivered notifications of these categories, then calls `completionHandler`
// (when given), also when there was nothing to take down.
void clearUserNotifications(const std::vector<NotificationCategory>& categories,
                            std::function<void()> completionHandler = nullptr);

// Answers true when a notification of `category` would be ignored now: a session-expiration
// warning or connection-ended notice while one is on screen. Every other category (and none)
// answers false at once, on the caller's thread.
void shouldIgnoreNotification(std::optional<NotificationCategory> category,
                              std::function<void(bool)> ignoreCompletion);

// The process's notification centre, made on first use: on the user's session bus, keeping its
// state in the client's app-group settings (the standard domain when the suite is refused).
// Owners install the action handler here.
const std::shared_ptr<platform::notifications::NotificationCenter>& currentNotificationCenter();

// What the server shows as the sender of the client's notifications.
inline constexpr char kNotificationApplicationName[] = "TarvoClient";

}  // namespace sharedutils
