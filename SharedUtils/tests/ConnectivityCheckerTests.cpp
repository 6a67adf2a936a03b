#include "SharedUtils/ConnectivityChecker.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "SharedUtils/tests/LogCapture.h"
#include "platform/base/FileDescriptor.h"
#include "platform/dispatch/Queue.h"
#include "platform/network/tests/NetworkSandbox.h"
#include "testsupport/Eventually.h"
#include "testsupport/Recorded.h"

namespace sharedutils {
namespace {

using platform::dispatch::Queue;
using platform::network::testing::ip;
using Lines = std::vector<std::string>;
using Result = ConnectivityChecker::Result;

// A TCP listener on port 80 of every address of the sandbox.
class HttpPortListener {
 public:
  HttpPortListener() {
    fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int one = 1;
    setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_.get(), 16) != 0)
      fd_.reset();
  }
  bool listening() const { return fd_.valid(); }

 private:
  platform::base::FileDescriptor fd_;
};

// Collects the outcomes a completion is given: "success" or the error's text, with the queue
// it ran on.
class Outcomes : public ::testsupport::Recorded<std::string> {
 public:
  ConnectivityChecker::Completion completion() {
    return [this](const Result& result) {
      add((result.isSuccess() ? std::string("success") : result.error()->errorDescription()) +
          " on " + Queue::currentLabel());
    };
  }
  // Waits (20 s at most) for `count` outcomes; returns all of them.
  Lines wait(std::size_t count = 1) {
    waitFor(count);
    return all();
  }
};

class ConnectivityCheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CS_SANDBOXED_NETWORK();
    // Loopback, and a neighbour that never answers: frames for it go into a link nobody reads.
    ASSERT_EQ(ip({"link set lo up", "link add en0 type veth peer name px0",
                  "addr add 10.1.0.2/24 dev en0", "link set px0 up", "link set en0 up",
                  "neigh add 10.1.0.9 lladdr 02:00:00:00:00:09 dev en0 nud permanent"})
                  .output,
              "");
    log->take();
  }
  void TearDown() override { log->detach(); }

  // Waits (20 s at most) until `line` was logged; returns everything logged since the last take.
  Lines logUntil(const std::string& line) {
    ::testsupport::eventually([&] {
      auto lines = log->lines();
      return std::find(lines.begin(), lines.end(), line) != lines.end();
    });
    return log->take();
  }

  std::shared_ptr<testsupport::LogCapture> log = testsupport::LogCapture::attach();
  Outcomes outcomes;
};

const std::string kIgnoredCancel =
    "verbose checkConnectivity: ignoring state change cancelled \u2014 already completed";

TEST_F(ConnectivityCheckerTest, ReachableHostSucceedsOnPort80WhateverTheURLSays) {
  HttpPortListener listener;
  ASSERT_TRUE(listener.listening());
  auto checker = ConnectivityChecker::make();
  // An idle cancel only sets the flag, which the next check resets.
  checker->cancelConnectivityCheck();
  checker->backgroundQueue()->sync([] {});
  EXPECT_EQ(log->take(), Lines{"debug cancelConnectivityCheck: set isCancelled"});

  checker->checkConnectivity("https://127.0.0.1:8443/login?next=1", 20, outcomes.completion());
  EXPECT_EQ(outcomes.wait(), Lines{"success on com.tarvosys.connectivityTest"});
  EXPECT_EQ(logUntil(kIgnoredCancel),
            (Lines{"verbose checkConnectivity: url: https://127.0.0.1:8443/login?next=1, timeout: "
                   "20.000000",
                   "debug checkConnectivity: Connection is preparing",
                   "verbose checkConnectivity: connectivity established", kIgnoredCancel}));
  EXPECT_TRUE(ConnectivityChecker::checkConnectivity("http://127.0.0.1", 20));
  // Only the host matters: characters that a strict URL grammar refuses in the path, query or
  // fragment do not make the host go away.
  for (const std::string url :
       {"http://127.0.0.1/status?q=a|b", "http://127.0.0.1/a b/{x}", "//127.0.0.1/%zz#a#b"}) {
    SCOPED_TRACE(url);
    EXPECT_TRUE(ConnectivityChecker::checkConnectivity(url, 20));
  }
}

TEST_F(ConnectivityCheckerTest, RefusedAndSilentHostsFailWithTheirOwnErrors) {
  auto checker = ConnectivityChecker::make();
  checker->checkConnectivity("http://127.0.0.1/", 20, outcomes.completion());
  EXPECT_EQ(
      outcomes.wait(1),
      Lines{"Connection failed with error: Connection refused on com.tarvosys.connectivityTest"});
  EXPECT_EQ(logUntil(kIgnoredCancel),
            (Lines{"verbose checkConnectivity: url: http://127.0.0.1/, timeout: 20.000000",
                   "debug checkConnectivity: Connection is preparing",
                   "verbose checkConnectivity: connectivity failed: Connection refused",
                   kIgnoredCancel}));

  // Long enough that the connection reports preparing before the time-out, even on a loaded
  // machine.
  checker->checkConnectivity("http://10.1.0.9", 1.5, outcomes.completion());
  EXPECT_EQ(outcomes.wait(2).back(), "The connection timed out on global.default");
  EXPECT_EQ(logUntil(kIgnoredCancel),
            (Lines{"verbose checkConnectivity: url: http://10.1.0.9, timeout: 1.500000",
                   "debug checkConnectivity: Connection is preparing",
                   "warning checkConnectivity: Timeout!", kIgnoredCancel}));

  // A link-local host reaches the connection with its zone: refused by our own address on en0,
  // where without the zone it could not even be tried.
  ASSERT_EQ(ip({"addr add fe80::2/64 dev en0 nodad"}).output, "");
  checker->checkConnectivity("http://[fe80::2%25en0]:8443/", 20, outcomes.completion());
  EXPECT_EQ(outcomes.wait(3).back(),
            "Connection failed with error: Connection refused on com.tarvosys.connectivityTest");

  EXPECT_FALSE(ConnectivityChecker::checkConnectivity("http://127.0.0.1/", 20));
  EXPECT_FALSE(ConnectivityChecker::checkConnectivity("http://10.1.0.9/", 0.5));
  EXPECT_EQ(outcomes.all().size(), 3u);
}

TEST_F(ConnectivityCheckerTest, URLWithoutAHostFailsBeforeTheCallReturns) {
  auto checker = ConnectivityChecker::make();
  for (const std::string url :
       {"", "not a url", "example.com", "http:///path", "http:/127.0.0.1/a?b=//c",
        "http://[fe80::2%25]/", "mailto:someone@example.com", "file:///tmp/x"}) {
    SCOPED_TRACE(url);
    Lines seen;
    checker->checkConnectivity(url, 20, [&seen](const Result& result) {
      seen.push_back(result.error() ? result.error()->errorDescription() : "success");
    });
    EXPECT_EQ(seen, Lines{"The provided URL is invalid"});  // already, on this thread
    // The blocking form does not wait for the time-out.
    EXPECT_FALSE(ConnectivityChecker::checkConnectivity(url, 1e6));
    EXPECT_EQ(log->take(),
              (Lines{"verbose checkConnectivity: url: " + url + ", timeout: 20.000000",
                     "warning checkConnectivity: invalid URL, no host",
                     "verbose checkConnectivity: url: " + url + ", timeout: 1000000.000000",
                     "warning checkConnectivity: invalid URL, no host"}));
  }
}

TEST_F(ConnectivityCheckerTest, CancellingACheckInProgressCompletesItAsCancelled) {
  auto checker = ConnectivityChecker::make();
  const auto started = std::chrono::steady_clock::now();
  checker->checkConnectivity("http://10.1.0.9/", 2, outcomes.completion());
  logUntil("debug checkConnectivity: Connection is preparing");
  checker->cancelConnectivityCheck();
  EXPECT_EQ(outcomes.wait(), Lines{"The operation was cancelled on com.tarvosys.connectivityTest"});
  EXPECT_EQ(logUntil("debug checkConnectivity: Connection cancelled"),
            (Lines{"debug cancelConnectivityCheck: set isCancelled",
                   "debug cancelConnectivityCheck: connectionCheck existed, cancelling",
                   "debug cancelConnectivityCheck: timeoutTask existed, cancelling",
                   "debug checkConnectivity: Connection cancelled"}));
  // Well past its time-out: it never reports.
  std::this_thread::sleep_until(started + std::chrono::milliseconds(2500));
  EXPECT_EQ(log->take(), Lines{});
  EXPECT_EQ(outcomes.all().size(), 1u);
}

TEST_F(ConnectivityCheckerTest, ASecondCheckCancelsTheFirstAndRunsOnItsOwn) {
  auto checker = ConnectivityChecker::make();
  Outcomes second;
  checker->checkConnectivity("http://10.1.0.9/", 20, outcomes.completion());
  logUntil("debug checkConnectivity: Connection is preparing");
  checker->checkConnectivity("http://10.1.0.9/", 1.5, second.completion());
  EXPECT_EQ(outcomes.wait(), Lines{"The operation was cancelled on com.tarvosys.connectivityTest"});
  // The second check ends by its own time-out.
  EXPECT_EQ(second.wait(), Lines{"The connection timed out on global.default"});
  EXPECT_EQ(logUntil(kIgnoredCancel),
            (Lines{"verbose checkConnectivity: url: http://10.1.0.9/, timeout: 1.500000",
                   "debug checkConnectivity: cancelling previous in-flight check",
                   "debug checkConnectivity: Connection cancelled",
                   "debug checkConnectivity: Connection is preparing",
                   "warning checkConnectivity: Timeout!", kIgnoredCancel}));

  // The replaced check's late cancelled state leaves the newer check's references alone, so
  // cancelling still reaches the check in progress.
  Outcomes third, fourth;
  checker->checkConnectivity("http://10.1.0.9/", 20, third.completion());
  logUntil("debug checkConnectivity: Connection is preparing");
  checker->checkConnectivity("http://10.1.0.9/", 20, fourth.completion());
  EXPECT_EQ(third.wait(), Lines{"The operation was cancelled on com.tarvosys.connectivityTest"});
  logUntil("debug checkConnectivity: Connection is preparing");
  checker->cancelConnectivityCheck();
  EXPECT_EQ(fourth.wait(), Lines{"The operation was cancelled on com.tarvosys.connectivityTest"});
  EXPECT_EQ(logUntil("debug checkConnectivity: Connection cancelled"),
            (Lines{"debug cancelConnectivityCheck: set isCancelled",
                   "debug cancelConnectivityCheck: connectionCheck existed, cancelling",
                   "debug cancelConnectivityCheck: timeoutTask existed, cancelling",
                   "debug checkConnectivity: Connection cancelled"}));
  EXPECT_EQ(outcomes.all().size() + second.all().size(), 2u);
}

TEST_F(ConnectivityCheckerTest, ACheckerDestroyedMidCheckStopsReporting) {
  auto checker = ConnectivityChecker::make();
  checker->checkConnectivity("http://10.1.0.9/", 1.5, outcomes.completion());
  logUntil("debug checkConnectivity: Connection is preparing");
  checker.reset();
  EXPECT_EQ(logUntil("debug checkConnectivity: already cancelled or completed"),
            Lines{"debug checkConnectivity: already cancelled or completed"});
  EXPECT_EQ(outcomes.all(), Lines{});
}

}  // namespace
}  // namespace sharedutils
