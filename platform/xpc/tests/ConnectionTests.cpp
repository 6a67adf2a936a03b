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
#include "testsupport/Eventually.h"

namespace platform::xpc {
namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 20s;

using testsupport::eventually;

// One method: echoes its argument, except "hold" (keeps the reply block, so the call stays
// waiting) and "twice" (calls the reply block twice: a misuse the connection must contain).
class EchoProtocol {
 public:
  virtual ~EchoProtocol() = default;
  virtual void echo(const Value& value, ReplyBlock reply) = 0;
};

const MethodDescription kEcho{"echo:withReply:", "v32@0:8@16@?24", "v32@0:8@16@?<v@?@>24"};

class EchoService : public EchoProtocol,
                    public ListenerDelegate,
                    public std::enable_shared_from_this<EchoService> {
 public:
  void echo(const Value& value, ReplyBlock reply) override {
    if (value == "hold") {
      std::lock_guard lock(m);
      held.push_back(std::move(reply));
      ++holds;
      return;
    }
    if (value == "twice") reply(Value::array());
    reply(Value::array({value}));
  }

  bool shouldAcceptNewConnection(Listener&, const std::shared_ptr<Connection>& c) override {
    auto iface = Interface::forProtocol<EchoProtocol>("EchoProtocol");
    iface.method<EchoProtocol>(kEcho.selector, kEcho.typeEncoding, kEcho.extendedTypeEncoding,
                               [](EchoProtocol& o, const Value& args, ReplyBlock reply) {
                                 o.echo(args.empty() ? Value() : args[0], std::move(reply));
                               });
    c->setExportedInterface(iface);
    c->setExportedObject<EchoProtocol>(shared_from_this());
    c->setInvalidationHandler([this] { ++invalidated; });
    c->setInterruptionHandler([this] { ++interrupted; });
    c->resume();
    std::lock_guard lock(m);
    connections.push_back(c);
    descriptions.push_back(c->description());
    ++accepted;
    return true;
  }

  std::vector<std::shared_ptr<Connection>> liveConnections() {
    std::lock_guard lock(m);
    std::vector<std::shared_ptr<Connection>> out;
    for (auto& w : connections)
      if (auto c = w.lock()) out.push_back(c);
    return out;
  }

  std::atomic<int> accepted{0}, invalidated{0}, interrupted{0}, holds{0};
  std::mutex m;
  std::vector<std::weak_ptr<Connection>> connections;
  std::vector<std::string> descriptions;
  std::vector<ReplyBlock> held;
};

struct CallResult {
  std::optional<Value> reply;
  std::optional<Error> error;
  int outcomes = 0;
};

// Calls echo with `argument` and waits for its outcome; exactly one of reply and error must come.
CallResult call(const std::shared_ptr<Connection>& c, Value argument) {
  struct State {
    std::mutex m;
    std::condition_variable cv;
    CallResult result;
  };
  auto state = std::make_shared<State>();
  auto record = [state](auto apply) {
    std::lock_guard lock(state->m);
    apply(state->result);
    ++state->result.outcomes;
    state->cv.notify_all();
  };
  auto proxy = c->remoteObjectProxyWithErrorHandler(
      [record](const Error& e) { record([&](CallResult& r) { r.error = e; }); });
  proxy->invoke(kEcho, Value::array({std::move(argument)}),
                [record](Value v) { record([&](CallResult& r) { r.reply = std::move(v); }); });
  std::unique_lock lock(state->m);
  state->cv.wait_for(lock, kDeadline, [&] { return state->result.outcomes > 0; });
  // Give a wrong second outcome a moment to show itself.
  state->cv.wait_for(lock, 1ms, [&] { return state->result.outcomes > 1; });
  return state->result;
}

int rawConnect(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  ::close(fd);
  return -1;
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
  static std::shared_ptr<Connection> connect() {
    auto c = Connection::makeToService(kService);
    c->resume();
    return c;
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
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kClients; ++t) {
      threads.emplace_back([&, t] {
        auto c = connect();
        for (int i = 0; i < kCalls; ++i) {
          Value v = {{"client", t}, {"call", i}, {"x", 0.5 + i}};
          auto r = call(c, v);
          if (r.outcomes == 1 && r.reply && *r.reply == Value::array({v})) ++good;
        }
        c->invalidate();
      });
    }
  }
  EXPECT_EQ(good, kClients * kCalls);
  EXPECT_EQ(service->accepted, kClients);
  std::lock_guard lock(service->m);
  const std::string tail =
      std::string(" service: ") + kService + ", peer pid: " + std::to_string(::getpid()) + ">";
  for (const auto& d : service->descriptions) {
    EXPECT_EQ(d.rfind("<Connection 0x", 0), 0u) << d;
    EXPECT_TRUE(d.ends_with(tail)) << d;
  }
}

TEST_F(XpcConnection, PeerClosingInvalidatesOnceAndReleasesTheConnection) {
  auto service = std::make_shared<EchoService>();
  auto listener = startListener(service);
  // Accepted and closed without any call.
  int fd = rawConnect(path_);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(eventually([&] { return service->accepted == 1; }));
  ::close(fd);
  ASSERT_TRUE(eventually([&] { return service->invalidated == 1; }));
  // A client that made a call and then went away.
  EXPECT_TRUE(call(connect(), 1).reply);
  ASSERT_TRUE(eventually([&] { return service->invalidated == 2; }));
  std::this_thread::sleep_for(50ms);  // room for a wrong second invalidation
  EXPECT_EQ(service->invalidated, 2);
  EXPECT_EQ(service->interrupted, 0);
  // Nothing keeps an invalidated service-side connection alive.
  EXPECT_TRUE(eventually([&] { return service->liveConnections().empty(); }));
}

TEST_F(XpcConnection, BadPacketsInterruptAndTheConnectionKeepsServing) {
  auto service = std::make_shared<EchoService>();
  auto listener = startListener(service);
  int fd = rawConnect(path_);
  ASSERT_GE(fd, 0);
  auto sendBytes = [&](const std::vector<std::uint8_t>& b) {
    ASSERT_EQ(::send(fd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size()));
  };
  auto request = [](std::uint64_t id, std::string selector, std::string types, Value arg) {
    return encode(Request{id, std::move(selector), std::move(types), Value::array({arg})});
  };
  sendBytes({0xde, 0xad, 0xbe, 0xef});
  sendBytes(std::vector<std::uint8_t>(kMaxMessageSize + 100, 0xa0));
  sendBytes(request(1, "noSuchSelector:", kEcho.typeEncoding, 1));
  sendBytes(request(2, kEcho.selector, "v24@0:8@?16", 1));  // wrong type encoding
  sendBytes(encode(Reply{3, Value::array()}));              // a reply nobody asked for
  ASSERT_EQ(::send(fd, "", 0, MSG_NOSIGNAL), 0);
  ASSERT_TRUE(eventually([&] { return service->interrupted == 6; }));

  sendBytes(request(99, kEcho.selector, kEcho.typeEncoding, "still here"));
  auto packet = rawReceive(fd, kDeadline);
  ASSERT_TRUE(packet);
  auto reply = decode(*packet);
  ASSERT_TRUE(reply && std::holds_alternative<Reply>(*reply));
  EXPECT_EQ(std::get<Reply>(*reply).id, 99u);
  EXPECT_EQ(std::get<Reply>(*reply).arguments, Value::array({"still here"}));
  EXPECT_EQ(service->invalidated, 0);
  EXPECT_EQ(service->interrupted, 6);

  // A reply block called twice sends one reply and reports the misuse.
  diagnostics::ScopedCapture capture;
  sendBytes(request(100, kEcho.selector, kEcho.typeEncoding, "twice"));
  auto first = rawReceive(fd, kDeadline);
  ASSERT_TRUE(first);
  EXPECT_EQ(std::get<Reply>(*decode(*first)).id, 100u);
  EXPECT_FALSE(rawReceive(fd, 200ms));
  EXPECT_TRUE(capture.contains("a reply block was called more than once"));
  ::close(fd);
}

TEST_F(XpcConnection, ClientErrorsAreValues) {
  auto c = connect();
  auto r = call(c, 1);
  ASSERT_EQ(r.outcomes, 1);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, ErrorCode::ServiceUnavailable);
  EXPECT_NE(r.error->description.find(path_), std::string::npos) << r.error->description;

  auto service = std::make_shared<EchoService>();
  auto listener = startListener(service);
  r = call(c, std::string(kMaxMessageSize, 'x'));
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, ErrorCode::MessageTooLarge);
  // The same connection works once the service is there.
  r = call(c, 2);
  ASSERT_TRUE(r.reply);
  EXPECT_EQ(*r.reply, Value::array({2}));

  c->invalidate();
  r = call(c, 3);
  ASSERT_EQ(r.outcomes, 1);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, ErrorCode::ConnectionInvalid);
}

TEST_F(XpcConnection, ServiceGoingAwayInterruptsTheClientWhichReconnects) {
  auto service = std::make_shared<EchoService>();
  auto listener = startListener(service);
  auto c = Connection::makeToService(kService);
  std::atomic<int> interrupted{0}, invalidated{0};
  c->setInterruptionHandler([&] { ++interrupted; });
  c->setInvalidationHandler([&] { ++invalidated; });
  c->resume();

  std::optional<CallResult> held;
  std::thread waiter([&] { held = call(c, "hold"); });
  ASSERT_TRUE(eventually([&] { return service->holds == 1; }));
  listener->invalidate();
  EXPECT_NE(::access(path_.c_str(), F_OK), 0) << "the listener removes the socket it made";
  for (auto& conn : service->liveConnections())
    conn->invalidate();
  waiter.join();
  ASSERT_TRUE(held && held->error);
  EXPECT_EQ(held->outcomes, 1);
  EXPECT_EQ(held->error->code, ErrorCode::ConnectionInterrupted);
  ASSERT_TRUE(eventually([&] { return interrupted == 1; }));

  auto again = call(c, 1);
  ASSERT_TRUE(again.error);
  EXPECT_EQ(again.error->code, ErrorCode::ServiceUnavailable);
  auto service2 = std::make_shared<EchoService>();  // the listener holds its delegate weakly
  auto listener2 = startListener(service2);
  again = call(c, "back");
  ASSERT_TRUE(again.reply);
  EXPECT_EQ(*again.reply, Value::array({"back"}));
  EXPECT_EQ(interrupted, 1);
  EXPECT_EQ(invalidated, 0);
  std::lock_guard lock(service->m);
  service->held.clear();
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
  const auto refused = [&](const std::string& why) {
    diagnostics::ScopedCapture capture;
    auto other = Listener::makeForService(kService);
    other->setDelegate(service);
    auto error = other->resume();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ErrorCode::ServiceUnavailable);
    EXPECT_EQ(error->description, why);
    EXPECT_EQ(capture.texts(), std::vector<std::string>{"Listener: " + why});
    other->invalidate();
  };
  refused(std::string("service ") + kService + " is already served at " + path_);
  // The first listener still owns the path and serves.
  auto c = connect();
  EXPECT_TRUE(call(c, 1).reply);
  listener->invalidate();
  c->invalidate();

  std::ofstream(path_) << "not a socket";
  refused(path_ + " exists and is not a socket; leaving it alone");
  std::ifstream in(path_);
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "not a socket");
}

}  // namespace
}  // namespace platform::xpc
