#include "platform/xpc/Interface.h"

namespace platform::xpc {

const Interface::Method* Interface::find(std::string_view selector) const {
  for (const auto& m : methods_) {
    if (m.description.selector == selector) return &m;
  }
  return nullptr;
}

}  // namespace platform::xpc
