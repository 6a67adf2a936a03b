#pragma once
// The system's DNS servers.
//
// Where systemd-resolved runs, it owns the configuration (and /etc/resolv.conf names only its
// local stub), so it is asked over the system bus; otherwise the `nameserver` lines of
// /etc/resolv.conf are read. Nothing is cached: every call reads the configuration as it is at
// that moment, so answers follow changes of either source.
//
// Calls block the calling thread while they ask (a bus round trip, or one small file read) and
// may come from any thread.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform::network {

class DnsConfiguration {
 public:
  DnsConfiguration() = delete;

  // The servers in the order they are configured; empty when none is configured or neither
  // source can be read.
  static std::vector<std::string> systemServers();

  // systemd-resolved's list: its global servers first, then those of each link, as it reports
  // them. Absent when resolved cannot be reached (no system bus, resolved not running or not
  // answering within a few seconds); it is never started just to be asked.
  static std::optional<std::vector<std::string>> resolvedServers();

  // The addresses of the `nameserver` lines of a resolver configuration file, in order, as
  // written (an IPv6 address may carry a %scope). Lines that do not hold a valid address are
  // skipped, as the system's resolver skips them. Empty when the file cannot be read.
  static std::vector<std::string> resolvConfServers(
      const std::filesystem::path& file = "/etc/resolv.conf");
};

}  // namespace platform::network
