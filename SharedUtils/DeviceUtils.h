#pragma once
// A class-level query about the machine's routing. Keeps no state; safe from any thread.
#include <optional>
#include <string>

namespace sharedutils {

class DeviceUtils {
 public:
  DeviceUtils() = delete;

  // The dotted-quad IPv4 gateway of the first default route, in the kernel's route dump order,
  // whose outgoing interface's name starts with "en". Default routes through other interfaces
  // (tunnels, bridges) are passed over. Absent when the routing table cannot be read or no
  // route qualifies.
  //
  // Only the main routing table counts: it is the one every lookup falls back to, while other
  // tables belong to policy rules that may not apply to ordinary traffic. A default route with
  // no IPv4 gateway (a point-to-point "dev" route) names no gateway and is passed over, and of
  // a multipath default route the first next hop that qualifies is taken.
  static std::optional<std::string> getDefaultGateway();
};

}  // namespace sharedutils
