// coreservicectl net and probe, run inside the network sandbox (the tool inherits it).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/base/FileDescriptor.h"
#include "platform/network/tests/NetworkSandbox.h"
#include "tools/coreservicectl/tests/ToolProcess.h"

namespace coreservicectl {
namespace {

using platform::network::testing::ip;
using platform::network::testing::setResolvConf;
using testsupport::runTool;

class NetToolTest : public ::testing::Test {
 protected:
  void SetUp() override { CS_SANDBOXED_NETWORK(); }
};

TEST_F(NetToolTest, NetShowsThePrimaryKindAndWhatThePathUses) {
  auto run = runTool({"net"});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "primary: none\ninfo: none\n");
  run = runTool({"net", "--json"});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out,
            "{\"primary\":\"none\",\"interfaceName\":null,\"ipAddress\":null,"
            "\"ipAddressUInt32\":null,\"dnsServer\":null}\n");

  ASSERT_EQ(ip({"link add en0 type veth peer name px0", "addr add 10.1.2.3/24 dev en0",
                "link set px0 up", "link set en0 up", "route add default via 10.1.2.1 dev en0"})
                .output,
            "");
  setResolvConf("nameserver 10.1.0.53\n");
  run = runTool({"net"});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "primary: ethernet\nInterface: en0, IP: 10.1.2.3, DNS: 10.1.0.53\n");
  EXPECT_EQ(run.err, "");
  run = runTool({"net", "--json"});
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(nlohmann::json::parse(run.out, nullptr, false),
            (nlohmann::json{{"primary", "ethernet"},
                            {"interfaceName", "en0"},
                            {"ipAddress", "10.1.2.3"},
                            {"ipAddressUInt32", inet_addr("10.1.2.3")},
                            {"dnsServer", "10.1.0.53"}}));
  setResolvConf("");
  EXPECT_EQ(runTool({"net"}).out,
            "primary: ethernet\nInterface: en0, IP: 10.1.2.3, DNS: NoDNSServer\n");
}

TEST_F(NetToolTest, NetWatchPrintsEachAssignmentUntilInterrupted) {
  for (const int signo : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signo);
    platform::network::testing::resetNetwork();
    ASSERT_EQ(ip({"link add en0 type veth peer name px0", "addr add 10.1.0.2/24 dev en0",
                  "link set px0 up", "link set en0 up"})
                  .output,
              "");
    testsupport::BackgroundTool watch({"net", "--watch"});
    // The current value, then the platform's first report: offline, so none is assigned again.
    ASSERT_EQ(watch.outUntil("none\nnone\n"), "none\nnone\n");
    ASSERT_EQ(ip({"route add default via 10.1.0.1 dev en0"}).output, "");
    ASSERT_EQ(watch.outUntil("ethernet\n"), "none\nnone\nethernet\n");
    ASSERT_EQ(ip({"link set px0 down"}).output, "");
    const std::string expected = "none\nnone\nethernet\nnone\n";
    ASSERT_EQ(watch.outUntil(expected), expected);
    watch.signal(signo);
    const int status = watch.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_EQ(watch.outUntil("end of output"), expected);
  }
}

TEST_F(NetToolTest, ProbePrintsReachableOrWhatWentWrong) {
  ASSERT_EQ(ip({"link set lo up", "link add en0 type veth peer name px0",
                "addr add 10.1.0.2/24 dev en0", "link set px0 up", "link set en0 up",
                "neigh add 10.1.0.9 lladdr 02:00:00:00:00:09 dev en0 nud permanent"})
                .output,
            "");
  platform::base::FileDescriptor listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(80);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener.get(), 4), 0);

  struct Case {
    std::vector<std::string> arguments;
    int exitStatus;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"probe", "http://127.0.0.1/"}, 0, "reachable\n"},
      {{"probe", "https://127.0.0.1:8443/", "-t", "20"}, 0, "reachable\n"},
      {{"probe", "-t", "0.3", "http://10.1.0.9/"}, 1, "The connection timed out\n"},
      {{"probe", "http://[::1]/"}, 1, "Connection failed with error: Connection refused\n"},
      {{"probe", "example.com"}, 1, "The provided URL is invalid\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.back());
    const auto run = runTool(c.arguments);
    EXPECT_EQ(run.exitStatus, c.exitStatus);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, "");
  }
}

TEST(NetToolUsageTest, UsageErrorsExitWithStatusTwo) {
  struct Case {
    std::vector<std::string> arguments;
    std::string firstErrorLine;
  };
  const std::vector<Case> cases = {
      {{"net", "--json", "--watch"}, "coreservicectl net: --json and --watch exclude each other"},
      {{"net", "eth0"}, "coreservicectl net: unexpected argument 'eth0'"},
      {{"probe"}, "coreservicectl probe: missing argument: <URL>"},
      {{"probe", "http://a/", "http://b/"},
       "coreservicectl probe: unexpected argument 'http://b/'"},
      {{"probe", "http://a/", "-t"}, "coreservicectl probe: option '-t' needs a value"},
      {{"probe", "http://a/", "-t", "0"}, "coreservicectl probe: invalid timeout '0'"},
      {{"probe", "http://a/", "--timeout=5s"}, "coreservicectl probe: invalid timeout '5s'"},
      {{"probe", "-t", "nan", "http://a/"}, "coreservicectl probe: invalid timeout 'nan'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.firstErrorLine);
    const auto run = runTool(c.arguments);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.substr(0, run.err.find('\n')), c.firstErrorLine);
  }
}

}  // namespace
}  // namespace coreservicectl
