#include "platform/notifications/NotificationCenter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/diagnostics/Diagnostics.h"
#include "platform/notifications/NotificationStore.h"
#include "platform/notifications/testing/Awaited.h"
#include "platform/notifications/testing/PrivateSessionBus.h"
#include "platform/notifications/testing/TestNotificationServer.h"
#include "testsupport/Eventually.h"
#include "testsupport/TemporaryDirectory.h"

namespace platform::notifications {
namespace {

using defaults::Domain;
using defaults::Value;
using TempDir = testsupport::TemporaryDirectory;
using testing::Awaited;
using testing::PrivateSessionBus;
using testing::TestNotificationServer;
using namespace std::chrono_literals;

using OptionalError = std::optional<Error>;
using Authorization = std::pair<bool, OptionalError>;

Request request(std::string identifier, std::optional<std::string> category,
                std::string title = "Title", std::string body = "Body") {
  return Request{std::move(identifier), Content{std::move(category), std::move(title),
                                                std::move(body), false, std::nullopt}};
}

// Each operation started and its answer awaited; a missing answer fails the test.
OptionalError add(NotificationCenter& center, Request r) {
  Awaited<OptionalError> done;
  center.add(std::move(r), done.handler());
  auto answer = done.wait();
  EXPECT_TRUE(answer.has_value()) << "add never completed";
  return answer.value_or(Error{"test.NoAnswer", "add never completed"});
}

std::vector<DeliveredNotification> delivered(NotificationCenter& center) {
  Awaited<std::vector<DeliveredNotification>> done;
  center.getDeliveredNotifications(done.handler());
  auto answer = done.wait();
  EXPECT_TRUE(answer.has_value()) << "getDeliveredNotifications never completed";
  return answer.value_or(std::vector<DeliveredNotification>{});
}

Authorization authorize(NotificationCenter& center) {
  Awaited<Authorization> done;
  center.requestAuthorization(AuthorizationOptions::alert | AuthorizationOptions::sound,
                              [h = done.handler()](bool granted, OptionalError error) {
                                h({granted, std::move(error)});
                              });
  auto answer = done.wait();
  EXPECT_TRUE(answer.has_value()) << "requestAuthorization never completed";
  return answer.value_or(Authorization{false, Error{"test.NoAnswer", ""}});
}

AuthorizationStatus status(NotificationCenter& center) {
  Awaited<Settings> done;
  center.getNotificationSettings(done.handler());
  return done.wait().value_or(Settings{}).authorizationStatus;
}

// Polls the delivered list until it equals `expected` (signals from the server arrive on their
// own time); returns the last list seen.
std::vector<DeliveredNotification> deliveredOnceItIs(
    NotificationCenter& center, const std::vector<DeliveredNotification>& expected) {
  std::vector<DeliveredNotification> list;
  testsupport::eventually([&] {
    list = delivered(center);
    return list == expected;
  });
  return list;
}

class NotificationCenterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bus().running()) << bus().failure(); }

  // One bus for the whole test program (starting a daemon costs a tenth of a second on a busy
  // machine); a test that stops its bus or starts a new one takes its own.
  static PrivateSessionBus& sharedBus() {
    static TempDir directory;
    static PrivateSessionBus shared(directory.path());
    return shared;
  }
  void useOwnBus() {
    ownBus = std::make_unique<PrivateSessionBus>(dir.path());
    ASSERT_TRUE(ownBus->running()) << ownBus->failure();
  }
  PrivateSessionBus& bus() { return ownBus ? *ownBus : sharedBus(); }

  std::shared_ptr<NotificationCenter> makeCenter(std::shared_ptr<Domain> state,
                                                 std::chrono::milliseconds timeout = 20s) {
    return NotificationCenter::make({"Tester", bus().address(), std::move(state), timeout});
  }
  std::unique_ptr<TestNotificationServer> startServer(
      TestNotificationServer::Options options = {}) {
    auto server = std::make_unique<TestNotificationServer>(bus().address(), options);
    EXPECT_TRUE(server->ready()) << server->failure();
    return server;
  }

  TempDir dir;
  std::unique_ptr<PrivateSessionBus> ownBus;
  std::shared_ptr<Domain> domain = Domain::open("user", dir.path() / "user");
};

TEST_F(NotificationCenterTest, NotifyCarriesTitleBodyActionsAndHints) {
  auto server = startServer();
  auto center = makeCenter(domain);
  center->setNotificationCategories(
      {{"withButton", {{"withButton.skip", "Skip"}, {"withButton.later", "Later"}}},
       {"plain", {}}});
  struct Case {
    Content content;
    std::string call;
  };
  const Case cases[] = {
      {{"withButton", "T1", "B1", true, InterruptionLevel::active},
       R"(Notify app="Tester" replaces=0 summary="T1" body="B1" )"
       R"(actions=[withButton.skip,Skip,withButton.later,Later] )"
       R"(hints={category=s:withButton,sound-name=s:message-new-instant,urgency=y:1} timeout=-1)"},
      // No category, no sound, no level: no category hint, silent, the server's own urgency.
      {{std::nullopt, "T2", "B2", false, std::nullopt},
       R"(Notify app="Tester" replaces=0 summary="T2" body="B2" actions=[] )"
       R"(hints={suppress-sound=b:1} timeout=-1)"},
      {{"plain", "T3", "B3", false, InterruptionLevel::passive},
       R"(Notify app="Tester" replaces=0 summary="T3" body="B3" actions=[] )"
       R"(hints={category=s:plain,suppress-sound=b:1,urgency=y:0} timeout=-1)"},
      // A category nobody registered still names itself, with no buttons.
      {{"unregistered", "T4", "B4", false, InterruptionLevel::timeSensitive},
       R"(Notify app="Tester" replaces=0 summary="T4" body="B4" actions=[] )"
       R"(hints={category=s:unregistered,suppress-sound=b:1,urgency=y:2} timeout=-1)"},
      {{std::nullopt, "quote \" and ünïcode – …", "two\nlines", true, InterruptionLevel::critical},
       "Notify app=\"Tester\" replaces=0 summary=\"quote \" and ünïcode – …\" body=\"two\nlines\" "
       "actions=[] hints={sound-name=s:message-new-instant,urgency=y:2} timeout=-1"},
  };
  std::vector<std::string> expected;
  int n = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(add(*center, Request{"r" + std::to_string(++n), c.content}), std::nullopt);
    expected.push_back(c.call);
  }
  // Registering again replaces the set: the buttons are gone.
  center->setNotificationCategories({{"plain", {}}});
  EXPECT_EQ(add(*center, Request{"r6", cases[0].content}), std::nullopt);
  expected.push_back(
      R"(Notify app="Tester" replaces=0 summary="T1" body="B1" actions=[] )"
      R"(hints={category=s:withButton,sound-name=s:message-new-instant,urgency=y:1} timeout=-1)");
  EXPECT_EQ(server->calls(), expected);
}

TEST_F(NotificationCenterTest, DeliveredListIsWhatTheServerSays) {
  auto server = startServer();
  auto center = makeCenter(domain);
  ASSERT_EQ(add(*center, request("a", "x")), std::nullopt);
  ASSERT_EQ(add(*center, request("b", "y")), std::nullopt);
  ASSERT_EQ(add(*center, request("c", std::nullopt)), std::nullopt);
  EXPECT_EQ(delivered(*center),
            (std::vector<DeliveredNotification>{{"a", "x"}, {"b", "y"}, {"c", std::nullopt}}));

  // The user dismisses b (the server's second notice).
  server->close(2);
  EXPECT_EQ(deliveredOnceItIs(*center, {{"a", "x"}, {"c", std::nullopt}}),
            (std::vector<DeliveredNotification>{{"a", "x"}, {"c", std::nullopt}}));

  // Removing c (and an identifier never shown) closes exactly c's notice on the server.
  server->clearCalls();
  center->removeDeliveredNotifications({"c", "never-shown"});
  // Settled only once the server has answered the close (asked for after the owner lookup).
  Awaited<bool> settled;
  center->whenSettled([h = settled.handler()] { h(true); });
  ASSERT_EQ(settled.wait(), true);
  EXPECT_EQ(server->calls(), std::vector<std::string>{"CloseNotification 3"});
  EXPECT_EQ(delivered(*center), (std::vector<DeliveredNotification>{{"a", "x"}}));
  EXPECT_EQ(deliveredOnceItIs(*center, {{"a", "x"}}).size(), 1u);
  EXPECT_EQ(server->onScreen(), std::set<std::uint32_t>{1});

  // The server leaves: its notices went with it, and the stored list is emptied.
  server.reset();
  EXPECT_EQ(delivered(*center), std::vector<DeliveredNotification>{});
  EXPECT_EQ(domain->object(kDeliveredKey), std::nullopt);
}

TEST_F(NotificationCenterTest, AnotherCentreOfTheSameUserSharesTheListButNotTheButtons) {
  auto server = startServer();
  auto first = makeCenter(domain);
  auto second = makeCenter(Domain::open("user", dir.path() / "user"));
  Awaited<ActionResponse> firstAction, secondAction;
  first->setActionHandler(firstAction.handler());
  second->setActionHandler(secondAction.handler());
  first->setNotificationCategories({{"withButton", {{"withButton.skip", "Skip"}}}});
  ASSERT_EQ(add(*first, request("a", "withButton")), std::nullopt);
  ASSERT_EQ(add(*first, request("b", "withButton")), std::nullopt);
  EXPECT_EQ(delivered(*second),
            (std::vector<DeliveredNotification>{{"a", "withButton"}, {"b", "withButton"}}));

  server->invokeAction(1, "withButton.skip");
  const auto response = firstAction.wait();
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(response->notificationIdentifier, "a");
  EXPECT_EQ(response->categoryIdentifier, "withButton");
  EXPECT_EQ(response->actionIdentifier, "withButton.skip");
  // The second centre heard the same signals before the answer to its own question: the pressed
  // notice has closed, and the button was not its to answer.
  EXPECT_EQ(delivered(*second), (std::vector<DeliveredNotification>{{"b", "withButton"}}));
  EXPECT_EQ(secondAction.calls(), 0);

  server->clearCalls();
  second->removeDeliveredNotifications({"b"});
  ASSERT_TRUE(server->waitForCalls(1));
  EXPECT_EQ(server->calls(), std::vector<std::string>{"CloseNotification 2"});
  EXPECT_EQ(delivered(*first), std::vector<DeliveredNotification>{});
  EXPECT_EQ(firstAction.calls(), 1);
}

TEST_F(NotificationCenterTest, AuthorizationIsDecidedByTheServerOnceAndRemembered) {
  // A server answers: granted, remembered for every centre sharing the settings.
  auto server = startServer();
  auto center = makeCenter(domain);
  EXPECT_EQ(status(*center), AuthorizationStatus::notDetermined);
  EXPECT_EQ(authorize(*center), (Authorization{true, std::nullopt}));
  EXPECT_EQ(status(*center), AuthorizationStatus::authorized);
  EXPECT_EQ(domain->object(kAuthorizationStatusKey), Value(std::int64_t{2}));
  auto later = makeCenter(Domain::open("user", dir.path() / "user"));
  EXPECT_EQ(authorize(*later), (Authorization{true, std::nullopt}));
  EXPECT_EQ(server->calls(), std::vector<std::string>{"GetCapabilities"});

  // A bus without a server: denied, and remembered even once a server turns up.
  server.reset();
  auto lonely = Domain::open("lonely", dir.path() / "lonely");
  auto unserved = makeCenter(lonely);
  EXPECT_EQ(authorize(*unserved), (Authorization{false, std::nullopt}));
  EXPECT_EQ(status(*unserved), AuthorizationStatus::denied);
  auto newServer = startServer();
  EXPECT_EQ(authorize(*unserved), (Authorization{false, std::nullopt}));
  EXPECT_EQ(newServer->calls(), std::vector<std::string>{});

  // No bus at all: an error, and nothing is decided.
  auto nowhere = Domain::open("nowhere", dir.path() / "nowhere");
  auto unreachable = NotificationCenter::make(
      {"Tester", PrivateSessionBus::addressFor(dir.path() / "missing"), nowhere, 20s});
  const auto [granted, error] = authorize(*unreachable);
  EXPECT_FALSE(granted);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->name, kNoBusError);
  EXPECT_EQ(error->description, "cannot connect to the session bus: No such file or directory");
  EXPECT_EQ(status(*unreachable), AuthorizationStatus::notDetermined);

  // A status this version does not know is handed on as it is.
  ASSERT_TRUE(nowhere->set(kAuthorizationStatusKey, Value(std::int64_t{7})));
  EXPECT_EQ(static_cast<std::int64_t>(status(*unreachable)), 7);
}

TEST_F(NotificationCenterTest, WithoutBusOrServerEveryOperationEndsWithItsError) {
  useOwnBus();
  // No server on the bus: the bus says so at once.
  auto center = makeCenter(domain);
  const auto noServer = add(*center, request("a", "x"));
  ASSERT_TRUE(noServer.has_value());
  EXPECT_EQ(noServer->name, "org.freedesktop.DBus.Error.ServiceUnknown");
  EXPECT_EQ(delivered(*center), std::vector<DeliveredNotification>{});

  // A server that never answers: the call ends with an error once its time-out passes.
  {
    auto hanging = startServer({.answerNotify = false});
    auto impatient = makeCenter(domain, 300ms);
    const auto noAnswer = add(*impatient, request("b", "x"));
    ASSERT_TRUE(noAnswer.has_value());
    EXPECT_EQ(noAnswer->name, "org.freedesktop.DBus.Error.NoReply");
    ASSERT_TRUE(hanging->waitForCalls(1));
    EXPECT_EQ(delivered(*impatient), std::vector<DeliveredNotification>{});
  }

  // The bus goes away after a notice was shown: the notice cannot be listed, taking it down
  // reports one line, and adding fails with the bus's error.
  auto server = startServer();
  ASSERT_EQ(add(*center, request("c", "x")), std::nullopt);
  server.reset();
  ownBus->stop();
  diagnostics::ScopedCapture capture;
  EXPECT_EQ(delivered(*center), std::vector<DeliveredNotification>{});
  center->removeDeliveredNotifications({"c"});
  const auto noBus = add(*center, request("d", "x"));
  ASSERT_TRUE(noBus.has_value());
  EXPECT_EQ(noBus->name, kNoBusError);
  EXPECT_EQ(capture.texts(),
            std::vector<std::string>{"NotificationCenter: cannot take down notifications "
                                     "without a session bus (1 asked for)"});
}

TEST_F(NotificationCenterTest, ANewBusIsUsedAndNoticesOfTheOldOneAreForgotten) {
  useOwnBus();
  auto server = startServer();
  auto center = makeCenter(domain);
  ASSERT_EQ(add(*center, request("old", "x")), std::nullopt);
  const auto oldName = server->uniqueName();
  server.reset();
  ownBus->stop();

  // The same socket, a new daemon: the new server gets the unique name the old one had, yet the
  // old notice is not taken for one of its own.
  useOwnBus();
  server = startServer();
  EXPECT_EQ(server->uniqueName(), oldName);
  EXPECT_EQ(delivered(*center), std::vector<DeliveredNotification>{});
  ASSERT_EQ(add(*center, request("new", "y")), std::nullopt);
  EXPECT_EQ(delivered(*center), (std::vector<DeliveredNotification>{{"new", "y"}}));
}

TEST(NotificationStore, StoredListsRoundTripAndBadTextsReadAsNothing) {
  const std::vector<DeliveredRecord> records = {
      {"id-1", "cat", "bus", ":1.4", 4294967295u, ":1.7"},
      {"id \"2\"\n", std::nullopt, "bus", ":1.4", 1, ":1.7"}};
  EXPECT_EQ(NotificationStore::decode(NotificationStore::encode(records)), records);
  EXPECT_EQ(NotificationStore::decode("[]"), std::vector<DeliveredRecord>{});
  const char* bad[] = {
      "",
      "{}",
      "[1]",
      R"([{"id":"a","category":null,"bus":"b","server":"s","serverId":1}])",  // no client
      R"([{"id":"a","category":3,"bus":"b","server":"s","serverId":1,"client":"c"}])",
      R"([{"id":"a","category":null,"bus":"b","server":"s","serverId":-1,"client":"c"}])",
      R"([{"id":"a","category":null,"bus":"b","server":"s","serverId":4294967296,"client":"c"}])",
      R"([{"id":"a","category":null,"bus":"b","server":"s","serverId":1.5,"client":"c"}])",
      "[{\"id\":\"a\"",
  };
  for (const char* text : bad)
    EXPECT_EQ(NotificationStore::decode(text), std::nullopt) << text;

  // A stored value nobody can read counts as an empty list and is replaced by the next change.
  TempDir dir;
  auto domain = Domain::open("user", dir.path());
  ASSERT_TRUE(domain->set(kDeliveredKey, Value("not json")));
  NotificationStore store(domain);
  EXPECT_EQ(store.delivered(), std::vector<DeliveredRecord>{});
  store.modifyDelivered([&](std::vector<DeliveredRecord>& list) { list.push_back(records[0]); });
  EXPECT_EQ(store.delivered(), std::vector<DeliveredRecord>{records[0]});
}

TEST(NotificationStore, AnswersStickInMemoryWhenTheDomainRefusesThem) {
  // Were the answer lost, a caller that asks again after every "not determined" would never stop.
  TempDir dir;
  std::ofstream(dir.path() / "defaults.db", std::ios::binary) << std::string(8192, 'x');
  diagnostics::ScopedCapture capture;
  auto broken = Domain::open("broken", dir.path());
  ASSERT_FALSE(broken->isAvailable());
  NotificationStore store(broken);
  store.setAuthorizationStatus(AuthorizationStatus::authorized);
  EXPECT_EQ(store.authorizationStatus(), AuthorizationStatus::authorized);
  store.modifyDelivered([](std::vector<DeliveredRecord>& list) {
    list.push_back({"a", {}, "b", "s", 1, "c"});
  });
  EXPECT_EQ(store.delivered().size(), 1u);
  EXPECT_TRUE(
      capture.contains("NotificationStore: cannot store the authorization answer in the "
                       "settings domain broken; keeping it in this process"));
}

}  // namespace
}  // namespace platform::notifications
