// The daemon object over real sockets, with the log records it writes captured in memory.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "daemon/CoreServiceDaemon.h"
#include "logging/DDLog.h"
#include "logging/DDLogFrontEnd.h"
#include "logging/DDLogger.h"
#include "platform/xpc/RemoteObjectProxy.h"
#include "platform/xpc/ServiceAddress.h"

namespace {

using namespace std::chrono_literals;
using platform::xpc::Connection;
using platform::xpc::Value;

class CapturingLogger : public DDLogger {
 public:
  void logMessage(const DDLogMessagePtr& message) override {
    std::lock_guard lock(m_);
    records_.push_back(message);
  }
  DDLogFormatterPtr logFormatter() override { return nullptr; }
  void setLogFormatter(DDLogFormatterPtr) override {}

  std::vector<DDLogMessagePtr> records() {
    std::lock_guard lock(m_);
    return records_;
  }
  void clear() {
    std::lock_guard lock(m_);
    records_.clear();
  }

 private:
  std::mutex m_;
  std::vector<DDLogMessagePtr> records_;
};

std::vector<std::string> texts(const std::vector<DDLogMessagePtr>& records) {
  std::vector<std::string> out;
  for (const auto& r : records)
    out.emplace_back(r->message());
  return out;
}

std::optional<Value> callSync(const std::shared_ptr<Connection>& c,
                              const platform::xpc::MethodDescription& method) {
  std::mutex m;
  std::condition_variable cv;
  std::optional<Value> result;
  bool done = false;
  auto proxy = c->remoteObjectProxyWithErrorHandler([&](const platform::xpc::Error&) {
    std::lock_guard lock(m);
    done = true;
    cv.notify_all();
  });
  proxy->invoke(method, Value::array(), [&](Value v) {
    std::lock_guard lock(m);
    result = std::move(v);
    done = true;
    cv.notify_all();
  });
  std::unique_lock lock(m);
  cv.wait_for(lock, 10s, [&] { return done; });
  return result;
}

int rawConnect(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

class CoreServiceDaemonTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    logger_ = std::make_shared<CapturingLogger>();
    DDLog::sharedInstance()->addLogger(logger_);
  }
  static void TearDownTestSuite() {
    DDLog::sharedInstance()->removeLogger(logger_);
    DDLog::sharedInstance()->flushLog();
  }
  void SetUp() override {
    char tmpl[] = "/tmp/csd-test-XXXXXX";
    ASSERT_TRUE(::mkdtemp(tmpl));
    dir_ = tmpl;
    ::setenv("RUNTIME_DIRECTORY", dir_.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    path_ = platform::xpc::socketPathForService(kCoreServiceName);
    DDLog::sharedInstance()->flushLog();
    logger_->clear();
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Waits until the captured records satisfy `pred`.
  bool waitForRecords(const std::function<bool(const std::vector<DDLogMessagePtr>&)>& pred) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      DDLog::sharedInstance()->flushLog();
      if (pred(logger_->records())) return true;
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }
  static std::vector<DDLogMessagePtr> from(const std::vector<DDLogMessagePtr>& records,
                                           std::string_view function) {
    std::vector<DDLogMessagePtr> out;
    for (const auto& r : records)
      if (r->function() == function) out.push_back(r);
    return out;
  }

  static inline std::shared_ptr<CapturingLogger> logger_;
  std::string dir_, path_;
};

constexpr std::string_view kAccept = "listener(_:shouldAcceptNewConnection:)";

TEST_F(CoreServiceDaemonTest, ServesPingAndStatusAndLogsEveryStep) {
  auto daemon = std::make_shared<CoreServiceDaemon>();
  daemon->start();
  ASSERT_TRUE(daemon->listener);
  ASSERT_EQ(::access(path_.c_str(), F_OK), 0);

  auto client = Connection::makeToService(std::string(kCoreServiceName));
  client->resume();
  auto ping = callSync(client, CoreServiceProtocol::pingMethod());
  ASSERT_TRUE(ping);
  EXPECT_EQ(*ping, Value::array());

  const double before =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  auto s1 = callSync(client, CoreServiceProtocol::getStatusMethod());
  auto s2 = callSync(client, CoreServiceProtocol::getStatusMethod());
  const double after =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  ASSERT_TRUE(s1 && s2);
  for (const auto* s : {&*s1, &*s2}) {
    ASSERT_EQ(s->size(), 1u);
    const Value& dict = (*s)[0];
    ASSERT_TRUE(dict.is_object());
    EXPECT_EQ(dict.size(), 2u);
    EXPECT_EQ(dict["daemon"], "running");
    ASSERT_TRUE(dict["timestamp"].is_number_float());
    EXPECT_GE(dict["timestamp"].get<double>(), before);
    EXPECT_LE(dict["timestamp"].get<double>(), after);
  }
  EXPECT_LE((*s1)[0]["timestamp"].get<double>(), (*s2)[0]["timestamp"].get<double>());

  client->invalidate();
  client.reset();
  ASSERT_TRUE(waitForRecords([](const auto& r) { return from(r, kAccept).size() == 2; }));

  auto records = logger_->records();
  EXPECT_EQ(texts(records), (std::vector<std::string>{
                                "Starting CoreService daemon with mach service: "
                                "com.tarvosys.mac.TarvoClient.CoreService",
                                "NSXPCListener started and resumed",
                                texts(from(records, kAccept))[0],
                                "Received ping from client",
                                "Received status request from client",
                                "Received status request from client",
                                texts(from(records, kAccept))[1],
                            }));
  const std::vector<std::pair<std::string_view, std::uint64_t>> expected = {
      {"start()", 4},
      {"start()", 4},
      {kAccept, 4},
      {"ping(completionHandler:)", 8},
      {"getStatus(completionHandler:)", 8},
      {"getStatus(completionHandler:)", 8},
      {kAccept, 4}};
  ASSERT_EQ(records.size(), expected.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i]->function(), expected[i].first) << i;
    EXPECT_EQ(records[i]->flag().rawValue, expected[i].second) << i;
    EXPECT_EQ(records[i]->fileName(), "main") << i;
    EXPECT_EQ(records[i]->context(), 0) << i;
    EXPECT_EQ(records[i]->options(), 4) << i;
  }
  // Both connection lines describe the same connection, with the peer's pid and the service.
  const std::string accepted(records[2]->message()), invalidated(records[6]->message());
  const std::string prefix = "Accepted new XPC connection: ";
  ASSERT_EQ(accepted.rfind(prefix, 0), 0u) << accepted;
  const std::string description = accepted.substr(prefix.size());
  EXPECT_EQ(invalidated, "XPC connection invalidated: " + description);
  EXPECT_NE(description.find("peer pid: " + std::to_string(::getpid())), std::string::npos);
  EXPECT_NE(description.find(std::string(kCoreServiceName)), std::string::npos);

  daemon->listener->invalidate();
  daemon->listener.reset();
}

TEST_F(CoreServiceDaemonTest, SilentConnectionLeavesTwoLinesAndBadPacketsOnlyInterrupt) {
  auto daemon = std::make_shared<CoreServiceDaemon>();
  daemon->start();
  ASSERT_TRUE(waitForRecords([](const auto& r) { return r.size() == 2; }));
  logger_->clear();

  int fd = rawConnect(path_);
  ASSERT_GE(fd, 0);
  ::close(fd);
  ASSERT_TRUE(waitForRecords([](const auto& r) { return r.size() >= 2; }));
  std::this_thread::sleep_for(50ms);
  DDLog::sharedInstance()->flushLog();
  auto records = logger_->records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]->message().rfind("Accepted new XPC connection: <Connection 0x", 0), 0u);
  EXPECT_EQ(records[1]->message().rfind("XPC connection invalidated: <Connection 0x", 0), 0u);
  for (const auto& r : records)
    EXPECT_EQ(r->flag().rawValue, 4u);
  logger_->clear();

  // Garbage gives the interruption line at warning; the connection then still answers.
  fd = rawConnect(path_);
  ASSERT_GE(fd, 0);
  const char garbage[] = "\xff\xfe not a message";
  ASSERT_GT(::send(fd, garbage, sizeof garbage, MSG_NOSIGNAL), 0);
  auto ping = platform::xpc::encode(
      platform::xpc::Request{5, CoreServiceProtocol::pingMethod().selector,
                             CoreServiceProtocol::pingMethod().typeEncoding, Value::array()});
  ASSERT_GT(::send(fd, ping.data(), ping.size(), MSG_NOSIGNAL), 0);
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  std::vector<std::uint8_t> buf(1024);
  ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
  ASSERT_GT(n, 0);
  buf.resize(static_cast<std::size_t>(n));
  auto reply = platform::xpc::decode(buf);
  ASSERT_TRUE(reply && std::holds_alternative<platform::xpc::Reply>(*reply));
  EXPECT_EQ(std::get<platform::xpc::Reply>(*reply).id, 5u);
  ::close(fd);
  ASSERT_TRUE(waitForRecords([](const auto& r) { return from(r, kAccept).size() == 3; }));
  records = from(logger_->records(), kAccept);
  EXPECT_EQ(records[1]->message().rfind("XPC connection interrupted: <Connection 0x", 0), 0u);
  EXPECT_EQ(records[1]->flag().rawValue, 2u);
  EXPECT_EQ(records[2]->message().rfind("XPC connection invalidated: ", 0), 0u);

  daemon.reset();  // teardown invalidates the listener
  EXPECT_NE(::access(path_.c_str(), F_OK), 0);
  ASSERT_TRUE(waitForRecords([](const auto& r) {
    return !r.empty() &&
           r.back()->message() == "CoreServiceDaemon deinitialized, listener invalidated";
  }));
  EXPECT_EQ(logger_->records().back()->function(), "deinit");
}

TEST_F(CoreServiceDaemonTest, PingRepliesWhenDebugIsFilteredOut) {
  auto daemon = std::make_shared<CoreServiceDaemon>();
  daemon->start();
  dynamicLogLevel.store(DDLogLevel::info);
  auto client = Connection::makeToService(std::string(kCoreServiceName));
  client->resume();
  auto ping = callSync(client, CoreServiceProtocol::pingMethod());
  auto status = callSync(client, CoreServiceProtocol::getStatusMethod());
  resetDynamicLogLevel();
  ASSERT_TRUE(ping);
  ASSERT_TRUE(status);
  EXPECT_EQ((*status)[0]["daemon"], "running");
  DDLog::sharedInstance()->flushLog();
  for (const auto& r : logger_->records())
    EXPECT_NE(r->flag().rawValue, 8u) << r->message();
  client->invalidate();
  daemon->listener->invalidate();
}

}  // namespace
