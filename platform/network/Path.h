#pragma once
// A network path: whether the host can reach the network, through which interfaces, and which
// kinds of interface carry its traffic. A plain value, compared whole.
//
// On Linux a path is satisfied when a default route (IPv4 or IPv6, of any routing table but the
// kernel's local one) leaves through an interface that is up, has its carrier (running) and has
// an address. This system never makes connections on demand, so `requiresConnection` is never
// reported here; it exists because callers must handle it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/network/InterfaceType.h"

namespace platform::network {

enum class PathStatus : std::uint8_t { satisfied, unsatisfied, requiresConnection };

// "satisfied", "unsatisfied", "requiresConnection".
std::string_view toString(PathStatus status);

struct Interface {
  std::string name;
  InterfaceType type = InterfaceType::other;
  std::uint32_t index = 0;

  friend bool operator==(const Interface&, const Interface&) = default;
};

struct Path {
  PathStatus status = PathStatus::unsatisfied;
  // Every interface that is up, running and has an address: first those that carry a default
  // route (best route metric first), then the others by interface index.
  std::vector<Interface> availableInterfaces;
  // The kinds of the interfaces that carry a usable default route.
  std::vector<InterfaceType> usedInterfaceTypes;

  bool usesInterfaceType(InterfaceType type) const;

  friend bool operator==(const Path&, const Path&) = default;
};

}  // namespace platform::network
