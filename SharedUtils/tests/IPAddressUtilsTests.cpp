#include "SharedUtils/IPAddressUtils.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sched.h>

#include <optional>
#include <string>

#include "SharedUtils/tests/NetworkNamespace.h"

namespace sharedutils {
namespace {

using std::nullopt;

TEST(IPAddressUtilsTests, NumericHostFormatsEachFamilyWithItsOwnLength) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  ASSERT_EQ(inet_pton(AF_INET, "192.0.2.17", &v4.sin_addr), 1);
  EXPECT_EQ(IPAddressUtils::numericHostFrom(reinterpret_cast<sockaddr*>(&v4)), "192.0.2.17");

  // IPv6 needs the full sockaddr_in6 length; formatting with the IPv4 length would fail.
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  ASSERT_EQ(inet_pton(AF_INET6, "2001:db8:0:0::1", &v6.sin6_addr), 1);
  EXPECT_EQ(IPAddressUtils::numericHostFrom(reinterpret_cast<sockaddr*>(&v6)), "2001:db8::1");

  ASSERT_EQ(inet_pton(AF_INET6, "::ffff:192.0.2.1", &v6.sin6_addr), 1);
  EXPECT_EQ(IPAddressUtils::numericHostFrom(reinterpret_cast<sockaddr*>(&v6)), "::ffff:192.0.2.1");

  // A link-local address carries its scope as the interface name.
  ASSERT_EQ(inet_pton(AF_INET6, "fe80::1", &v6.sin6_addr), 1);
  v6.sin6_scope_id = if_nametoindex("lo");
  ASSERT_NE(v6.sin6_scope_id, 0u);
  EXPECT_EQ(IPAddressUtils::numericHostFrom(reinterpret_cast<sockaddr*>(&v6)), "fe80::1%lo");
}

TEST(IPAddressUtilsTests, NumericHostIsAbsentForWhatCannotBeFormatted) {
  EXPECT_EQ(IPAddressUtils::numericHostFrom(nullptr), nullopt);

  sockaddr_ll link{};
  link.sll_family = AF_PACKET;
  link.sll_ifindex = 1;
  link.sll_halen = 6;
  EXPECT_EQ(IPAddressUtils::numericHostFrom(reinterpret_cast<sockaddr*>(&link)), nullopt);

  sockaddr_storage unspecified{};
  unspecified.ss_family = AF_UNSPEC;
  EXPECT_EQ(IPAddressUtils::numericHostFrom(reinterpret_cast<sockaddr*>(&unspecified)), nullopt);
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
  std::vector<std::optional<std::string>> got;
  CS_RUN_IN_NAMESPACES_OR_SKIP(CLONE_NEWNET, kInterfaces, [&] {
    for (const auto& [name, family] : std::vector<std::pair<std::string, int>>{{"lo", AF_INET},
                                                                               {"lo", AF_INET6},
                                                                               {"en0", AF_INET},
                                                                               {"en0", AF_INET6},
                                                                               {"en1", AF_INET},
                                                                               {"en2", AF_INET},
                                                                               {"en2", AF_INET6},
                                                                               {"en", AF_INET},
                                                                               {"en0x", AF_INET},
                                                                               {"EN0", AF_INET},
                                                                               {"", AF_INET},
                                                                               {"en0", AF_PACKET},
                                                                               {"nosuch", AF_INET}})
      got.push_back(IPAddressUtils::localIP(name, static_cast<std::uint8_t>(family)));
  });
  const std::vector<std::optional<std::string>> expected = {
      "127.0.0.1", "::1",   "10.1.0.5", "fd00::5",
      "10.2.0.1",  // a down interface still counts
      nullopt,     // en2 has no IPv4 address
      "fd02::1",   nullopt, nullopt,    nullopt,
      nullopt,  // names match exactly, not by prefix or case
      nullopt,  // link-layer entries cannot be formatted
      nullopt};
  EXPECT_EQ(got, expected);
}

TEST(IPAddressUtilsTests, InterfaceNameMatchesCanonicalTextOnRunningNonLoopbackInterfaces) {
  const std::vector<std::string> addresses = {"10.1.0.5",  "10.1.0.6",
                                              "fd00::5",   "fd02::1",
                                              "127.0.0.1", "::1",  // loopback is skipped
                                              "10.2.0.1",          // interface down
                                              "10.3.0.1",          // interface up but not running
                                              "010.1.0.5", "fd00:0:0::5",
                                              "FD00::5",  // not the canonical text
                                              "10.9.9.9",  ""};
  std::vector<std::optional<std::string>> got;
  CS_RUN_IN_NAMESPACES_OR_SKIP(CLONE_NEWNET, kInterfaces, [&] {
    for (const auto& address : addresses)
      got.push_back(IPAddressUtils::interfaceName(address));
  });
  const std::vector<std::optional<std::string>> expected = {
      "en0",   "en0",   "en0",   "en2",   nullopt, nullopt, nullopt,
      nullopt, nullopt, nullopt, nullopt, nullopt, nullopt};  // an address nobody owns is absent,
                                                              // never the empty "lookup failed"
                                                              // text
  EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace sharedutils
