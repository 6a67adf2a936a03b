#include "SharedUtils/DeviceUtils.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <optional>
#include <string>
#include <vector>

#include "testsupport/NetworkNamespace.h"

namespace sharedutils {
namespace {

using std::nullopt;
using Commands = std::vector<std::string>;

// en0 (10.1.0.0/24), en1 (10.2.0.0/24), eth9 (10.7.0.0/24), each a running veth end, and a tun
// device tun0 (10.8.0.0/24), all up. Each scenario then adds its own routes.
const Commands kLinks = {
    "link set lo up",
    "link add en0 type veth peer name px0",
    "addr add 10.1.0.2/24 dev en0",
    "link set px0 up",
    "link set en0 up",
    "link add en1 type veth peer name px1",
    "addr add 10.2.0.2/24 dev en1",
    "link set px1 up",
    "link set en1 up",
    "link add eth9 type veth peer name px9",
    "addr add 10.7.0.2/24 dev eth9",
    "link set px9 up",
    "link set eth9 up",
    "tuntap add dev tun0 mode tun",
    "addr add 10.8.0.2/24 dev tun0",
    "link set tun0 up",
};

struct Scenario {
  const char* what;
  Commands routes;
  std::optional<std::string> expected;
};

TEST(DeviceUtilsTests, DefaultGatewayIsTheFirstIPv4DefaultRouteThroughAnEnInterface) {
  const std::vector<Scenario> scenarios = {
      {"no default route", {}, nullopt},
      {"one default route", {"route add default via 10.1.0.1 dev en0"}, "10.1.0.1"},
      // The kernel lists routes to the same prefix by metric, so the lower metric comes first,
      // although it was added last.
      {"two en routes, en1 first",
       {"route add default via 10.1.0.1 dev en0 metric 200",
        "route add default via 10.2.0.1 dev en1 metric 100"},
       "10.2.0.1"},
      {"only through non-en interfaces",
       {"route add default via 10.8.0.1 dev tun0 metric 10",
        "route add default via 10.7.0.1 dev eth9 metric 20"},
       nullopt},
      {"tunnel listed before en",
       {"route add default via 10.8.0.1 dev tun0 metric 10",
        "route add default via 10.7.0.1 dev eth9 metric 20",
        "route add default via 10.1.0.1 dev en0 metric 30"},
       "10.1.0.1"},
      {"en route without a gateway listed first",
       {"route add default dev en1 metric 5", "route add default via 10.1.0.1 dev en0 metric 9"},
       "10.1.0.1"},
      {"default route only in another table",
       {"route add default via 10.1.0.9 dev en0 table 100"},
       nullopt},
      {"other table beside the main one",
       {"route add default via 10.1.0.9 dev en0 table 100",
        "route add default via 10.2.0.1 dev en1"},
       "10.2.0.1"},
      {"not a default route", {"route add 0.0.0.0/1 via 10.1.0.1 dev en0"}, nullopt},
      {"IPv6 default route only",
       {"addr add fd00::2/64 dev en0 nodad", "-6 route add default via fd00::1 dev en0"},
       nullopt},
      {"multipath, tunnel hop first",
       {"route add default metric 7 nexthop via 10.8.0.1 dev tun0 nexthop via 10.2.0.1 dev en1"},
       "10.2.0.1"},
  };
  for (const auto& scenario : scenarios) {
    Commands commands = kLinks;
    commands.insert(commands.end(), scenario.routes.begin(), scenario.routes.end());
    std::optional<std::string> gateway;
    SCOPED_TRACE(scenario.what);
    CS_RUN_IN_NAMESPACES_OR_SKIP(CLONE_NEWNET, commands,
                                 [&] { gateway = DeviceUtils::getDefaultGateway(); });
    EXPECT_EQ(gateway, scenario.expected);
  }
}

}  // namespace
}  // namespace sharedutils
