// The daemon object over real sockets, with the log records it writes captured in memory. What a
// client sees on the wire and the exact log lines are checked against the real process in
// DaemonProcessTests; here the records' own fields are checked.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>

#include "daemon/CoreServiceDaemon.h"
#include "logging/DDLog.h"
#include "logging/DDLogFrontEnd.h"
#include "logging/tests/LogTestSupport.h"
#include "platform/xpc/Message.h"
#include "platform/xpc/RemoteObjectProxy.h"
#include "platform/xpc/ServiceAddress.h"

namespace {

using namespace std::chrono_literals;
using platform::xpc::Connection;
using platform::xpc::Value;

std::optional<Value> callSync(const std::shared_ptr<Connection>& c,
                              const platform::xpc::MethodDescription& method) {
  std::mutex m;
  std::condition_variable cv;
  std::optional<Value> result;
  bool done = false;
  const auto finish = [&](std::optional<Value> v) {
    std::lock_guard lock(m);
    result = std::move(v);
    done = true;
    cv.notify_all();
  };
  auto proxy = c->remoteObjectProxyWithErrorHandler(
      [&](const platform::xpc::Error&) { finish(std::nullopt); });
  proxy->invoke(method, Value::array(), [&](Value v) { finish(std::move(v)); });
  std::unique_lock lock(m);
  cv.wait_for(lock, 10s, [&] { return done; });
  return result;
}

double now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

class CoreServiceDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("RUNTIME_DIRECTORY", dir_.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    DDLog::sharedInstance()->addLogger(logger_);
  }
  void TearDown() override {
    DDLog::sharedInstance()->removeLogger(logger_);
    DDLog::sharedInstance()->flushLog();
  }
  // The captured records once `count` of them are there (or whatever came within the deadline).
  std::vector<DDLogMessagePtr> recordsWhen(std::size_t count) {
    logtest::eventually([&] {
      DDLog::sharedInstance()->flushLog();
      return logger_->records().size() >= count;
    });
    return logger_->records();
  }
  // Waits until the daemon's teardown has been logged. A test whose daemon is still tearing down
  // when it ends would hand its last records to the next test's logger.
  bool teardownLogged() {
    return logtest::eventually([&] {
      DDLog::sharedInstance()->flushLog();
      for (const auto& r : logger_->records())
        if (r->message() == "CoreServiceDaemon deinitialized, listener invalidated") return true;
      return false;
    });
  }

  std::shared_ptr<logtest::RecordingLogger> logger_ = std::make_shared<logtest::RecordingLogger>();
  logtest::TempDir directory_{"csd-test"};
  std::string dir_ = directory_.path().string();
};

TEST_F(CoreServiceDaemonTest, ServesPingAndStatusAndLogsEveryStepThenItsTeardown) {
  auto daemon = std::make_shared<CoreServiceDaemon>();
  daemon->start();
  ASSERT_TRUE(daemon->listener);
  const std::string socket = platform::xpc::socketPathForService(coreservice::kServiceName);
  ASSERT_EQ(::access(socket.c_str(), F_OK), 0);

  auto client = Connection::makeToService(std::string(coreservice::kServiceName));
  client->resume();
  EXPECT_EQ(callSync(client, coreservice::pingMethod()), Value::array());
  const double before = now();
  const auto s1 = callSync(client, coreservice::getStatusMethod());
  const auto s2 = callSync(client, coreservice::getStatusMethod());
  const double after = now();
  ASSERT_TRUE(s1 && s2);
  // The status time is the daemon's clock at the call (the dictionary's shape is checked on the
  // wire by the process tests).
  for (const auto* s : {&*s1, &*s2}) {
    ASSERT_EQ(s->size(), 1u);
    ASSERT_TRUE((*s)[0]["timestamp"].is_number_float());
    EXPECT_GE((*s)[0]["timestamp"].get<double>(), before);
    EXPECT_LE((*s)[0]["timestamp"].get<double>(), after);
  }
  EXPECT_LE((*s1)[0]["timestamp"].get<double>(), (*s2)[0]["timestamp"].get<double>());
  client->invalidate();
  client.reset();

  // Each step's record: its text, the function it names and its flag (info 4, debug 8).
  const auto records = recordsWhen(7);
  ASSERT_EQ(records.size(), 7u);
  const std::string accept = "listener(_:shouldAcceptNewConnection:)";
  const std::vector<std::tuple<std::string, std::string, std::uint64_t>> expected = {
      {"Starting CoreService daemon with mach service: com.tarvosys.mac.TarvoClient.CoreService",
       "start()", 4},
      {"NSXPCListener started and resumed", "start()", 4},
      {"Accepted new XPC connection: ", accept, 4},
      {"Received ping from client", "ping(completionHandler:)", 8},
      {"Received status request from client", "getStatus(completionHandler:)", 8},
      {"Received status request from client", "getStatus(completionHandler:)", 8},
      {"XPC connection invalidated: ", accept, 4}};
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto& [text, function, flag] = expected[i];
    EXPECT_TRUE(records[i]->message().starts_with(text)) << i << ": " << records[i]->message();
    EXPECT_EQ(records[i]->function(), function) << i;
    EXPECT_EQ(records[i]->flag().rawValue, flag) << i;
    EXPECT_EQ(records[i]->fileName(), "main") << i;
  }
  // Teardown invalidates the listener, which removes its socket, and then logs. It runs when
  // the last reference goes, which need not be this one: the server side of the closed
  // connection holds the daemon as its exported object until it has finished invalidating.
  daemon.reset();
  const auto all = recordsWhen(8);
  ASSERT_EQ(all.size(), 8u);
  EXPECT_EQ(all[7]->message(), "CoreServiceDaemon deinitialized, listener invalidated");
  EXPECT_EQ(all[7]->function(), "deinit");
  EXPECT_NE(::access(socket.c_str(), F_OK), 0);
}

TEST_F(CoreServiceDaemonTest, RepliesAlsoWhenDebugRecordsAreFilteredOut) {
  auto daemon = std::make_shared<CoreServiceDaemon>();
  daemon->start();
  dynamicLogLevel.store(DDLogLevel::info);
  auto client = Connection::makeToService(std::string(coreservice::kServiceName));
  client->resume();
  const auto ping = callSync(client, coreservice::pingMethod());
  const auto status = callSync(client, coreservice::getStatusMethod());
  resetDynamicLogLevel();
  EXPECT_EQ(ping, Value::array());
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)[0]["daemon"], "running");
  for (const auto& r : recordsWhen(0))
    EXPECT_NE(r->flag().rawValue, 8u) << r->message();
  client->invalidate();
  daemon->listener->invalidate();
  daemon.reset();
  EXPECT_TRUE(teardownLogged());
}

// start() again while serving: the earlier listener is released, not invalidated, so the socket
// it serves stays; the new one finds the service served and says so.
TEST_F(CoreServiceDaemonTest, StartingTwiceKeepsServing) {
  auto daemon = std::make_shared<CoreServiceDaemon>();
  ASSERT_FALSE(daemon->start());
  std::weak_ptr<platform::xpc::Listener> first = daemon->listener;
  const auto again = daemon->start();
  ASSERT_TRUE(again);
  EXPECT_NE(again->description.find("is already served"), std::string::npos) << again->description;
  auto client = Connection::makeToService(std::string(coreservice::kServiceName));
  client->resume();
  EXPECT_EQ(callSync(client, coreservice::pingMethod()), Value::array());
  client->invalidate();
  daemon.reset();
  auto serving = first.lock();
  ASSERT_TRUE(serving) << "the first listener was dropped";
  EXPECT_EQ(::access(serving->socketPath().c_str(), F_OK), 0);
  serving->invalidate();
  EXPECT_TRUE(teardownLogged());
}

}  // namespace
