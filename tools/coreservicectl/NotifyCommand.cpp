// coreservicectl notify [--category NAME] <title> <body>
// coreservicectl notify --clear NAME...
// Shows one notification on the user's desktop the way the client does (the duplicate check of
// its category, the permission, the request) and exits 0 once the desktop's notification server
// has accepted it, 1 with the reason otherwise. With --clear it takes down the notices of the
// named categories that the client's processes have shown, and exits 0 once the server has been
// told. 2 for a usage error.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "SharedUtils/NotificationHelpers.h"
#include "tools/coreservicectl/Commands.h"

namespace coreservicectl {

namespace {

using sharedutils::NotificationCategory;
using sharedutils::ScheduleOutcome;
using sharedutils::ScheduleResult;

// Each step is bounded by the notification centre's call time-out; this only guards against a
// step that never reports back.
constexpr auto kAnswerLimit = std::chrono::seconds(60);

std::string categoryNames() {
  std::string names;
  for (auto category : sharedutils::allNotificationCategories)
    names += (names.empty() ? "" : ", ") + std::string(sharedutils::rawValue(category));
  return names;
}

// The value one asynchronous answer hands over to the main thread.
template <class T>
class Answer {
 public:
  void set(T value) {
    std::lock_guard lock(mutex_);
    if (!value_) value_.emplace(std::move(value));
    changed_.notify_all();
  }
  std::optional<T> wait() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kAnswerLimit, [&] { return value_.has_value(); });
    return value_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<T> value_;
};

int failure(const std::string& message) {
  std::fprintf(stderr, "coreservicectl: %s\n", message.c_str());
  return 1;
}

int clearCategories(const std::vector<NotificationCategory>& categories) {
  // The shared answer outlives this frame should the wait give up.
  auto done = std::make_shared<Answer<bool>>();
  sharedutils::clearUserNotifications(categories, [done] {
    // Removing only starts the closes: wait until the server has heard them.
    sharedutils::currentNotificationCenter()->whenSettled([done] { done->set(true); });
  });
  if (!done->wait()) return failure("no answer from the session bus");
  return 0;
}

int show(const std::string& title, const std::string& body,
         std::optional<NotificationCategory> category) {
  auto done = std::make_shared<Answer<ScheduleResult>>();
  sharedutils::scheduleNotification(body, title, category,
                                    [done](const ScheduleResult& result) { done->set(result); });
  const auto result = done->wait();
  if (!result) return failure("no answer from the session bus");
  const std::string error = result->error ? result->error->description : "";
  switch (result->outcome) {
    case ScheduleOutcome::shown:
      return 0;
    case ScheduleOutcome::alreadyShown:
      return failure("a notification of category " + std::string(sharedutils::rawValue(*category)) +
                     " is still on screen: not shown again");
    case ScheduleOutcome::denied:
      return failure("notifications are turned off for this user");
    case ScheduleOutcome::notGranted:
      return failure(
          "no notification server answered on the session bus: notifications are now turned off "
          "for this user");
    case ScheduleOutcome::authorizationFailed:
      return failure("cannot ask for permission to show notifications: " + error);
    case ScheduleOutcome::failed:
      return failure("the notification server did not take the notification: " + error);
  }
  return failure("the notification was not shown");
}

int runNotify(const Invocation& invocation) {
  const auto& operands = invocation.operands();
  const auto categoryOf = [](const std::string& name) {
    return sharedutils::notificationCategoryFromRawValue(name);
  };
  if (invocation.has("clear")) {
    if (invocation.has("category"))
      return usageError(invocation, "--clear takes category names, not --category");
    if (operands.empty()) return usageError(invocation, "--clear needs at least one category");
    std::vector<NotificationCategory> categories;
    for (const auto& name : operands) {
      const auto category = categoryOf(name);
      if (!category)
        return usageError(invocation, "unknown category '%s' (one of %s)", name.c_str(),
                          categoryNames().c_str());
      categories.push_back(*category);
    }
    return clearCategories(categories);
  }
  if (operands.size() != 2) return usageError(invocation, "expected <title> <body>");
  std::optional<NotificationCategory> category;
  if (auto name = invocation.value("category")) {
    category = categoryOf(*name);
    if (!category)
      return usageError(invocation, "unknown category '%s' (one of %s)", name->c_str(),
                        categoryNames().c_str());
  }
  sharedutils::registerNotificationCenterCategories();
  return show(operands[0], operands[1], category);
}

}  // namespace

Command notifyCommand() {
  return {
      "notify",
      {.summary = "Shows a notification on the desktop as the client does, or takes notices "
                  "down.",
       .operands = "<title> <body> | --clear <category>...",
       .options = {{"category", 'c', "NAME", "the notification's category (none: a plain notice)"},
                   {"clear", 0, "", "take down the notices of the given categories"}},
       .minOperands = 1,
       .details = "Categories: " + categoryNames() +
                  ".\n\nExit status 0 once the notification server has accepted the "
                  "notification (or been told to take the notices down), 1 when it was not "
                  "shown, with the reason on standard error."},
      &runNotify};
}

}  // namespace coreservicectl
