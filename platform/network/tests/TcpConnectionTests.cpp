#include "platform/network/TcpConnection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "platform/base/FileDescriptor.h"
#include "platform/network/tests/NetworkSandbox.h"
#include "testsupport/Recorded.h"

namespace platform::network {
namespace {

using platform::dispatch::Queue;
using testing::ip;
using Kind = ConnectionState::Kind;

// "failed(Connection refused)", "ready"...
std::string describe(const ConnectionState& state) {
  std::string text(toString(state.kind));
  if (state.error) text += "(" + state.error->localizedDescription() + ")";
  return text;
}

// Records the states a connection reports, checking each arrives on the connection's queue.
class States : public ::testsupport::Recorded<std::string> {
 public:
  explicit States(std::shared_ptr<Queue> queue) : queue_(std::move(queue)) {}
  TcpConnection::StateHandler handler() {
    return [this](const ConnectionState& state) {
      add(describe(state) + (Queue::current() == queue_.get() ? "" : " OFF QUEUE"));
    };
  }
  // Waits (20 s at most) until `text` was reported; returns every state so far.
  std::vector<std::string> until(const std::string& text) {
    waitUntil(
        [&](const auto& seen) { return std::find(seen.begin(), seen.end(), text) != seen.end(); });
    return all();
  }

 private:
  std::shared_ptr<Queue> queue_;
};

// A listening TCP socket on a loopback address (any free port unless one is asked for).
class Listener {
 public:
  explicit Listener(int family, std::uint16_t port = 0) {
    fd_.reset(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_storage address{};
    socklen_t length;
    if (family == AF_INET) {
      auto& v4 = reinterpret_cast<sockaddr_in&>(address);
      v4.sin_family = AF_INET;
      v4.sin_port = htons(port);
      v4.sin_addr.s_addr = htonl(INADDR_ANY);
      length = sizeof v4;
    } else {
      auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
      v6.sin6_family = AF_INET6;
      v6.sin6_port = htons(port);
      v6.sin6_addr = in6addr_loopback;
      length = sizeof v6;
    }
    const int one = 1;
    setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd_.get(), 16) != 0 ||
        getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      fd_.reset();
      return;
    }
    port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in&>(address).sin_port
                                    : reinterpret_cast<sockaddr_in6&>(address).sin6_port);
  }
  bool listening() const { return fd_.valid(); }
  std::uint16_t port() const { return port_; }

 private:
  platform::base::FileDescriptor fd_;
  std::uint16_t port_ = 0;
};

class TcpConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CS_SANDBOXED_NETWORK();
    ASSERT_EQ(ip({"link set lo up"}).output, "");
  }
  std::shared_ptr<Queue> queue = Queue::makeSerial("tcp-connection-test");
};

TEST_F(TcpConnectionTest, ReportsReadyOrFailedThenCancelledOnceOnItsQueue) {
  Listener v4(AF_INET);
  Listener v6(AF_INET6);
  ASSERT_TRUE(v4.listening() && v6.listening());
  // A port nothing listens on: the listener's own, after it is gone.
  std::uint16_t closedPort;
  {
    Listener gone(AF_INET);
    closedPort = gone.port();
  }
  struct Case {
    std::string host;
    std::uint16_t port;
    std::string outcome;
  };
  const std::vector<Case> cases = {
      {"127.0.0.1", v4.port(), "ready"},
      {"::1", v6.port(), "ready"},
      // Resolves to both loopback addresses; whichever comes first, one of them answers.
      {"localhost", v4.port(), "ready"},
      {"127.0.0.1", closedPort, "failed(Connection refused)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host + " port " + std::to_string(c.port));
    States states(queue);
    auto connection = TcpConnection::make(c.host, c.port);
    EXPECT_EQ(connection->state().kind, Kind::setup);
    connection->setStateHandler(states.handler());
    connection->start(queue);
    states.until(c.outcome);
    EXPECT_EQ(describe(connection->state()), c.outcome);
    connection->cancel();
    connection->cancel();  // once is enough
    // The last reference goes; the cancelled state still comes.
    std::weak_ptr<TcpConnection> weak = connection;
    connection.reset();
    EXPECT_EQ(states.until("cancelled"),
              (std::vector<std::string>{"preparing", c.outcome, "cancelled"}));
    queue->sync([] {});
    EXPECT_TRUE(weak.expired());
  }
}

TEST_F(TcpConnectionTest, WaitsWithoutARouteAndConnectsOnceThereIsOne) {
  Listener listener(AF_INET);
  ASSERT_TRUE(listener.listening());
  States states(queue);
  auto connection = TcpConnection::make("10.3.0.1", listener.port());
  connection->setStateHandler(states.handler());
  connection->start(queue);
  states.until("waiting(Network is unreachable)");
  // The address becomes this host's own: the next try (a second later) reaches the listener.
  ASSERT_EQ(ip({"addr add 10.3.0.1/32 dev lo"}).output, "");
  // On a slow machine a try may come before the address does and wait once more.
  const auto seen = states.until("ready");
  ASSERT_GE(seen.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 2),
            (std::vector<std::string>{"preparing", "waiting(Network is unreachable)"}));
  EXPECT_EQ(std::vector<std::string>(seen.end() - 2, seen.end()),
            (std::vector<std::string>{"preparing", "ready"}));
  connection->cancel();
  states.until("cancelled");
}

TEST_F(TcpConnectionTest, SilentDestinationStaysPreparingUntilCancelled) {
  // A neighbour that never answers: its frames go into a link where nobody takes them.
  ASSERT_EQ(
      ip({"link add en0 type veth peer name px0", "addr add 10.1.0.2/24 dev en0", "link set px0 up",
          "link set en0 up", "neigh add 10.1.0.9 lladdr 02:00:00:00:00:09 dev en0 nud permanent"})
          .output,
      "");
  States states(queue);
  auto connection = TcpConnection::make("10.1.0.9", 80);
  connection->setStateHandler(states.handler());
  connection->start(queue);
  states.until("preparing");
  EXPECT_EQ(connection->state().kind, Kind::preparing);
  connection->cancel();
  EXPECT_EQ(states.until("cancelled"), (std::vector<std::string>{"preparing", "cancelled"}));
}

TEST_F(TcpConnectionTest, CancelledBeforeStartNeverReportsOrStarts) {
  States states(queue);
  auto connection = TcpConnection::make("127.0.0.1", 80);
  connection->setStateHandler(states.handler());
  connection->cancel();
  connection->start(queue);
  queue->sync([] {});
  EXPECT_EQ(connection->state().kind, Kind::cancelled);
  // A later connection on the same queue reports; this one has said nothing.
  States later(queue);
  auto other = TcpConnection::make("127.0.0.1", 1);
  other->setStateHandler(later.handler());
  other->start(queue);
  later.until("failed(Connection refused)");
  EXPECT_EQ(states.all(), std::vector<std::string>{});
}

}  // namespace
}  // namespace platform::network
