#pragma once
// Class-level queries that describe the machine. None caches, logs or throws; each failure shows
// only in its result. Safe to call from any thread.
#include <optional>
#include <string>

namespace sharedutils {

class MacUtils {
 public:
  MacUtils() = default;

  // The hardware (DMI product) UUID. Absent when it cannot be read, e.g. without root.
  static std::optional<std::string> getSystemUUID();

  // The MAC address of the primary Ethernet-type interface as 17 characters of lower-case
  // hexadecimal pairs joined by ":". "00:00:00:00:00:00" when there is no such interface.
  static std::string getMACAddress();

  // The user-visible computer name: the pretty host name when one is set, else the host name
  // without a trailing ".local".
  static std::string getDeviceName();
};

}  // namespace sharedutils
