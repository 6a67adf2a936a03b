#include "SharedUtils/IPAddressUtils.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sched.h>

#include <optional>
#include <string>
#include <tuple>

#include "testsupport/NetworkNamespace.h"

namespace sharedutils {
namespace {

using std::nullopt;

TEST(IPAddressUtilsTests, NumericHostFormatsEachFamilyWithItsOwnLengthOrGivesNothing) {
  const auto host = [](const auto& address) {
    return IPAddressUtils::numericHostFrom(reinterpret_cast<const sockaddr*>(&address));
  };
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  ASSERT_EQ(inet_pton(AF_INET, "192.0.2.17", &v4.sin_addr), 1);
  EXPECT_EQ(host(v4), "192.0.2.17");
  // IPv6 needs the full sockaddr_in6 length; formatting with the IPv4 length would fail.
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  ASSERT_EQ(inet_pton(AF_INET6, "2001:db8:0:0::1", &v6.sin6_addr), 1);
  EXPECT_EQ(host(v6), "2001:db8::1");
  // A link-local address carries its scope as the interface name.
  ASSERT_EQ(inet_pton(AF_INET6, "fe80::1", &v6.sin6_addr), 1);
  v6.sin6_scope_id = if_nametoindex("lo");
  EXPECT_EQ(host(v6), "fe80::1%lo");

  EXPECT_EQ(IPAddressUtils::numericHostFrom(nullptr), nullopt);
  sockaddr_ll link{};
  link.sll_family = AF_PACKET;
  link.sll_halen = 6;
  EXPECT_EQ(host(link), nullopt);
  sockaddr_storage unspecified{};
  unspecified.ss_family = AF_UNSPEC;
  EXPECT_EQ(host(unspecified), nullopt);
}

// One namespace holds every kind of interface the lookups must tell apart. Link-local IPv6
// addresses are turned off so each interface has exactly the addresses named here.
const std::vector<std::string> kInterfaces = {
    "link set lo up",
    // en0: up and running, two IPv4 addresses (10.1.0.5 first) and one IPv6 address.
    "link add en0 type veth peer name px0",
    "link set en0 addrgenmode none",
    "addr add 10.1.0.5/24 dev en0",
    "addr add 10.1.0.6/24 dev en0",
    "addr add fd00::5/64 dev en0 nodad",
    "link set px0 up",
    "link set en0 up",
    // en1: administratively down, with an address.
    "link add en1 type veth peer name px1",
    "addr add 10.2.0.1/24 dev en1",
    // en2: up and running, IPv6 only.
    "link add en2 type veth peer name px2",
    "link set en2 addrgenmode none",
    "addr add fd02::1/64 dev en2 nodad",
    "link set px2 up",
    "link set en2 up",
    // en3: up but without carrier (its peer is down), so not running.
    "link add en3 type veth peer name px3",
    "link set en3 addrgenmode none",
    "addr add 10.3.0.1/24 dev en3",
    "link set en3 up",
};

TEST(IPAddressUtilsTests, LocalIPPicksTheFirstAddressOfTheFamilyOnThatExactInterface) {
  // A down interface counts; en2 has no IPv4 address; names match exactly, not by prefix or
  // case; link-layer entries cannot be formatted.
  const std::vector<std::tuple<std::string, int, std::optional<std::string>>> cases = {
      {"lo", AF_INET, "127.0.0.1"}, {"lo", AF_INET6, "::1"},      {"en0", AF_INET, "10.1.0.5"},
      {"en0", AF_INET6, "fd00::5"}, {"en1", AF_INET, "10.2.0.1"}, {"en2", AF_INET, nullopt},
      {"en2", AF_INET6, "fd02::1"}, {"en", AF_INET, nullopt},     {"en0x", AF_INET, nullopt},
      {"EN0", AF_INET, nullopt},    {"", AF_INET, nullopt},       {"en0", AF_PACKET, nullopt},
      {"nosuch", AF_INET, nullopt}};
  std::vector<std::optional<std::string>> got;
  CS_RUN_IN_NAMESPACES_OR_SKIP(CLONE_NEWNET, kInterfaces, [&] {
    for (const auto& [name, family, expected] : cases)
      got.push_back(IPAddressUtils::localIP(name, static_cast<std::uint8_t>(family)));
  });
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(got[i], std::get<2>(cases[i]))
        << std::get<0>(cases[i]) << " " << std::get<1>(cases[i]);
}

TEST(IPAddressUtilsTests, InterfaceNameMatchesCanonicalTextOnRunningNonLoopbackInterfaces) {
  // Nothing for loopback, a down interface, one up without carrier, text that is not the
  // canonical form, and an address nobody owns (absent, never the empty "lookup failed" text).
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"10.1.0.5", "en0"},    {"10.1.0.6", "en0"},  {"fd00::5", "en0"},       {"fd02::1", "en2"},
      {"127.0.0.1", nullopt}, {"::1", nullopt},     {"10.2.0.1", nullopt},    {"10.3.0.1", nullopt},
      {"010.1.0.5", nullopt}, {"FD00::5", nullopt}, {"fd00:0:0::5", nullopt}, {"10.9.9.9", nullopt},
      {"", nullopt}};
  std::vector<std::optional<std::string>> got;
  CS_RUN_IN_NAMESPACES_OR_SKIP(CLONE_NEWNET, kInterfaces, [&] {
    for (const auto& c : cases)
      got.push_back(IPAddressUtils::interfaceName(c.first));
  });
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(got[i], cases[i].second) << cases[i].first;
}

}  // namespace
}  // namespace sharedutils
