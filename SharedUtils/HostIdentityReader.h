#pragma once
// Reads the host's identity from the files the kernel and the system keep: the DMI product UUID,
// the network interfaces under sysfs and the pretty host name in /etc/machine-info. Every path is
// taken below a root directory, "/" in production, so the selection rules can be exercised on a
// directory tree made for the purpose. MacUtils is the public face of this reader.
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace sharedutils {

using MACAddressBytes = std::array<std::uint8_t, 6>;

class HostIdentityReader {
 public:
  explicit HostIdentityReader(std::filesystem::path root = "/");

  // sys/class/dmi/id/product_uuid, without surrounding white space. Absent when the file cannot
  // be read (it is readable by root only) or holds nothing.
  std::optional<std::string> systemUUID() const;

  // The address of the primary Ethernet-type interface. Primary on this platform means: of the
  // interfaces under sys/class/net whose hardware type is Ethernet (ARPHRD_ETHER, which covers
  // wired and Wi-Fi) and that have a device behind them (a "device" entry exists, so bridges,
  // veth pairs, tunnels and other virtual links are left out), the one with the lowest interface
  // index. All zero when there is none; bytes the address file does not give stay zero.
  MACAddressBytes primaryMACAddress() const;

  // PRETTY_HOSTNAME from etc/machine-info, the file in which the host-name service keeps the
  // user-visible name. Absent when the file or the key is missing or the value is empty.
  std::optional<std::string> prettyHostName() const;

  // The pretty host name, else the kernel's host name without a trailing ".local".
  std::string deviceName() const;

 private:
  std::filesystem::path root_;
};

// Six bytes as lower-case hexadecimal pairs joined by ":", e.g. "3c:22:fb:01:9a:7e".
std::string formatMACAddress(const MACAddressBytes& bytes);

// Parses "3C:22:fb:1:9a:7e"-style text: up to six hexadecimal groups of one or two digits joined
// by ":". Parsing stops at the first malformed group; the bytes not read stay zero.
MACAddressBytes parseMACAddress(std::string_view text);

// The value of `key` in an environment-style file (KEY=VALUE lines, "#" and ";" comments,
// single or double quotes, backslash escapes; the last assignment wins). Absent when unset.
std::optional<std::string> environmentFileValue(std::string_view contents, std::string_view key);

// `hostName` with exactly one trailing ".local" removed; any other name is returned unchanged.
std::string hostNameWithoutLocalSuffix(std::string hostName);

}  // namespace sharedutils
