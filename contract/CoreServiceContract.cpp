#include "contract/CoreServiceContract.h"

namespace coreservice {

using platform::xpc::MethodDescription;

const MethodDescription& pingMethod() {
  static const MethodDescription m{"pingWithCompletionHandler:", "v24@0:8@?16", "v24@0:8@?<v@?>16"};
  return m;
}

const MethodDescription& getStatusMethod() {
  static const MethodDescription m{"getStatusWithCompletionHandler:", "v24@0:8@?16",
                                   "v24@0:8@?<v@?@\"NSDictionary\">16"};
  return m;
}

}  // namespace coreservice
