#include "SharedUtils/NetworkPathMonitor.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <array>
#include <cstring>

#include "logging/DDLogFrontEnd.h"
#include "platform/network/DnsConfiguration.h"
#include "platform/network/NetlinkPathMonitor.h"

namespace sharedutils {

using platform::network::InterfaceType;
using platform::network::Path;
using platform::network::PathStatus;
using Type = NetworkPathMonitor::NetworkInterfaceType;

std::string_view toString(NetworkPathMonitor::NetworkInterfaceType type) {
  switch (type) {
    case Type::wifi:
      return "wifi";
    case Type::ethernet:
      return "ethernet";
    case Type::cellular:
      return "cellular";
    case Type::other:
      return "other";
    case Type::none:
      break;
  }
  return "none";
}

std::string NetworkPathMonitor::NetworkConnectionInfo::description() const {
  return "Interface: " + interfaceName.value_or("Unknown") +
         ", IP: " + ipAddressString.value_or("NoIP") +
         ", DNS: " + dnsServerName.value_or("NoDNSServer");
}

std::shared_ptr<NetworkPathMonitor> NetworkPathMonitor::make() {
  return make([] { return std::make_unique<platform::network::NetlinkPathMonitor>(); });
}

std::shared_ptr<NetworkPathMonitor> NetworkPathMonitor::make(MonitorFactory factory) {
  return std::make_shared<NetworkPathMonitor>(Key{}, std::move(factory));
}

NetworkPathMonitor::NetworkPathMonitor(Key, MonitorFactory factory)
    : factory_(std::move(factory)),
      monitorQueue_(platform::dispatch::Queue::makeSerial("NetworkPathMonitor",
                                                          platform::dispatch::QoS::Utility)) {}

NetworkPathMonitor::~NetworkPathMonitor() {
  stop();
}

void NetworkPathMonitor::start() {
  DDLogInfo("[MNG NW] interface: start 'NetworkPathMonitor'");
  setupPathMonitor();
}

void NetworkPathMonitor::stop() {
  DDLogInfo("[MNG NW] interface: stop 'NetworkPathMonitor'");
  std::unique_ptr<platform::network::PathMonitor> monitor;
  {
    std::lock_guard lock(monitorLock_);
    monitor = std::move(pathMonitor_);
  }
  if (monitor) monitor->cancel();
}

NetworkPathMonitor::NetworkInterfaceType NetworkPathMonitor::activeNetworkInterface() const {
  return activeNetworkInterface_.value();
}

platform::reactive::AnyPublisher<NetworkPathMonitor::NetworkInterfaceType>
NetworkPathMonitor::activeNetworkInterfacePublisher() const {
  return activeNetworkInterface_.eraseToAnyPublisher();
}

void NetworkPathMonitor::setupPathMonitor() {
  std::unique_ptr<platform::network::PathMonitor> monitor = factory_ ? factory_() : nullptr;
  if (!monitor) return;
  const Path current = monitor->currentPath();
  platform::network::PathMonitor* raw = monitor.get();
  std::unique_ptr<platform::network::PathMonitor> replaced;
  {
    std::lock_guard lock(monitorLock_);
    replaced = std::exchange(pathMonitor_, std::move(monitor));
  }
  // A monitor replaced by a second start() would otherwise go on reporting alongside the new one.
  if (replaced) replaced->cancel();

  handlePathUpdate(current);

  std::weak_ptr<NetworkPathMonitor> weak = weak_from_this();
  raw->setUpdateHandler([weak](const Path& path) {
    platform::dispatch::Queue::main()->async([weak, path] {
      if (auto self = weak.lock()) self->handlePathUpdate(path);
    });
  });
  raw->start(monitorQueue_);
}

void NetworkPathMonitor::handlePathUpdate(const Path& path) {
  DDLogVerbose("[MNG NW] interface: Network Path update - Status: %@",
               platform::network::toString(path.status));
  if (path.status != PathStatus::satisfied) {
    DDLogVerbose("[MNG NW] interface: No network connection available");
    activeNetworkInterface_.send(Type::none);
    return;
  }
  const Type primary = getPrimaryInterface(path);
  if (primary == activeNetworkInterface_.value()) return;
  DDLogVerbose("[MNG NW] interface: Primary interface is now %@", toString(primary));
  activeNetworkInterface_.send(primary);
}

NetworkPathMonitor::NetworkInterfaceType NetworkPathMonitor::getPrimaryInterface(
    const Path& path) const {
  const auto& interfaces = path.availableInterfaces;
  if (interfaces.empty()) {
    DDLogVerbose("[MNG NW] interface: No interfaces exist");
    return Type::none;
  }
  const platform::network::Interface* chosen = nullptr;
  for (const auto& candidate : interfaces) {
    if (candidate.type != InterfaceType::loopback && path.usesInterfaceType(candidate.type)) {
      chosen = &candidate;
      break;
    }
  }
  if (chosen != nullptr) {
    DDLogVerbose("[MNG NW] interface: Found Main interface: %@ (%@)", chosen->name,
                 platform::network::toString(chosen->type));
  } else {
    chosen = &interfaces.front();
    DDLogVerbose("[MNG NW] interface: Fallback to first available interface: %@ (%@)", chosen->name,
                 platform::network::toString(chosen->type));
  }
  switch (chosen->type) {
    case InterfaceType::wifi:
      return Type::wifi;
    case InterfaceType::wiredEthernet:
      return Type::ethernet;
    case InterfaceType::cellular:
      return Type::cellular;
    case InterfaceType::loopback:
      return Type::none;
    case InterfaceType::other:
      return Type::other;
  }
  return Type::other;  // a kind this mapping does not know yet
}

std::optional<NetworkPathMonitor::NetworkConnectionInfo>
NetworkPathMonitor::getCurrentInterfaceInfo() const {
  Path path;
  {
    std::lock_guard lock(monitorLock_);
    if (!pathMonitor_) return std::nullopt;
    path = pathMonitor_->currentPath();
  }
  if (path.status != PathStatus::satisfied) return std::nullopt;
  // Unlike the primary interface, loopback may answer here.
  const platform::network::Interface* used = nullptr;
  for (const auto& candidate : path.availableInterfaces) {
    if (path.usesInterfaceType(candidate.type)) {
      used = &candidate;
      break;
    }
  }
  if (used == nullptr) return std::nullopt;
  auto address = getIPAddress(used->name);
  if (!address) return std::nullopt;
  return NetworkConnectionInfo{used->name, std::move(address->first), address->second, getDNS()};
}

std::optional<std::pair<std::string, std::uint32_t>> NetworkPathMonitor::getIPAddress(
    const std::string& interfaceName) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::nullopt;
  std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(list, &freeifaddrs);
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_name == nullptr || interfaceName != entry->ifa_name) continue;
    if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    sockaddr_in address;
    std::memcpy(&address, entry->ifa_addr, sizeof address);
    std::array<char, 16> text{};
    if (inet_ntop(AF_INET, &address.sin_addr, text.data(), text.size()) == nullptr) continue;
    // inet_ntop writes ASCII digits and dots only, so the text needs no UTF-8 repair.
    return std::make_pair(std::string(text.data()), address.sin_addr.s_addr);
  }
  return std::nullopt;
}

std::optional<std::string> NetworkPathMonitor::getDNS() {
  auto servers = platform::network::DnsConfiguration::systemServers();
  if (servers.empty()) {
    DDLogVerbose("[MNG NW] interface: DNS server Not Found in System Configuration");
    return std::nullopt;
  }
  return std::move(servers.front());
}

}  // namespace sharedutils
