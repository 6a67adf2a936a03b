#include "platform/network/Path.h"

#include <algorithm>

namespace platform::network {

std::string_view toString(PathStatus status) {
  switch (status) {
    case PathStatus::satisfied:
      return "satisfied";
    case PathStatus::requiresConnection:
      return "requiresConnection";
    case PathStatus::unsatisfied:
      break;
  }
  return "unsatisfied";
}

bool Path::usesInterfaceType(InterfaceType type) const {
  return std::find(usedInterfaceTypes.begin(), usedInterfaceTypes.end(), type) !=
         usedInterfaceTypes.end();
}

}  // namespace platform::network
