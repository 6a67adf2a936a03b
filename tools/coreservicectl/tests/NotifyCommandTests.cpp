// coreservicectl notify against a session bus and a notification server of the test's own: each
// run of the tool is a process of its own, so what one run showed another must find through the
// user's settings.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/notifications/testing/PrivateSessionBus.h"
#include "platform/notifications/testing/TestNotificationServer.h"
#include "testsupport/TemporaryDirectory.h"
#include "tools/coreservicectl/tests/ToolProcess.h"

namespace coreservicectl {
namespace {

using TempDir = ::testsupport::TemporaryDirectory;
using platform::notifications::testing::PrivateSessionBus;
using platform::notifications::testing::TestNotificationServer;
using testsupport::ToolRun;
using Lines = std::vector<std::string>;

std::string notifyCall(const std::string& title, const std::string& body,
                       const std::string& actionsAndHints) {
  return "Notify app=\"TarvoClient\" replaces=0 summary=\"" + title + "\" body=\"" + body + "\" " +
         actionsAndHints + " timeout=-1";
}

class NotifyCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.running()) << bus.failure();
    // The tool finds the bus through its environment.
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    useSettings("config");
  }
  // The other tests of this program run the tool too: they must not find this test's bus.
  void TearDown() override { unsetenv("DBUS_SESSION_BUS_ADDRESS"); }

  // The user's settings live in `name` under the test's directory: a fresh name is a fresh user.
  void useSettings(const std::string& name) {
    settings = home.path() / name;
    std::filesystem::create_directories(settings);
  }
  // Runs the tool with its settings in the test's directory. Root keeps them in /var/lib, so as
  // root the tool runs in a mount namespace of its own with the directory mounted there.
  ToolRun tool(const std::vector<std::string>& arguments) {
    std::vector<std::string> words;
    if (geteuid() == 0) {
      words = {"/usr/bin/unshare",
               "--mount",
               "--propagation",
               "private",
               "--",
               "/bin/sh",
               "-c",
               "mount --bind \"$0\" /var/lib && exec \"$@\"",
               settings.string()};
    } else {
      words = {"/usr/bin/env", "XDG_CONFIG_HOME=" + settings.string()};
    }
    for (const auto& word : testsupport::toolCommand(arguments))
      words.push_back(word);
    return ::testsupport::runProcess(words);
  }
  void startServer() {
    server = std::make_unique<TestNotificationServer>(bus.address());
    ASSERT_TRUE(server->ready()) << server->failure();
  }

  TempDir home;
  PrivateSessionBus bus{home.path()};
  std::unique_ptr<TestNotificationServer> server;
  std::filesystem::path settings;
};

TEST_F(NotifyCommandTest, ShowsOnceAsksFirstAndClearsWhatAnotherRunShowed) {
  startServer();
  // The first notice asks for permission; the server's answer grants it.
  auto run = tool({"notify", "--category", "serviceNotification", "Connected", "Secured."});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.err, "");
  auto shown = tool({"notify", "-c", "connectionEnded", "Disconnected", "Bye."});
  EXPECT_EQ(shown.exitStatus, 0) << shown.err;
  // Still on screen, shown by another process: not shown again.
  auto again = tool({"notify", "-c", "connectionEnded", "Disconnected", "Bye again."});
  EXPECT_EQ(again.exitStatus, 1);
  EXPECT_EQ(again.err,
            "coreservicectl: a notification of category connectionEnded is still on screen: not "
            "shown again\n");
  auto plain = tool({"notify", "Title", "Body"});
  EXPECT_EQ(plain.exitStatus, 0) << plain.err;
  EXPECT_EQ(server->calls(),
            (Lines{"GetCapabilities",
                   notifyCall("Connected", "Secured.",
                              "actions=[] hints={category=s:serviceNotification,"
                              "sound-name=s:message-new-instant,urgency=y:1}"),
                   notifyCall("Disconnected", "Bye.",
                              "actions=[] hints={category=s:connectionEnded,suppress-sound=b:1}"),
                   notifyCall("Title", "Body", "actions=[] hints={suppress-sound=b:1}")}));

  // Clearing two categories takes down exactly their notices, told to the server before exit.
  server->clearCalls();
  auto cleared = tool({"notify", "--clear", "connectionEnded", "serviceNotification"});
  EXPECT_EQ(cleared.exitStatus, 0) << cleared.err;
  EXPECT_EQ(server->calls(), (Lines{"CloseNotification 1", "CloseNotification 2"}));
  EXPECT_EQ(server->onScreen(), std::set<std::uint32_t>{3});
  auto nothingLeft = tool({"notify", "--clear", "connectionEnded"});
  EXPECT_EQ(nothingLeft.exitStatus, 0) << nothingLeft.err;
  EXPECT_EQ(server->calls().size(), 2u);
}

TEST_F(NotifyCommandTest, FailuresAndUsageErrors) {
  struct Case {
    Lines arguments;
    int status;
    std::string errStart;
  };
  const Case usage[] = {
      {{"notify", "-c", "nope", "t", "b"}, 2, "coreservicectl notify: unknown category 'nope'"},
      {{"notify", "--clear"}, 2, "coreservicectl notify: "},
      {{"notify", "--clear", "sessionExpired", "nope"},
       2,
       "coreservicectl notify: unknown category 'nope'"},
      {{"notify", "--clear", "-c", "sessionExpired", "sessionExpired"},
       2,
       "coreservicectl notify: --clear takes category names, not --category"},
      {{"notify", "only-a-title"}, 2, "coreservicectl notify: expected <title> <body>"},
  };
  for (const auto& c : usage) {
    const auto run = tool(c.arguments);
    EXPECT_EQ(run.exitStatus, c.status) << c.arguments.back();
    EXPECT_EQ(run.err.rfind(c.errStart, 0), 0u) << run.err;
  }

  // No server on the bus: asking for permission is refused, and the refusal sticks.
  auto refused = tool({"notify", "t", "b"});
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_EQ(refused.err,
            "coreservicectl: no notification server answered on the session bus: notifications "
            "are now turned off for this user\n");
  startServer();
  auto denied = tool({"notify", "t", "b"});
  EXPECT_EQ(denied.exitStatus, 1);
  EXPECT_EQ(denied.err, "coreservicectl: notifications are turned off for this user\n");
  EXPECT_EQ(server->calls(), Lines{});

  // No session bus at all (a fresh user, so permission is asked for): the reason is the bus's.
  server.reset();
  bus.stop();
  useSettings("other-user");
  auto noBus = tool({"notify", "t", "b"});
  EXPECT_EQ(noBus.exitStatus, 1);
  EXPECT_EQ(noBus.err,
            "coreservicectl: cannot ask for permission to show notifications: cannot connect to "
            "the session bus: No such file or directory\n");
}

}  // namespace
}  // namespace coreservicectl
