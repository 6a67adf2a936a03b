#include "SharedUtils/NotificationHelpers.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SharedUtils/PublishedUserDefault.h"
#include "SharedUtils/tests/LogCapture.h"
#include "platform/notifications/NotificationStore.h"
#include "platform/notifications/testing/Awaited.h"
#include "platform/notifications/testing/PrivateSessionBus.h"
#include "platform/notifications/testing/TestNotificationServer.h"
#include "testsupport/Eventually.h"
#include "testsupport/TemporaryDirectory.h"

namespace sharedutils {
namespace {

namespace pn = platform::notifications;
using platform::defaults::Domain;
using platform::defaults::Value;
using TempDir = ::testsupport::TemporaryDirectory;
using pn::testing::Awaited;
using pn::testing::PrivateSessionBus;
using pn::testing::TestNotificationServer;
using sharedutils::testsupport::LogCapture;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using Category = NotificationCategory;

// The process's notification centre uses the session bus named by the environment and keeps its
// state in the app-group settings: both are this test's own, chosen before anything runs.
const TempDir& testBase() {
  static TempDir dir;
  return dir;
}
const bool kPrepared = [] {
  Domain::setBaseDirectory(testBase().path() / "settings");
  setenv("DBUS_SESSION_BUS_ADDRESS", PrivateSessionBus::addressFor(testBase().path()).c_str(), 1);
  return true;
}();

std::string line(const std::string& flag, const std::string& text) {
  return flag +
         " NotificationHelpers scheduleNotification(message:title:withCategory:): "
         "scheduleNotification: " +
         text;
}

const std::string kAsking = line("debug",
                                 "authorizationStatus:notDetermined, try asking authorization for "
                                 "notifications (at the Extension)");

// What the test server records for a notice of the client.
std::string notifyCall(const std::string& title, const std::string& body,
                       const std::string& actionsAndHints) {
  return "Notify app=\"TarvoClient\" replaces=0 summary=\"" + title + "\" body=\"" + body + "\" " +
         actionsAndHints + " timeout=-1";
}

class NotificationHelpersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kPrepared);
    // One bus for the whole program, started again only after a test has stopped it.
    if (!bus || !bus->running()) bus = std::make_unique<PrivateSessionBus>(testBase().path());
    ASSERT_TRUE(bus->running()) << bus->failure();
    ASSERT_NE(shared(), nullptr);
    ASSERT_TRUE(shared()->remove(pn::kAuthorizationStatusKey));
    ASSERT_TRUE(shared()->remove(pn::kDeliveredKey));
    registerNotificationCenterCategories();
    DDLog::sharedInstance()->addLogger(logger);
    logger->take();
  }
  void TearDown() override {
    DDLog::sharedInstance()->removeLogger(logger);
    server.reset();
  }

  void startServer() {
    server = std::make_unique<TestNotificationServer>(bus->address());
    ASSERT_TRUE(server->ready()) << server->failure();
  }
  void setStatus(std::int64_t status) {
    ASSERT_TRUE(shared()->set(pn::kAuthorizationStatusKey, Value(status)));
  }
  // Schedules and waits until scheduling has ended; its log lines are then in `logger`.
  ScheduleOutcome schedule(const std::string& message, const std::string& title,
                           std::optional<Category> category) {
    Awaited<ScheduleResult> done;
    scheduleNotification(message, title, category, done.handler());
    auto result = done.wait();
    EXPECT_TRUE(result.has_value()) << "scheduling never finished";
    return result ? result->outcome : ScheduleOutcome::failed;
  }
  bool ignored(std::optional<Category> category) {
    Awaited<bool> answer;
    shouldIgnoreNotification(category, answer.handler());
    return answer.wait().value_or(false);
  }
  // Polls until the check gives `expected` (a dismissal reaches this process in its own time).
  bool ignoredOnceIt(std::optional<Category> category, bool expected) {
    bool answer = !expected;
    ::testsupport::eventually([&] {
      answer = ignored(category);
      return answer == expected;
    });
    return answer;
  }
  std::vector<std::string> notifyCalls() {
    std::vector<std::string> calls;
    for (auto& c : server->calls())
      if (c.rfind("Notify ", 0) == 0) calls.push_back(c);
    return calls;
  }

  std::shared_ptr<LogCapture> logger = std::make_shared<LogCapture>();
  static inline std::unique_ptr<PrivateSessionBus> bus;
  std::unique_ptr<TestNotificationServer> server;
};

// The raw values are what the notification server and the stored list see.
TEST(NotificationCategories, RawValuesCodesAndComparisonsWithStrings) {
  const char* raw[] = {"sessionExpirationWarning", "sessionExpired",   "connectionEnded",
                       "serviceNotification",      "feedbackReminder", "endpointProtectionMessage"};
  ASSERT_EQ(std::size(raw), allNotificationCategories.size());
  for (std::size_t code = 0; code < std::size(raw); ++code) {
    const Category category = allNotificationCategories[code];
    EXPECT_EQ(static_cast<std::size_t>(category), code);
    EXPECT_EQ(rawValue(category), raw[code]);
    EXPECT_EQ(notificationCategoryFromRawValue(std::optional<std::string>(raw[code])), category);
    EXPECT_TRUE(category == std::optional<std::string>(raw[code]));
    EXPECT_FALSE(category == std::optional<std::string>());
  }
  for (const char* other : {"", "SessionExpired", "sessionExpired ", "feedbackReminder.skip"})
    EXPECT_EQ(notificationCategoryFromRawValue(other), std::nullopt) << other;
  EXPECT_EQ(notificationCategoryFromRawValue(std::optional<std::string>()), std::nullopt);

  using Action = NotificationActionIdentifier;
  EXPECT_TRUE(Action::snooze == std::optional<std::string>("feedbackReminder.snooze"));
  EXPECT_FALSE(Action::skip == std::optional<std::string>("feedbackReminder.snooze"));
  EXPECT_EQ(notificationActionIdentifierFromRawValue("feedbackReminder.skip"), Action::skip);
  EXPECT_EQ(notificationActionIdentifierFromRawValue("skip"), std::nullopt);
  EXPECT_EQ(notificationActionIdentifierFromRawValue(std::optional<std::string>()), std::nullopt);

  EXPECT_EQ(connectionRelatedCategories(),
            (std::vector<Category>{Category::sessionExpirationWarning, Category::sessionExpired,
                                   Category::connectionEnded}));
}

TEST_F(NotificationHelpersTest, NotDeterminedAsksOnceAndAGrantSchedulesAgainFromTheStart) {
  startServer();
  EXPECT_EQ(
      schedule("Your session ends in 5 minutes", "Session", Category::sessionExpirationWarning),
      ScheduleOutcome::shown);
  EXPECT_EQ(logger->takeWithCallSites(),
            (Lines{line("debug", "show user alert about: Your session ends in 5 minutes"), kAsking,
                   line("debug", "back from requestAuthorization. granted:1"),
                   line("debug", "requestAuthorization granted, try again to send notification"),
                   line("debug", "show user alert about: Your session ends in 5 minutes")}));
  EXPECT_EQ(
      server->calls(),
      (Lines{"GetCapabilities", notifyCall("Session", "Your session ends in 5 minutes",
                                           "actions=[] hints={category=s:sessionExpirationWarning,"
                                           "suppress-sound=b:1}")}));
  // Remembered: the next notice is shown without asking.
  EXPECT_EQ(schedule("Connected", "VPN", Category::serviceNotification), ScheduleOutcome::shown);
  EXPECT_EQ(server->calls().size(), 3u);
}

TEST_F(NotificationHelpersTest, WithoutPermissionNothingIsShown) {
  // A bus with no notification server: asking is refused, and the refusal is remembered.
  EXPECT_EQ(schedule("m", "t", Category::connectionEnded), ScheduleOutcome::notGranted);
  EXPECT_EQ(logger->takeWithCallSites(),
            (Lines{line("debug", "show user alert about: m"), kAsking,
                   line("debug", "back from requestAuthorization. granted:0"),
                   line("info", "cannot alert user since permission not granted")}));
  startServer();
  EXPECT_EQ(schedule("m", "t", Category::serviceNotification), ScheduleOutcome::denied);
  EXPECT_EQ(logger->takeWithCallSites(),
            (Lines{line("debug", "show user alert about: m"),
                   line("info",
                        "authorizationStatus: denied, authorizationStatus: denied, cannot alert "
                        "user")}));
  EXPECT_EQ(server->calls(), Lines{});

  // No session bus at all: asking fails, the error is logged and nothing is decided.
  server.reset();
  bus->stop();
  ASSERT_TRUE(shared()->remove(pn::kAuthorizationStatusKey));
  EXPECT_EQ(schedule("m", "t", std::nullopt), ScheduleOutcome::authorizationFailed);
  EXPECT_EQ(logger->takeWithCallSites(),
            (Lines{line("debug", "show user alert about: m"), kAsking,
                   line("debug", "back from requestAuthorization. granted:0"),
                   line("debug",
                        "requestAuthorization. error:cannot connect to the session bus: No such "
                        "file or directory")}));
  EXPECT_EQ(shared()->object(pn::kAuthorizationStatusKey), std::nullopt);
}

TEST_F(NotificationHelpersTest, OtherAuthorizationStatesShowTheNotice) {
  startServer();
  const struct {
    std::int64_t status;
    Lines extra;
  } cases[] = {
      {2, {}},
      {4, {}},
      {3, {line("info", "authorizationStatus: provisional, try to alert user anyway")}},
      {9, {line("warning", "unrecognized notification authorization status: 9")}},
  };
  for (const auto& c : cases) {
    setStatus(c.status);
    EXPECT_EQ(schedule("m", "t", std::nullopt), ScheduleOutcome::shown) << c.status;
    Lines expected{line("debug", "show user alert about: m")};
    expected.insert(expected.end(), c.extra.begin(), c.extra.end());
    EXPECT_EQ(logger->takeWithCallSites(), expected) << c.status;
  }
  // A notice without a category: no category hint, silent, the server's own urgency.
  EXPECT_EQ(server->calls(),
            Lines(4, notifyCall("t", "m", "actions=[] hints={suppress-sound=b:1}")));
}

TEST_F(NotificationHelpersTest, WarningsAndConnectionEndedAreNotRepeatedWhileOnScreen) {
  startServer();
  setStatus(2);
  for (Category category : {Category::sessionExpirationWarning, Category::connectionEnded}) {
    const std::string name(rawValue(category));
    SCOPED_TRACE(name);
    server->clearCalls();
    EXPECT_FALSE(ignored(category));
    EXPECT_EQ(schedule("first", name, category), ScheduleOutcome::shown);
    logger->take();
    EXPECT_TRUE(ignored(category));
    EXPECT_EQ(schedule("second", name, category), ScheduleOutcome::alreadyShown);
    EXPECT_EQ(logger->takeWithCallSites(),
              Lines{line("debug", "notification from category " + name +
                                      " already exists, do not notify again")});
    // Once the user has dismissed it, the next one is shown.
    server->close(server->notifications().at(0).id);
    EXPECT_FALSE(ignoredOnceIt(category, false));
    EXPECT_EQ(schedule("third", name, category), ScheduleOutcome::shown);
    const std::string hints = "actions=[] hints={category=s:" + name + ",suppress-sound=b:1}";
    EXPECT_EQ(notifyCalls(),
              (Lines{notifyCall(name, "first", hints), notifyCall(name, "third", hints)}));
  }
}

TEST_F(NotificationHelpersTest, ServiceNotificationsAndRemindersAreAlwaysShownWithSound) {
  startServer();
  setStatus(2);
  EXPECT_EQ(schedule("one", "S", Category::serviceNotification), ScheduleOutcome::shown);
  EXPECT_EQ(schedule("two", "S", Category::serviceNotification), ScheduleOutcome::shown);
  EXPECT_EQ(schedule("rate us", "F", Category::feedbackReminder), ScheduleOutcome::shown);
  const std::string sound = "sound-name=s:message-new-instant,urgency=y:1}";
  EXPECT_EQ(
      notifyCalls(),
      (Lines{notifyCall("S", "one", "actions=[] hints={category=s:serviceNotification," + sound),
             notifyCall("S", "two", "actions=[] hints={category=s:serviceNotification," + sound),
             notifyCall("F", "rate us",
                        "actions=[feedbackReminder.skip,Skip] "
                        "hints={category=s:feedbackReminder," +
                            sound)}));

  // Reminders are never held back: the answer comes at once, on the caller's thread, although
  // one is on screen. So does the answer for no category.
  for (std::optional<Category> category :
       {std::optional(Category::feedbackReminder), std::optional(Category::serviceNotification),
        std::optional<Category>()}) {
    std::optional<bool> answer;
    std::thread::id answeredOn;
    shouldIgnoreNotification(category, [&](bool ignore) {
      answer = ignore;
      answeredOn = std::this_thread::get_id();
    });
    EXPECT_EQ(answer, false);
    EXPECT_EQ(answeredOn, std::this_thread::get_id());
  }
}

TEST_F(NotificationHelpersTest, AnExpiryNoticeTakesDownTheWarnings) {
  startServer();
  setStatus(2);
  ASSERT_EQ(schedule("ends soon", "W", Category::sessionExpirationWarning), ScheduleOutcome::shown);
  ASSERT_EQ(schedule("lost", "C", Category::connectionEnded), ScheduleOutcome::shown);
  // A second warning, shown past the duplicate check (another part of the client).
  Awaited<std::optional<pn::Error>> added;
  currentNotificationCenter()->add(
      {"extra", {"sessionExpirationWarning", "W2", "ends sooner", false, std::nullopt}},
      added.handler());
  const auto answer = added.wait();
  ASSERT_TRUE(answer.has_value());
  ASSERT_EQ(*answer, std::nullopt);
  server->clearCalls();

  scheduleNotification("expired", "E", Category::sessionExpired);
  ASSERT_TRUE(server->waitForCalls(3));
  auto calls = server->calls();
  std::sort(calls.begin(), calls.end());  // the clearing and the notice do not wait for each other
  EXPECT_EQ(calls, (Lines{"CloseNotification 1", "CloseNotification 3",
                          notifyCall("E", "expired",
                                     "actions=[] hints={category=s:sessionExpired,"
                                     "suppress-sound=b:1}")}));
  EXPECT_EQ(server->onScreen(), (std::set<std::uint32_t>{2, 4}));
}

TEST_F(NotificationHelpersTest, ClearingTakesDownTheGivenCategoriesOnly) {
  startServer();
  setStatus(2);
  ASSERT_EQ(schedule("a", "t", Category::connectionEnded), ScheduleOutcome::shown);
  ASSERT_EQ(schedule("b", "t", Category::serviceNotification), ScheduleOutcome::shown);
  ASSERT_EQ(schedule("c", "t", Category::sessionExpirationWarning), ScheduleOutcome::shown);
  server->clearCalls();

  Awaited<bool> emptyDone;
  clearUserNotifications({}, [h = emptyDone.handler()] { h(true); });
  EXPECT_EQ(emptyDone.wait(), true);

  Awaited<bool> done;
  clearUserNotifications(connectionRelatedCategories(), [h = done.handler()] { h(true); });
  EXPECT_EQ(done.wait(), true);
  ASSERT_TRUE(server->waitForCalls(2));
  // In the order they were delivered; the empty clearing removed nothing.
  EXPECT_EQ(server->calls(), (Lines{"CloseNotification 1", "CloseNotification 3"}));
  EXPECT_EQ(server->onScreen(), std::set<std::uint32_t>{2});
  EXPECT_FALSE(ignored(Category::connectionEnded));
}

TEST_F(NotificationHelpersTest, TheSkipButtonReachesTheOwnersHandler) {
  startServer();
  setStatus(2);
  Awaited<pn::ActionResponse> pressed;
  currentNotificationCenter()->setActionHandler(pressed.handler());
  ASSERT_EQ(schedule("How was it?", "Feedback", Category::feedbackReminder),
            ScheduleOutcome::shown);
  server->invokeAction(server->notifications().at(0).id, "feedbackReminder.skip");
  const auto response = pressed.wait();
  currentNotificationCenter()->setActionHandler(nullptr);
  ASSERT_TRUE(response.has_value());
  EXPECT_TRUE(NotificationActionIdentifier::skip == std::optional(response->actionIdentifier));
  EXPECT_TRUE(Category::feedbackReminder == response->categoryIdentifier);
}

TEST_F(NotificationHelpersTest, AServerThatVanishesTakesItsNoticesAlong) {
  startServer();
  setStatus(2);
  ASSERT_EQ(schedule("w", "t", Category::sessionExpirationWarning), ScheduleOutcome::shown);
  EXPECT_TRUE(ignored(Category::sessionExpirationWarning));
  server.reset();
  EXPECT_FALSE(ignored(Category::sessionExpirationWarning));
  logger->take();
  EXPECT_EQ(schedule("c", "t", Category::connectionEnded), ScheduleOutcome::failed);
  EXPECT_EQ(logger->takeWithCallSites(),
            (Lines{line("debug", "show user alert about: c"),
                   line("warning",
                        "failed to show alert with error The name org.freedesktop.Notifications "
                        "was not provided by any .service files")}));
  // A new server shows the warning again: the old one's notice is not held against it.
  startServer();
  EXPECT_EQ(schedule("w", "t", Category::sessionExpirationWarning), ScheduleOutcome::shown);
  EXPECT_EQ(notifyCalls().size(), 1u);
}

}  // namespace
}  // namespace sharedutils
