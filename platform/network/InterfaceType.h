#pragma once
// The kind of a network interface, as the path monitor reports it, and how a Linux interface is
// classified: by its link-layer type (ARPHRD_*) and by what sysfs shows for it.

#include <cstdint>
#include <string_view>

namespace platform::network {

enum class InterfaceType : std::uint8_t { other, wifi, cellular, wiredEthernet, loopback };

// "other", "wifi", "cellular", "wiredEthernet", "loopback".
std::string_view toString(InterfaceType type);

// `netClassDir` is an open directory with one entry per interface, as /sys/class/net is. The
// rules, first match wins: loopback link type; a `wireless` or `phy80211` entry, or DEVTYPE=wlan
// in `uevent`, is Wi-Fi; DEVTYPE=wwan is cellular; the Ethernet link type is wired Ethernet
// (bridges, bonds and virtual Ethernet pairs included: they carry Ethernet frames); anything
// else (tunnels, point-to-point links, kinds added later) is other.
InterfaceType classifyInterface(int netClassDir, std::string_view name, std::uint16_t linkType);

}  // namespace platform::network
