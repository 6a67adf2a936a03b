#include "SharedUtils/EnvironmentUtils.h"

#include <sys/utsname.h>

#include <charconv>

#include "SharedUtils/Keys.h"
#include "platform/defaults/Domain.h"

namespace sharedutils {

bool EnvironmentUtils::showDeveloperScreen() {
  // Only the mac build has the developer screen switch; currentDeviceType is fixed to mac.
  if (auto domain = platform::defaults::Domain::standard()) {
    if (auto object = domain->object(Keys::developerShowScreen.rawValue)) {
      return object->as<bool>().value_or(false);
    }
  }
  return false;
}

OperatingSystemVersion OperatingSystemVersion::current() {
  OperatingSystemVersion v;
  utsname u{};
  if (uname(&u) != 0) return v;
  std::string_view rest(u.release);
  std::int64_t* parts[] = {&v.majorVersion, &v.minorVersion, &v.patchVersion};
  for (auto* part : parts) {
    auto [p, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), *part);
    if (ec != std::errc()) break;
    rest.remove_prefix(static_cast<std::size_t>(p - rest.data()));
    if (rest.empty() || rest.front() != '.') break;
    rest.remove_prefix(1);
  }
  return v;
}

std::string OperatingSystemVersion::getFullVersion(std::string_view separator) const {
  std::string out = std::to_string(majorVersion);
  out += separator;
  out += std::to_string(minorVersion);
  out += separator;
  out += std::to_string(patchVersion);
  return out;
}

}  // namespace sharedutils
