#pragma once
// The storage keys of bypass codes for callers of the module, and for code that finds classes by
// name at run time: `BypassCodeHelper` is registered under the name "TCBypassCodeHelper", and the
// registry below answers a look-up by that name with the class's methods.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "SharedUtils/BypassCodeTypes.h"

namespace sharedutils {

// Stateless: instances are interchangeable.
class BypassCodeHelper {
 public:
  static constexpr std::string_view runtimeName = "TCBypassCodeHelper";

  BypassCodeHelper() = default;

  // `storageKey(for:)`: the kind's storage key.
  static std::string_view storageKey(BypassCodeTypes type) { return sharedutils::storageKey(type); }

  // `storageKeyFor:`: the key for a kind given as its raw integer; absent for integers other than
  // 0, 1 and 2, for which no key exists.
  static std::optional<std::string> storageKeyFor(std::int64_t rawValue);
};

// A class as the run-time look-up hands it out: its registered name and its methods.
struct RuntimeClass {
  std::string_view name;
  std::optional<std::string> (*storageKeyFor)(std::int64_t rawValue);
  BypassCodeHelper (*init)();
};

// The class registered under `name`, or nullptr when no class has that name.
const RuntimeClass* lookUpRuntimeClass(std::string_view name);

}  // namespace sharedutils
