// Listener, service-side and client connections talking over real sockets in a temporary
// runtime directory.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/diagnostics/Diagnostics.h"
#include "platform/xpc/Connection.h"
#include "platform/xpc/Listener.h"
#include "platform/xpc/Message.h"
#include "platform/xpc/RemoteObjectProxy.h"
#include "platform/xpc/ServiceAddress.h"
#include "platform/xpc/SynchronousOutcome.h"
#include "platform/xpc/UserConnectionLimit.h"
#include "testsupport/Eventually.h"

namespace platform::xpc {
namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 20s;

using testsupport::eventually;

// One method: echoes its argument, except "hold" (keeps the reply block, so the call stays
// waiting), "twice" (calls the reply block twice: a misuse the connection must contain) and
// "slow" (works 1 ms before it replies).
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
    if (value == "slow") std::this_thread::sleep_for(1ms);
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
    if (!dispatch::Queue::isCurrentlyOn(*c->queue())) acceptedOnItsQueue = false;
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
  std::atomic<bool> acceptedOnItsQueue{true};
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

// The "Pid:" line the kernel shows for a pidfd; empty for anything else.
std::string pidfdOwner(int pidfd) {
  std::ifstream info("/proc/self/fdinfo/" + std::to_string(pidfd));
  for (std::string line; std::getline(info, line);)
    if (line.rfind("Pid:", 0) == 0) return line;
  return {};
}

// Sends `bytes` on a blocking socket (waiting while it is full); false when it was refused.
bool rawSend(int fd, const std::vector<std::uint8_t>& bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::vector<std::uint8_t> echoRequest(std::uint64_t id, Value argument) {
  return encode(
      Request{id, kEcho.selector, kEcho.typeEncoding, Value::array({std::move(argument)})});
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
  // One buffer per thread: a fresh 64 KiB per packet costs more than the round trip under TSan.
  thread_local std::vector<std::uint8_t> buffer(kMaxMessageSize);
  ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
  if (n <= 0) return std::nullopt;
  return std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + n);
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
    // A resumed listener serves until invalidated, whoever holds it.
    for (auto& l : listeners_)
      l->invalidate();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::shared_ptr<Listener> startListener(const std::shared_ptr<EchoService>& service) {
    auto listener = Listener::makeForService(kService);
    listener->setDelegate(service);
    auto error = listener->resume();
    EXPECT_FALSE(error) << error->description;
    listeners_.push_back(listener);
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
  std::vector<std::shared_ptr<Listener>> listeners_;
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
  EXPECT_TRUE(service->acceptedOnItsQueue);
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
  // Counted where the handlers keep them: the event thread may still run a handler after the
  // test has returned.
  auto interrupted = std::make_shared<std::atomic<int>>(0);
  auto invalidated = std::make_shared<std::atomic<int>>(0);
  c->setInterruptionHandler([interrupted] { ++*interrupted; });
  c->setInvalidationHandler([invalidated] { ++*invalidated; });
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
  ASSERT_TRUE(eventually([&] { return *interrupted == 1; }));

  auto again = call(c, 1);
  ASSERT_TRUE(again.error);
  EXPECT_EQ(again.error->code, ErrorCode::ServiceUnavailable);
  auto service2 = std::make_shared<EchoService>();  // the listener holds its delegate weakly
  auto listener2 = startListener(service2);
  again = call(c, "back");
  ASSERT_TRUE(again.reply);
  EXPECT_EQ(*again.reply, Value::array({"back"}));
  EXPECT_EQ(*interrupted, 1);
  EXPECT_EQ(*invalidated, 0);
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

// A client may send as fast as it likes and read at its own pace: nothing is dropped or
// reordered, and the connection is not ended for it.
TEST_F(XpcConnection, PipelinedCallsWithASlowReaderGetEveryReplyInOrder) {
  auto service = std::make_shared<EchoService>();
  auto listener = startListener(service);
  const int fd = rawConnect(path_);
  ASSERT_GE(fd, 0);
  constexpr std::uint64_t kCalls = 2000;
  std::vector<std::uint64_t> ids;
  std::thread reader([&] {
    while (ids.size() < kCalls) {
      if (ids.size() % 100 == 0) std::this_thread::sleep_for(10ms);  // a slow reader
      auto packet = rawReceive(fd, kDeadline);
      auto message = packet ? decode(*packet) : std::nullopt;
      if (!message || !std::holds_alternative<Reply>(*message)) break;
      ids.push_back(std::get<Reply>(*message).id);
    }
  });
  std::uint64_t sent = 0;
  while (sent < kCalls && rawSend(fd, echoRequest(sent + 1, "x")))
    ++sent;
  reader.join();
  EXPECT_EQ(sent, kCalls);
  std::vector<std::uint64_t> expected(kCalls);
  std::iota(expected.begin(), expected.end(), 1);
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(service->invalidated, 0);
  ::close(fd);
}

// Calls made faster than the service answers wait in the client, not in an error.
TEST_F(XpcConnection, AsynchronousProxyCallsAllGetTheirReply) {
  auto service = std::make_shared<EchoService>();
  auto listener = startListener(service);
  auto c = connect();
  auto errors = std::make_shared<std::atomic<int>>(0);
  auto proxy = c->remoteObjectProxyWithErrorHandler([errors](const Error&) { ++*errors; });
  // As fast as the caller can make them; then calls to a method that works 1 ms each.
  // Named copies, not structured bindings: clang 14 cannot capture those in a lambda.
  for (const auto& round : {std::pair{2000, Value(1)}, std::pair{200, Value("slow")}}) {
    const int calls = round.first;
    const Value argument = round.second;
    auto replies = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < calls; ++i) {
      proxy->invoke(kEcho, Value::array({argument}), [replies, argument](Value v) {
        if (v == Value::array({argument})) ++*replies;
      });
    }
    EXPECT_TRUE(eventually([&] { return *replies + *errors >= calls; }));
    EXPECT_EQ(*replies, calls);
    EXPECT_EQ(*errors, 0);
  }
  EXPECT_EQ(service->interrupted, 0);
  c->invalidate();
}

// Synchronous calls read their reply on the caller's thread while the socket is theirs alone,
// and share it with asynchronous calls made meanwhile: every call gets its own reply, a late
// reply after a time-out is dropped quietly, and a service going away ends the call at once.
TEST_F(XpcConnection, SynchronousCallsShareTheSocketWithAsynchronousOnes) {
  auto service = std::make_shared<EchoService>();
  auto listener = startListener(service);
  auto c = Connection::makeToService(kService);
  // Kept by the handler: the event thread may still run it after the test has returned.
  auto interrupted = std::make_shared<std::atomic<int>>(0);
  c->setInterruptionHandler([interrupted] { ++*interrupted; });
  c->resume();
  const auto sync = [&](Value argument, std::chrono::milliseconds timeout = kDeadline) {
    return c->sendSynchronousRequest(kEcho, Value::array({std::move(argument)}), timeout);
  };
  auto first = sync("first");
  ASSERT_TRUE(first.reply);
  EXPECT_EQ(*first.reply, Value::array({"first"}));

  // 300 synchronous calls on one thread while another makes 300 asynchronous ones.
  constexpr int kCalls = 300;
  auto asyncReplies = std::make_shared<std::atomic<int>>(0);
  auto proxy = c->remoteObjectProxyWithErrorHandler([](const Error&) {});
  std::thread other([&] {
    for (int i = 0; i < kCalls; ++i) {
      proxy->invoke(kEcho, Value::array({i}), [asyncReplies, i](Value v) {
        if (v == Value::array({i})) ++*asyncReplies;
      });
    }
  });
  int syncReplies = 0;
  for (int i = 0; i < kCalls; ++i) {
    auto outcome = sync(std::to_string(i));
    syncReplies += outcome.reply == Value::array({std::to_string(i)});
  }
  other.join();
  EXPECT_EQ(syncReplies, kCalls);
  EXPECT_TRUE(eventually([&] { return *asyncReplies == kCalls; })) << *asyncReplies;

  // Timed out; the reply that comes later is no stray packet, and the next call is answered.
  auto late = sync("hold", 50ms);
  EXPECT_TRUE(late.timedOut);
  EXPECT_FALSE(late.reply || late.error);
  ASSERT_TRUE(eventually([&] { return service->holds == 1; }));
  {
    std::lock_guard lock(service->m);
    service->held.front()(Value::array({"late"}));
    service->held.clear();
  }
  auto next = sync("next");
  EXPECT_EQ(next.reply, Value::array({"next"}));
  EXPECT_EQ(*interrupted, 0);
  EXPECT_EQ(service->interrupted, 0);

  // Between synchronous calls the socket stays theirs: an asynchronous call alone is still
  // answered, and the service going away while no call waits is still noticed at once.
  auto alone = std::make_shared<std::atomic<bool>>(false);
  ASSERT_EQ(sync("held").reply, Value::array({"held"}));
  proxy->invoke(kEcho, Value::array({"alone"}), [alone](Value v) {
    if (v == Value::array({"alone"})) *alone = true;
  });
  EXPECT_TRUE(eventually([&] { return alone->load(); }));
  ASSERT_EQ(sync("again").reply, Value::array({"again"}));
  for (auto& conn : service->liveConnections())
    conn->invalidate();
  EXPECT_TRUE(eventually([&] { return *interrupted == 1; })) << *interrupted;

  // The service goes away while a call waits: an error at once, not a time-out.
  std::thread ender([&] {
    if (eventually([&] { return service->holds == 2; })) {
      listener->invalidate();
      for (auto& conn : service->liveConnections())
        conn->invalidate();
    }
  });
  auto ended = sync("hold");
  ender.join();
  ASSERT_TRUE(ended.error) << ended.timedOut;
  EXPECT_EQ(ended.error->code, ErrorCode::ConnectionInterrupted);
  c->invalidate();
  auto after = sync("after");
  ASSERT_TRUE(after.error);
  EXPECT_EQ(after.error->code, ErrorCode::ConnectionInvalid);
  std::lock_guard lock(service->m);
  service->held.clear();
}

// The requirement runs on the new connection's queue, sees the peer as the kernel does, and a
// connection it refuses never reaches the delegate; one that throws refuses too.
TEST_F(XpcConnection, ConnectionRequirementDecidesBeforeTheDelegate) {
  auto service = std::make_shared<EchoService>();
  auto listener = Listener::makeForService(kService);
  listener->setDelegate(service);
  struct Seen {
    bool onItsQueue = false;
    pid_t pid = 0;
    uid_t uid = 0;
    std::string owner;  // of the pidfd
  };
  std::mutex m;
  std::vector<Seen> seen;
  std::atomic<int> verdicts{0};  // 0: refuse, 1: throw, 3: wait for othersServed, else accept
  std::promise<void> othersServed;
  std::shared_future<void> served = othersServed.get_future().share();
  listener->setConnectionRequirement([&, served](Connection& c) {
    const auto& peer = c.peerCredentials();
    Seen s{dispatch::Queue::isCurrentlyOn(*c.queue()), peer.pid, peer.uid, ""};
    s.owner = pidfdOwner(peer.pidfd.get());
    {
      std::lock_guard lock(m);
      seen.push_back(s);
    }
    const int verdict = verdicts++;
    if (verdict == 1) throw std::runtime_error("boom");
    // Longer than a call's deadline: held on the event thread, it would fail the call below.
    if (verdict == 3) return served.wait_for(2 * kDeadline) == std::future_status::ready;
    return verdict >= 2;
  });
  ASSERT_FALSE(listener->resume());
  listeners_.push_back(listener);

  diagnostics::ScopedCapture capture;
  for (int i = 0; i < 2; ++i) {
    const int fd = rawConnect(path_);
    ASSERT_GE(fd, 0);
    char byte;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0) << "a refused connection is closed";
    ::close(fd);
  }
  EXPECT_EQ(service->accepted, 0);
  EXPECT_EQ(capture.texts(), std::vector<std::string>{
                                 "Listener: the connection requirement threw an exception: boom"});
  auto c = connect();
  EXPECT_TRUE(call(c, 1).reply);
  EXPECT_EQ(service->accepted, 1);
  // Past acceptance the connection keeps no pidfd, but can still ask the socket for one.
  auto accepted = service->liveConnections();
  ASSERT_EQ(accepted.size(), 1u);
  EXPECT_TRUE(eventually([&] { return !accepted[0]->peerCredentials().pidfd; }));
  const auto fresh = accepted[0]->peerPidfd();
  EXPECT_EQ(pidfdOwner(fresh.get()), "Pid:\t" + std::to_string(::getpid()));

  // A requirement may take its time (reading a client's executable): meanwhile other clients
  // are accepted and served.
  const int slow = rawConnect(path_);
  ASSERT_GE(slow, 0);
  ASSERT_TRUE(eventually([&] { return verdicts.load() == 4; }));
  auto other = connect();
  EXPECT_TRUE(call(other, 2).reply) << "a pending requirement held up another client";
  othersServed.set_value();
  EXPECT_TRUE(eventually([&] { return service->accepted == 3; }));
  other->invalidate();
  ::close(slow);
  std::lock_guard lock(m);
  ASSERT_EQ(seen.size(), 5u);
  for (const auto& s : seen) {
    EXPECT_TRUE(s.onItsQueue);
    EXPECT_EQ(s.pid, ::getpid());
    EXPECT_EQ(s.uid, ::geteuid());
    EXPECT_EQ(s.owner, "Pid:\t" + std::to_string(::getpid()));
  }
  c->invalidate();
}

// Released without being invalidated, a listener goes on serving.
TEST_F(XpcConnection, AReleasedListenerKeepsServing) {
  auto service = std::make_shared<EchoService>();
  std::weak_ptr<Listener> weak;
  {
    auto listener = Listener::makeForService(kService);
    listener->setDelegate(service);
    ASSERT_FALSE(listener->resume());
    weak = listener;
  }
  auto c = connect();
  EXPECT_TRUE(call(c, "still").reply);
  c->invalidate();
  if (auto listener = weak.lock()) {
    listener->invalidate();
  } else {
    FAIL() << "nothing kept the resumed listener";
  }
  // Invalidated, nothing keeps it any more.
  EXPECT_TRUE(eventually([&] { return weak.expired(); }));
}

// Anyone may bind a socket where they may write: a client believes only a service run by root or
// by its own user.
TEST_F(XpcConnection, ClientTrustsOnlyRootOrItsOwnUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to serve a socket as another user";
  constexpr uid_t kStranger = 12345;
  ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);  // where the stranger may bind
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    // Only system calls between fork and _exit: this process has other threads.
    if (::setresgid(kStranger, kStranger, kStranger) != 0 ||
        ::setresuid(kStranger, kStranger, kStranger) != 0) {
      ::_exit(1);
    }
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
      ::_exit(2);
    }
    const char byte = 1;
    if (::write(ready[1], &byte, 1) != 1) ::_exit(3);
    for (;;)
      ::accept(fd, nullptr, nullptr);  // holds every connection until killed
  }
  ::close(ready[1]);
  char byte = 0;
  const bool serving = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  std::optional<CallResult> result;
  if (serving) result = call(connect(), 1);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  ASSERT_TRUE(serving);
  ASSERT_TRUE(result && result->error);
  EXPECT_EQ(result->outcomes, 1);
  EXPECT_EQ(result->error->code, ErrorCode::ServiceNotTrusted);
  EXPECT_EQ(result->error->description,
            std::string("Service ") + kService + " at " + path_ +
                " is served by uid 12345, neither root nor this user (uid 0); not trusted");
}

TEST(XpcUserConnectionLimit, BoundsEachUserButNotRootOrTheServicesOwn) {
  diagnostics::ScopedCapture capture;
  UserConnectionLimit limit(2, "svc");
  const uid_t user = ::geteuid() == 12345 ? 12346 : 12345;
  const uid_t other = user + 10;
  EXPECT_TRUE(limit.admit(user));
  EXPECT_TRUE(limit.admit(user));
  EXPECT_FALSE(limit.admit(user));
  EXPECT_FALSE(limit.admit(user));
  EXPECT_TRUE(limit.admit(other)) << "every user has a share of its own";
  for (int i = 0; i < 10; ++i) {
    EXPECT_TRUE(limit.admit(0));
    EXPECT_TRUE(limit.admit(::geteuid()));
  }
  limit.release(0);  // not counted, so nothing to give back
  EXPECT_FALSE(limit.admit(user));
  limit.release(user);
  EXPECT_TRUE(limit.admit(user));
  EXPECT_FALSE(limit.admit(user));
  const std::string u = std::to_string(user);
  EXPECT_EQ(capture.texts(),
            (std::vector<std::string>{
                "Listener: uid " + u + " holds 2 connections to svc, its share; refusing more",
                "Listener: refused 3 connections of uid " + u + " to svc while it held its share",
                "Listener: uid " + u + " holds 2 connections to svc, its share; refusing more"}));
  EXPECT_EQ(UserConnectionLimit::fromDescriptorLimit(1024, 64), 240u);
  EXPECT_EQ(UserConnectionLimit::fromDescriptorLimit(60, 64), 1u);
}

}  // namespace
}  // namespace platform::xpc
