#pragma once
// Questions about the environment the client runs in, and the operating-system version text.
#include <cstdint>
#include <string>
#include <string_view>

#include "SharedUtils/DeviceType.h"

namespace sharedutils {

class EnvironmentUtils {
 public:
  EnvironmentUtils() = delete;

  // The device the client is built for; fixed for the life of the process.
  static constexpr DeviceType currentDeviceType = DeviceType::mac;

  // Whether the developer screen is switched on: the bool stored under "developer.showScreen" in
  // the process's standard domain, false when nothing readable as a bool is stored. Read afresh
  // at every call.
  static bool showDeveloperScreen();
};

// An operating-system version.
struct OperatingSystemVersion {
  std::int64_t majorVersion = 0;
  std::int64_t minorVersion = 0;
  std::int64_t patchVersion = 0;

  // The running kernel's version (from its release string, "6.1.0-18-amd64" gives 6, 1, 0);
  // numbers that cannot be read are 0.
  static OperatingSystemVersion current();

  // major, separator, minor, separator, patch, in decimal: 14.2.1 for "."; 1421 for "".
  std::string getFullVersion(std::string_view separator) const;
};

}  // namespace sharedutils
