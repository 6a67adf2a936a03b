#pragma once
// The host's network path as the client sees it: one observable value, the kind of interface
// that carries the default path (`activeNetworkInterface`), plus two on-demand questions: which
// interface, IPv4 address and DNS server the path uses (getCurrentInterfaceInfo()), and which DNS
// server the system is configured with (getDNS(), no instance needed).
//
// Threading. The platform monitor reports on `monitorQueue` ("NetworkPathMonitor", utility);
// each report is handed on to the main queue, so every evaluation after the first runs on the
// main thread and `activeNetworkInterface` is assigned there. The first evaluation runs inside
// start(), on the caller's thread. Reports reaching the main queue after the monitor is gone are
// dropped. getCurrentInterfaceInfo() and getDNS() block their caller while they ask the system.
//
// Subscribers of activeNetworkInterfacePublisher() get the current value on subscribing and then
// every assignment, including one of the value already held: an unsatisfied path assigns none
// each time it is reported.
//
// Lifecycle: created → start() → monitoring → stop() (or destruction) → stopped, keeping the last
// value; start() again makes a new platform monitor. A start() while monitoring cancels the
// monitor it replaces, so two never report at once.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/dispatch/Queue.h"
#include "platform/network/Path.h"
#include "platform/network/PathMonitor.h"
#include "platform/reactive/AnyPublisher.h"
#include "platform/reactive/CurrentValueSubject.h"

namespace sharedutils {

class NetworkPathMonitor : public std::enable_shared_from_this<NetworkPathMonitor> {
 public:
  enum class NetworkInterfaceType : std::uint8_t { none, wifi, ethernet, cellular, other };

  struct NetworkConnectionInfo {
    std::optional<std::string> interfaceName;
    std::optional<std::string> ipAddressString;
    // The address exactly as it stands in the socket address: network byte order.
    std::optional<std::uint32_t> ipAddressUInt32;
    std::optional<std::string> dnsServerName;

    // "Interface: en0, IP: 10.1.2.3, DNS: NoDNSServer"; absent parts read "Unknown", "NoIP"
    // and "NoDNSServer". The 32-bit address is not shown.
    std::string description() const;

    friend bool operator==(const NetworkConnectionInfo&, const NetworkConnectionInfo&) = default;
  };

  // Makes the platform monitor that start() uses; a test passes one of its own.
  using MonitorFactory = std::function<std::unique_ptr<platform::network::PathMonitor>()>;

  // Starts nothing: the value is none until start(). Updates reach the instance through weak
  // references, hence shared ownership.
  static std::shared_ptr<NetworkPathMonitor> make();
  static std::shared_ptr<NetworkPathMonitor> make(MonitorFactory factory);
  ~NetworkPathMonitor();

  void start();
  // Safe when not started (it only logs).
  void stop();

  NetworkInterfaceType activeNetworkInterface() const;
  platform::reactive::AnyPublisher<NetworkInterfaceType> activeNetworkInterfacePublisher() const;
  const std::shared_ptr<platform::dispatch::Queue>& monitorQueue() const { return monitorQueue_; }

  // Absent when not monitoring, when the path is not satisfied, when no interface is in use or
  // when the interface has no IPv4 address (the DNS server may be absent in a record).
  std::optional<NetworkConnectionInfo> getCurrentInterfaceInfo() const;
  static std::optional<std::string> getDNS();

 private:
  struct Key {};

 public:
  NetworkPathMonitor(Key, MonitorFactory factory);  // through make()

 private:
  void setupPathMonitor();
  void handlePathUpdate(const platform::network::Path& path);
  NetworkInterfaceType getPrimaryInterface(const platform::network::Path& path) const;
  static std::optional<std::pair<std::string, std::uint32_t>> getIPAddress(
      const std::string& interfaceName);

  const MonitorFactory factory_;
  platform::reactive::CurrentValueSubject<NetworkInterfaceType> activeNetworkInterface_{
      NetworkInterfaceType::none};
  // Changed only by start() and stop(); the lock lets getCurrentInterfaceInfo() read it from
  // any thread.
  mutable std::mutex monitorLock_;
  std::unique_ptr<platform::network::PathMonitor> pathMonitor_;
  const std::shared_ptr<platform::dispatch::Queue> monitorQueue_;
};

// "none", "wifi", "ethernet", "cellular", "other".
std::string_view toString(NetworkPathMonitor::NetworkInterfaceType type);

}  // namespace sharedutils
