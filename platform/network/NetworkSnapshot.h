#pragma once
// What a path is computed from: the kernel's links, addressed interfaces and default routes at
// one moment, gathered from rtnetlink dumps, and the rule that turns them into a Path.

#include <linux/netlink.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/network/Path.h"

namespace platform::network {

struct NetworkSnapshot {
  struct Link {
    std::uint32_t index = 0;
    std::string name;
    std::uint32_t flags = 0;     // IFF_* as the kernel reports them (IFF_RUNNING included)
    std::uint16_t linkType = 0;  // ARPHRD_*
  };
  struct DefaultRoute {
    std::uint32_t interfaceIndex = 0;
    std::uint32_t metric = 0;
  };

  std::vector<Link> links;
  // Interfaces with at least one address that can carry traffic: IPv6 link-local addresses and
  // addresses still being checked for duplicates (or found duplicate) do not count.
  std::vector<std::uint32_t> addressedInterfaces;
  // Unicast default routes of every table but the local one; a multipath route adds one entry
  // per live next hop.
  std::vector<DefaultRoute> defaultRoutes;

  // Takes in one message of a link, address or route dump; other messages are ignored, as are
  // malformed ones.
  void add(const nlmsghdr& message);

  // The path these tables describe (see Path for the rule). `typeOf` is asked only about the
  // interfaces the path lists.
  Path toPath(const std::function<InterfaceType(const Link&)>& typeOf) const;
};

}  // namespace platform::network
