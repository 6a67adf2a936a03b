#include "SharedUtils/NotificationHelpers.h"

#include <sys/random.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>

#include "SharedUtils/PublishedUserDefault.h"
#include "logging/DDLogFrontEnd.h"
#include "platform/base/NoDestructor.h"

namespace sharedutils {

namespace {

namespace pn = platform::notifications;
using platform::base::NoDestructor;

// Every log line of scheduling carries this function name.
constexpr char kScheduleFunction[] = "scheduleNotification(message:title:withCategory:)";
#define SCHEDULE_LOG(flag, ...) DDLogAt(::DDLogFlag::flag, __FILE__, kScheduleFunction, __VA_ARGS__)

constexpr std::string_view kCategoryRawValues[] = {
    "sessionExpirationWarning", "sessionExpired",   "connectionEnded",
    "serviceNotification",      "feedbackReminder", "endpointProtectionMessage",
};
constexpr std::string_view kActionRawValues[] = {"feedbackReminder.snooze",
                                                 "feedbackReminder.skip"};

struct ConnectionRelated {
  std::mutex mutex;
  std::vector<NotificationCategory> categories{NotificationCategory::sessionExpirationWarning,
                                               NotificationCategory::sessionExpired,
                                               NotificationCategory::connectionEnded};
};
ConnectionRelated& connectionRelated() {
  static NoDestructor<ConnectionRelated> state;
  return *state;
}

// A random (version 4) UUID in its standard form, upper-case hex: 8-4-4-4-12.
std::string freshUUID() {
  std::uint8_t bytes[16];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    std::random_device device;
    for (auto& b : bytes)
      b = static_cast<std::uint8_t>(device());
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

bool hasDuplicateCheck(std::optional<NotificationCategory> category) {
  return category == NotificationCategory::sessionExpirationWarning ||
         category == NotificationCategory::connectionEnded;
}

bool anyOfCategory(const std::vector<pn::DeliveredNotification>& delivered,
                   NotificationCategory category) {
  return std::any_of(delivered.begin(), delivered.end(), [&](const pn::DeliveredNotification& d) {
    return category == d.categoryIdentifier;
  });
}

pn::Content contentFor(const std::string& message, const std::string& title,
                       std::optional<NotificationCategory> category) {
  pn::Content content;
  if (category) content.categoryIdentifier = std::string(rawValue(*category));
  content.title = title;
  content.body = message;
  if (category && std::find(categoriesWithSound.begin(), categoriesWithSound.end(), *category) !=
                      categoriesWithSound.end()) {
    content.defaultSound = true;
    content.interruptionLevel = pn::InterruptionLevel::active;
  }
  return content;
}

using Finished = std::function<void(const ScheduleResult&)>;

void finish(const Finished& finished, ScheduleOutcome outcome,
            std::optional<pn::Error> error = std::nullopt) {
  if (finished) finished(ScheduleResult{outcome, std::move(error)});
}

void addRequest(const pn::Request& request, const Finished& finished) {
  currentNotificationCenter()->add(request, [finished](std::optional<pn::Error> error) {
    if (error) {
      SCHEDULE_LOG(warning, "scheduleNotification: failed to show alert with error %@",
                   error->description);
      return finish(finished, ScheduleOutcome::failed, std::move(error));
    }
    finish(finished, ScheduleOutcome::shown);
  });
}

// Stages 2 to 5, once the duplicate check has found nothing.
void show(const std::string& message, const std::string& title,
          std::optional<NotificationCategory> category, const Finished& finished) {
  SCHEDULE_LOG(debug, "scheduleNotification: show user alert about: %@", message);
  if (category == NotificationCategory::sessionExpired) {
    clearUserNotifications(std::vector<NotificationCategory>(categoriesClearedOnExpiry.begin(),
                                                             categoriesClearedOnExpiry.end()));
  }
  pn::Request request{freshUUID(), contentFor(message, title, category)};
  const auto& center = currentNotificationCenter();
  center->getNotificationSettings([=](pn::Settings settings) {
    switch (settings.authorizationStatus) {
      case pn::AuthorizationStatus::notDetermined:
        SCHEDULE_LOG(debug,
                     "scheduleNotification: authorizationStatus:notDetermined, try asking "
                     "authorization for notifications (at the Extension)");
        // The request made above is dropped: a grant starts the whole scheduling again.
        currentNotificationCenter()->requestAuthorization(
            pn::AuthorizationOptions::alert | pn::AuthorizationOptions::sound,
            [=](bool granted, std::optional<pn::Error> error) {
              SCHEDULE_LOG(debug,
                           "scheduleNotification: back from requestAuthorization. granted:%i",
                           granted);
              if (error) {
                SCHEDULE_LOG(debug, "scheduleNotification: requestAuthorization. error:%@",
                             error->description);
                return finish(finished, ScheduleOutcome::authorizationFailed, std::move(error));
              }
              if (granted) {
                SCHEDULE_LOG(debug,
                             "scheduleNotification: requestAuthorization granted, try again to "
                             "send notification");
                return scheduleNotification(message, title, category, finished);
              }
              SCHEDULE_LOG(info,
                           "scheduleNotification: cannot alert user since permission not granted");
              finish(finished, ScheduleOutcome::notGranted);
            });
        return;
      case pn::AuthorizationStatus::denied:
        SCHEDULE_LOG(info,
                     "scheduleNotification: authorizationStatus: denied, authorizationStatus: "
                     "denied, cannot alert user");
        return finish(finished, ScheduleOutcome::denied);
      case pn::AuthorizationStatus::authorized:
      case pn::AuthorizationStatus::ephemeral:
        return addRequest(request, finished);
      case pn::AuthorizationStatus::provisional:
        SCHEDULE_LOG(info,
                     "scheduleNotification: authorizationStatus: provisional, try to alert user "
                     "anyway");
        return addRequest(request, finished);
    }
    SCHEDULE_LOG(warning,
                 "scheduleNotification: unrecognized notification authorization status: %lli",
                 static_cast<long long>(settings.authorizationStatus));
    addRequest(request, finished);
  });
}

}  // namespace

std::string_view rawValue(NotificationCategory category) {
  return kCategoryRawValues[static_cast<int>(category)];
}

std::optional<NotificationCategory> notificationCategoryFromRawValue(
    std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  for (auto category : allNotificationCategories)
    if (rawValue(category) == *text) return category;
  return std::nullopt;
}

std::vector<NotificationCategory> connectionRelatedCategories() {
  auto& state = connectionRelated();
  std::lock_guard lock(state.mutex);
  return state.categories;
}

void setConnectionRelatedCategories(std::vector<NotificationCategory> categories) {
  auto& state = connectionRelated();
  std::lock_guard lock(state.mutex);
  state.categories = std::move(categories);
}

std::string_view rawValue(NotificationActionIdentifier action) {
  return kActionRawValues[static_cast<int>(action)];
}

std::optional<NotificationActionIdentifier> notificationActionIdentifierFromRawValue(
    std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  for (auto action : {NotificationActionIdentifier::snooze, NotificationActionIdentifier::skip})
    if (rawValue(action) == *text) return action;
  return std::nullopt;
}

const std::shared_ptr<pn::NotificationCenter>& currentNotificationCenter() {
  static NoDestructor<std::shared_ptr<pn::NotificationCenter>> center([] {
    auto state = shared();
    return pn::NotificationCenter::make(
        {kNotificationApplicationName, std::nullopt, state ? state : standardDefaults()});
  }());
  return *center;
}

void registerNotificationCenterCategories() {
  std::vector<pn::Category> categories;
  for (auto category : allNotificationCategories) {
    pn::Category platformCategory{std::string(rawValue(category)), {}};
    if (category == NotificationCategory::feedbackReminder)
      platformCategory.actions.push_back(
          {std::string(rawValue(NotificationActionIdentifier::skip)), "Skip"});
    categories.push_back(std::move(platformCategory));
  }
  currentNotificationCenter()->setNotificationCategories(std::move(categories));
}

void scheduleNotification(const std::string& message, const std::string& title,
                          std::optional<NotificationCategory> category) {
  scheduleNotification(message, title, category, nullptr);
}

void scheduleNotification(const std::string& message, const std::string& title,
                          std::optional<NotificationCategory> category,
                          std::function<void(const ScheduleResult&)> finished) {
  if (!hasDuplicateCheck(category)) return show(message, title, category, finished);
  currentNotificationCenter()->getDeliveredNotifications(
      [=](const std::vector<pn::DeliveredNotification>& delivered) {
        if (anyOfCategory(delivered, *category)) {
          SCHEDULE_LOG(debug,
                       "scheduleNotification: notification from category %@ already exists, do "
                       "not notify again",
                       rawValue(*category));
          return finish(finished, ScheduleOutcome::alreadyShown);
        }
        show(message, title, category, finished);
      });
}

void clearUserNotifications(const std::vector<NotificationCategory>& categories,
                            std::function<void()> completionHandler) {
  currentNotificationCenter()->getDeliveredNotifications(
      [categories, completionHandler](const std::vector<pn::DeliveredNotification>& delivered) {
        std::vector<std::string> identifiers;
        for (const auto& d : delivered) {
          if (std::any_of(categories.begin(), categories.end(),
                          [&](NotificationCategory c) { return c == d.categoryIdentifier; }))
            identifiers.push_back(d.identifier);
        }
        if (!identifiers.empty())
          currentNotificationCenter()->removeDeliveredNotifications(std::move(identifiers));
        if (completionHandler) completionHandler();
      });
}

void shouldIgnoreNotification(std::optional<NotificationCategory> category,
                              std::function<void(bool)> ignoreCompletion) {
  if (!hasDuplicateCheck(category)) return ignoreCompletion(false);
  currentNotificationCenter()->getDeliveredNotifications(
      [category, ignoreCompletion](const std::vector<pn::DeliveredNotification>& delivered) {
        ignoreCompletion(anyOfCategory(delivered, *category));
      });
}

}  // namespace sharedutils
