#include "SharedUtils/MacUtils.h"

#include "SharedUtils/HostIdentityReader.h"

namespace sharedutils {

std::optional<std::string> MacUtils::getSystemUUID() {
  return HostIdentityReader().systemUUID();
}

std::string MacUtils::getMACAddress() {
  return formatMACAddress(HostIdentityReader().primaryMACAddress());
}

std::string MacUtils::getDeviceName() {
  return HostIdentityReader().deviceName();
}

}  // namespace sharedutils
