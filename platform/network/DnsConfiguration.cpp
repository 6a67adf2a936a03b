#include "platform/network/DnsConfiguration.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <systemd/sd-bus.h>

#include <array>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace platform::network {

namespace {

// Long enough for a loaded machine, short enough that a hung service does not hang callers.
constexpr std::uint64_t kBusTimeoutMicroseconds = 5'000'000;

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct BusError {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~BusError() { sd_bus_error_free(&error); }
};

// One entry of resolved's server list as text; IPv6 link-local addresses keep their link.
std::optional<std::string> addressText(int interfaceIndex, int family, const void* bytes,
                                       std::size_t size) {
  std::array<char, INET6_ADDRSTRLEN> text{};
  if (family == AF_INET && size == sizeof(in_addr)) {
    if (!inet_ntop(AF_INET, bytes, text.data(), text.size())) return std::nullopt;
    return std::string(text.data());
  }
  if (family != AF_INET6 || size != sizeof(in6_addr)) return std::nullopt;
  if (!inet_ntop(AF_INET6, bytes, text.data(), text.size())) return std::nullopt;
  std::string result(text.data());
  in6_addr address;
  std::memcpy(&address, bytes, sizeof address);
  std::array<char, IF_NAMESIZE> name{};
  if (IN6_IS_ADDR_LINKLOCAL(&address) && interfaceIndex > 0 &&
      if_indextoname(static_cast<unsigned>(interfaceIndex), name.data()))
    result += "%" + std::string(name.data());
  return result;
}

bool isAddress(const std::string& text) {
  std::array<unsigned char, sizeof(in6_addr)> bytes{};
  if (inet_pton(AF_INET, text.c_str(), bytes.data()) == 1) return true;
  const std::string bare = text.substr(0, text.find('%'));
  return inet_pton(AF_INET6, bare.c_str(), bytes.data()) == 1;
}

}  // namespace

std::vector<std::string> DnsConfiguration::systemServers() {
  if (auto servers = resolvedServers()) return std::move(*servers);
  return resolvConfServers();
}

std::optional<std::vector<std::string>> DnsConfiguration::resolvedServers() {
  sd_bus* rawBus = nullptr;
  if (sd_bus_open_system(&rawBus) < 0) return std::nullopt;
  std::unique_ptr<sd_bus, BusCloser> bus(rawBus);

  sd_bus_message* rawCall = nullptr;
  if (sd_bus_message_new_method_call(bus.get(), &rawCall, "org.freedesktop.resolve1",
                                     "/org/freedesktop/resolve1", "org.freedesktop.DBus.Properties",
                                     "Get") < 0)
    return std::nullopt;
  std::unique_ptr<sd_bus_message, MessageUnref> call(rawCall);
  if (sd_bus_message_append(call.get(), "ss", "org.freedesktop.resolve1.Manager", "DNS") < 0 ||
      sd_bus_message_set_auto_start(call.get(), 0) < 0)
    return std::nullopt;

  BusError error;
  sd_bus_message* rawReply = nullptr;
  if (sd_bus_call(bus.get(), call.get(), kBusTimeoutMicroseconds, &error.error, &rawReply) < 0)
    return std::nullopt;
  std::unique_ptr<sd_bus_message, MessageUnref> reply(rawReply);

  sd_bus_message* m = reply.get();
  if (sd_bus_message_enter_container(m, 'v', "a(iiay)") <= 0 ||
      sd_bus_message_enter_container(m, 'a', "(iiay)") <= 0)
    return std::nullopt;
  std::vector<std::string> servers;
  for (;;) {
    const int entered = sd_bus_message_enter_container(m, 'r', "iiay");
    if (entered < 0) return std::nullopt;
    if (entered == 0) break;
    int interfaceIndex = 0, family = 0;
    const void* bytes = nullptr;
    std::size_t size = 0;
    if (sd_bus_message_read(m, "ii", &interfaceIndex, &family) < 0 ||
        sd_bus_message_read_array(m, 'y', &bytes, &size) < 0 ||
        sd_bus_message_exit_container(m) < 0)
      return std::nullopt;
    if (auto text = addressText(interfaceIndex, family, bytes, size))
      servers.push_back(std::move(*text));
  }
  return servers;
}

std::vector<std::string> DnsConfiguration::resolvConfServers(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::vector<std::string> servers;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string keyword, address;
    if (!(words >> keyword) || keyword != "nameserver" || !(words >> address)) continue;
    if (isAddress(address)) servers.push_back(address);
  }
  return servers;
}

}  // namespace platform::network
