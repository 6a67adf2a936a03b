// Listener, service-side and client connections talking over real sockets in a temporary
// runtime directory.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/diagnostics/Diagnostics.h"
#include "platform/xpc/Connection.h"
#include "platform/xpc/Listener.h"
#include "platform/xpc/RemoteObjectProxy.h"
#include "platform/xpc/ServiceAddress.h"

namespace platform::xpc {
namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 10s;

class EchoProtocol {
 public:
  virtual ~EchoProtocol() = default;
  virtual void echo(const Value& value, std::function<void(Value)> reply) = 0;
  // Keeps the reply block without calling it, so that a call stays waiting.
  virtual void hold(std::function<void()> reply) = 0;
  // Calls its reply block twice: a programming error the connection must contain.
  virtual void twice(std::function<void()> reply) = 0;
};

const MethodDescription kEcho{"echo:withReply:", "v32@0:8@16@?24", "v32@0:8@16@?<v@?@>24"};
const MethodDescription kHold{"holdWithReply:", "v24@0:8@?16", "v24@0:8@?<v@?>16"};
const MethodDescription kTwice{"twiceWithReply:", "v24@0:8@?16", "v24@0:8@?<v@?>16"};

Interface echoInterface() {
  auto iface = Interface::forProtocol<EchoProtocol>("EchoProtocol");
  iface.method<EchoProtocol>(kEcho.selector, kEcho.typeEncoding, kEcho.extendedTypeEncoding,
                             [](EchoProtocol& o, const Value& args, ReplyBlock reply) {
                               o.echo(args.empty() ? Value() : args[0],
                                      [reply](Value v) { reply(Value::array({std::move(v)})); });
                             });
  iface.method<EchoProtocol>(kHold.selector, kHold.typeEncoding, kHold.extendedTypeEncoding,
                             [](EchoProtocol& o, const Value&, ReplyBlock reply) {
                               o.hold([reply] { reply(Value::array()); });
                             });
  iface.method<EchoProtocol>(kTwice.selector, kTwice.typeEncoding, kTwice.extendedTypeEncoding,
                             [](EchoProtocol& o, const Value&, ReplyBlock reply) {
                               o.twice([reply] { reply(Value::array()); });
                             });
  return iface;
}

// Waits for conditions set from other threads.
class Events {
 public:
  void bump(std::atomic<int>& counter) {
    std::lock_guard lock(m_);
    ++counter;
    cv_.notify_all();
  }
  bool waitFor(const std::function<bool()>& pred) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, kDeadline, pred);
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
};

class EchoService : public EchoProtocol,
                    public ListenerDelegate,
                    public std::enable_shared_from_this<EchoService> {
 public:
  void echo(const Value& value, std::function<void(Value)> reply) override { reply(value); }
  void hold(std::function<void()> reply) override {
    std::lock_guard lock(m);
    held.push_back(std::move(reply));
    events.bump(holds);
  }
  void twice(std::function<void()> reply) override {
    reply();
    reply();
  }

  bool shouldAcceptNewConnection(Listener&, const std::shared_ptr<Connection>& c) override {
    c->setExportedInterface(echoInterface());
    c->setExportedObject<EchoProtocol>(shared_from_this());
    std::weak_ptr<Connection> weak = c;
    c->setInvalidationHandler([this, weak] { events.bump(invalidated); });
    c->setInterruptionHandler([this] { events.bump(interrupted); });
    c->resume();
    {
      std::lock_guard lock(m);
      connections.push_back(weak);
      descriptions.push_back(c->description());
    }
    events.bump(accepted);
    return true;
  }

  std::vector<std::shared_ptr<Connection>> liveConnections() {
    std::lock_guard lock(m);
    std::vector<std::shared_ptr<Connection>> out;
    for (auto& w : connections)
      if (auto c = w.lock()) out.push_back(c);
    return out;
  }

  Events events;
  std::atomic<int> accepted{0}, invalidated{0}, interrupted{0}, holds{0};
  std::mutex m;
  std::vector<std::weak_ptr<Connection>> connections;
  std::vector<std::string> descriptions;
  std::vector<std::function<void()>> held;
};

struct CallResult {
  std::optional<Value> reply;
  std::optional<Error> error;
  int outcomes = 0;
};

// Calls `method` and waits for its outcome; exactly one of reply and error must come.
CallResult call(const std::shared_ptr<Connection>& c, const MethodDescription& method,
                Value args = Value::array()) {
  auto state = std::make_shared<std::pair<std::mutex, CallResult>>();
  auto cv = std::make_shared<std::condition_variable>();
  auto proxy = c->remoteObjectProxyWithErrorHandler([state, cv](const Error& e) {
    std::lock_guard lock(state->first);
    state->second.error = e;
    ++state->second.outcomes;
    cv->notify_all();
  });
  proxy->invoke(method, std::move(args), [state, cv](Value v) {
    std::lock_guard lock(state->first);
    state->second.reply = std::move(v);
    ++state->second.outcomes;
    cv->notify_all();
  });
  std::unique_lock lock(state->first);
  cv->wait_for(lock, kDeadline, [&] { return state->second.outcomes > 0; });
  lock.unlock();
  // Give a wrong second outcome a moment to show itself.
  std::this_thread::sleep_for(1ms);
  lock.lock();
  return state->second;
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

// Reads one packet, waiting at most `wait`; nullopt when none came.
std::optional<std::vector<std::uint8_t>> rawReceive(int fd, std::chrono::milliseconds wait) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
  std::vector<std::uint8_t> buf(kMaxMessageSize);
  ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
  if (n <= 0) return std::nullopt;
  buf.resize(static_cast<std::size_t>(n));
  return buf;
}

class XpcConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/xpc-test-XXXXXX";
    ASSERT_TRUE(::mkdtemp(tmpl));
    dir_ = tmpl;
    // Both variables, so that the socket lands here whatever uid runs the test.
    ::setenv("RUNTIME_DIRECTORY", dir_.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    path_ = socketPathForService(kService);
    ASSERT_EQ(path_, dir_ + "/" + kService);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::shared_ptr<Listener> startListener(const std::shared_ptr<EchoService>& service) {
    auto listener = Listener::makeForService(kService);
    listener->setDelegate(service);
    auto error = listener->resume();
    EXPECT_FALSE(error) << error->description;
    return listener;
  }

  static constexpr const char* kService = "com.example.EchoService";
  std::string dir_;
  std::string path_;
};

TEST_F(XpcConnection, ServesSeveralClientsAtOnceAndDescribesThem) {
  auto service = std::make_shared<EchoService>();
  auto listener = startListener(service);
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0666u) << "any local process may call the service";

  constexpr int kClients = 8, kCalls = 40;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kClients; ++t) {
    threads.emplace_back([&, t] {
      auto c = Connection::makeToService(kService);
      c->resume();
      for (int i = 0; i < kCalls; ++i) {
        Value v = {{"client", t}, {"call", i}, {"x", 0.5 + i}};
        auto r = call(c, kEcho, Value::array({v}));
        if (r.outcomes == 1 && r.reply && *r.reply == Value::array({v})) ++good;
      }
      c->invalidate();
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(good, kClients * kCalls);
  EXPECT_EQ(service->accepted, kClients);

  std::lock_guard lock(service->m);
  const std::string pid = "peer pid: " + std::to_string(::getpid()) + ">";
  for (const auto& d : service->descriptions) {
    EXPECT_NE(d.find("<Connection 0x"), std::string::npos) << d;
    EXPECT_NE(d.find(std::string("service: ") + kService), std::string::npos) << d;
    EXPECT_NE(d.find(pid), std::string::npos) << d;
  }
}

TEST_F(XpcConnection, PeerClosingInvalidatesOnceAndReleasesTheConnection) {
  auto service = std::make_shared<EchoService>();
  auto listener = startListener(service);

  // Accepted and closed without any call.
  int fd = rawConnect(path_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(service->events.waitFor([&] { return service->accepted == 1; }));
  ::close(fd);
  ASSERT_TRUE(service->events.waitFor([&] { return service->invalidated == 1; }));

  // A client that made a call and then went away.
  {
    auto c = Connection::makeToService(kService);
    c->resume();
    EXPECT_TRUE(call(c, kEcho, Value::array({1})).reply);
  }
  ASSERT_TRUE(service->events.waitFor([&] { return service->invalidated == 2; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(service->invalidated, 2);
  EXPECT_EQ(service->interrupted, 0);
  // Nothing keeps an invalidated service-side connection alive.
  EXPECT_TRUE(service->events.waitFor([&] { return service->liveConnections().empty(); }));
}

TEST_F(XpcConnection, BadPacketsInterruptAndTheConnectionKeepsServing) {
  auto service = std::make_shared<EchoService>();
  auto listener = startListener(service);
  int fd = rawConnect(path_);
  ASSERT_GE(fd, 0);

  auto sendBytes = [&](const std::vector<std::uint8_t>& b) {
    ASSERT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
  };
  sendBytes({0xde, 0xad, 0xbe, 0xef});
  sendBytes(std::vector<std::uint8_t>(kMaxMessageSize + 100, 0xa0));
  sendBytes(encode(Request{1, "noSuchSelector:", kHold.typeEncoding, Value::array()}));
  sendBytes(encode(Request{2, kEcho.selector, "v24@0:8@?16", Value::array({1})}));
  sendBytes(encode(Reply{3, Value::array()}));
  ASSERT_EQ(::send(fd, "", 0, MSG_NOSIGNAL), 0);
  ASSERT_TRUE(service->events.waitFor([&] { return service->interrupted == 6; }));

  sendBytes(encode(Request{99, kEcho.selector, kEcho.typeEncoding, Value::array({"still here"})}));
  auto packet = rawReceive(fd, 10s);
  ASSERT_TRUE(packet);
  auto reply = decode(*packet);
  ASSERT_TRUE(reply && std::holds_alternative<Reply>(*reply));
  EXPECT_EQ(std::get<Reply>(*reply).id, 99u);
  EXPECT_EQ(std::get<Reply>(*reply).arguments, Value::array({"still here"}));
  EXPECT_EQ(service->invalidated, 0);
  EXPECT_EQ(service->interrupted, 6);

  // A reply block called twice sends one reply and reports the misuse.
  {
    diagnostics::ScopedCapture capture;
    sendBytes(encode(Request{100, kTwice.selector, kTwice.typeEncoding, Value::array()}));
    auto first = rawReceive(fd, 10s);
    ASSERT_TRUE(first);
    EXPECT_EQ(std::get<Reply>(*decode(*first)).id, 100u);
    EXPECT_FALSE(rawReceive(fd, 200ms));
    EXPECT_TRUE(capture.contains("a reply block was called more than once"));
  }
  ::close(fd);
}

TEST_F(XpcConnection, ClientErrorsAreValues) {
  auto c = Connection::makeToService(kService);
  c->resume();
  auto r = call(c, kEcho, Value::array({1}));
  ASSERT_EQ(r.outcomes, 1);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, ErrorCode::ServiceUnavailable);
  EXPECT_NE(r.error->description.find(path_), std::string::npos) << r.error->description;

  auto service = std::make_shared<EchoService>();
  auto listener = startListener(service);
  r = call(c, kEcho, Value::array({std::string(kMaxMessageSize, 'x')}));
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, ErrorCode::MessageTooLarge);
  // The same connection works once the service is there.
  r = call(c, kEcho, Value::array({2}));
  ASSERT_TRUE(r.reply);
  EXPECT_EQ(*r.reply, Value::array({2}));

  c->invalidate();
  r = call(c, kEcho, Value::array({3}));
  ASSERT_EQ(r.outcomes, 1);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, ErrorCode::ConnectionInvalid);
}

TEST_F(XpcConnection, ServiceGoingAwayInterruptsTheClientWhichReconnects) {
  auto service = std::make_shared<EchoService>();
  auto listener = startListener(service);
  auto c = Connection::makeToService(kService);
  Events events;
  std::atomic<int> interrupted{0}, invalidated{0};
  c->setInterruptionHandler([&] { events.bump(interrupted); });
  c->setInvalidationHandler([&] { events.bump(invalidated); });
  c->resume();

  std::optional<CallResult> held;
  std::thread waiter([&] { held = call(c, kHold); });
  ASSERT_TRUE(service->events.waitFor([&] { return service->holds == 1; }));

  listener->invalidate();
  EXPECT_NE(::access(path_.c_str(), F_OK), 0) << "the listener removes the socket it made";
  for (auto& conn : service->liveConnections())
    conn->invalidate();
  waiter.join();
  ASSERT_TRUE(held && held->error);
  EXPECT_EQ(held->outcomes, 1);
  EXPECT_EQ(held->error->code, ErrorCode::ConnectionInterrupted);
  ASSERT_TRUE(events.waitFor([&] { return interrupted == 1; }));

  auto again = call(c, kEcho, Value::array({1}));
  ASSERT_TRUE(again.error);
  EXPECT_EQ(again.error->code, ErrorCode::ServiceUnavailable);

  auto service2 = std::make_shared<EchoService>();
  auto listener2 = startListener(service2);
  again = call(c, kEcho, Value::array({"back"}));
  ASSERT_TRUE(again.reply);
  EXPECT_EQ(*again.reply, Value::array({"back"}));
  EXPECT_EQ(interrupted, 1);
  EXPECT_EQ(invalidated, 0);
  {
    std::lock_guard lock(service->m);
    service->held.clear();
  }
}

TEST_F(XpcConnection, StaleSocketsAreReplacedLiveOnesAndOtherFilesAreNot) {
  // A socket file whose owner is gone.
  int stale = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(stale);

  auto service = std::make_shared<EchoService>();
  auto listener = startListener(service);
  EXPECT_EQ(listener->socketPath(), path_);
  EXPECT_FALSE(listener->isSocketActivated());

  {
    diagnostics::ScopedCapture capture;
    auto second = Listener::makeForService(kService);
    second->setDelegate(service);
    auto error = second->resume();
    ASSERT_TRUE(error);
    EXPECT_NE(error->description.find("already served"), std::string::npos);
    EXPECT_TRUE(capture.contains("already served"));
    second->invalidate();
  }
  // The first listener still owns the path and serves.
  auto c = Connection::makeToService(kService);
  c->resume();
  EXPECT_TRUE(call(c, kEcho, Value::array({1})).reply);
  listener->invalidate();
  c->invalidate();

  std::ofstream(path_) << "not a socket";
  diagnostics::ScopedCapture capture;
  auto third = Listener::makeForService(kService);
  auto error = third->resume();
  ASSERT_TRUE(error);
  EXPECT_NE(error->description.find("is not a socket"), std::string::npos);
  std::ifstream in(path_);
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "not a socket");
}

}  // namespace
}  // namespace platform::xpc
