#pragma once
// Questions about the host's own network interfaces, answered from the interface address list.
// A namespace of type-level operations: no instances, no state, safe from any thread.
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sharedutils {

class IPAddressUtils {
 public:
  IPAddressUtils() = delete;

  // The first numeric address that the interface called `forInterface` has in the given family
  // (AF_INET, 2, or AF_INET6, 10, on this platform). Interfaces that are down still count.
  // Absent when the interface has no such address or the list cannot be read.
  static std::optional<std::string> localIP(std::string_view forInterface,
                                            std::uint8_t socketAddressFamily);

  // The numeric text of a socket address ("192.0.2.1", "2001:db8::1", "fe80::1%eth0").
  // Socket addresses carry no length here, so the length follows from the family:
  // sizeof(sockaddr_in6) for AF_INET6 and sizeof(sockaddr_in) for everything else.
  // Absent for a null pointer, a family the system cannot format, or an empty result.
  static std::optional<std::string> numericHostFrom(const sockaddr* address);

  // The interface that is up, running, not loopback and owns the IPv4 or IPv6 address written
  // exactly as `forAddress` (compared with the system's canonical numeric text, so "010.0.0.1"
  // never matches). Absent when no such interface owns it; an empty string when the interface
  // address list cannot be read at all, so a caller can tell a failed lookup from a miss.
  static std::optional<std::string> interfaceName(std::string_view forAddress);
};

}  // namespace sharedutils
