#include "platform/network/InterfaceType.h"

#include <fcntl.h>
#include <net/if_arp.h>
#include <unistd.h>

#include <string>

#include "platform/base/FileDescriptor.h"

namespace platform::network {

std::string_view toString(InterfaceType type) {
  switch (type) {
    case InterfaceType::wifi:
      return "wifi";
    case InterfaceType::cellular:
      return "cellular";
    case InterfaceType::wiredEthernet:
      return "wiredEthernet";
    case InterfaceType::loopback:
      return "loopback";
    case InterfaceType::other:
      break;
  }
  return "other";
}

namespace {

bool hasEntry(int dir, const std::string& path) {
  return faccessat(dir, path.c_str(), F_OK, 0) == 0;
}

// The DEVTYPE value of the interface's uevent file, empty when it has none.
std::string deviceType(int dir, const std::string& name) {
  platform::base::FileDescriptor fd(openat(dir, (name + "/uevent").c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return {};
  char buffer[1024];
  const ssize_t n = read(fd.get(), buffer, sizeof buffer);
  if (n <= 0) return {};
  const std::string_view text(buffer, static_cast<std::size_t>(n));
  constexpr std::string_view key = "DEVTYPE=";
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    if (line.starts_with(key)) return std::string(line.substr(key.size()));
    start = end + 1;
  }
  return {};
}

}  // namespace

InterfaceType classifyInterface(int netClassDir, std::string_view name, std::uint16_t linkType) {
  if (linkType == ARPHRD_LOOPBACK) return InterfaceType::loopback;
  // An interface name is one path component; anything else cannot be looked up safely.
  const bool lookable = !name.empty() && name != "." && name != ".." &&
                        name.find('/') == std::string_view::npos && netClassDir >= 0;
  if (lookable) {
    const std::string entry(name);
    const std::string devtype = deviceType(netClassDir, entry);
    if (hasEntry(netClassDir, entry + "/wireless") || hasEntry(netClassDir, entry + "/phy80211") ||
        devtype == "wlan")
      return InterfaceType::wifi;
    if (devtype == "wwan") return InterfaceType::cellular;
  }
  if (linkType == ARPHRD_ETHER) return InterfaceType::wiredEthernet;
  return InterfaceType::other;
}

}  // namespace platform::network
