#include "SharedUtils/BypassCodeHelper.h"

#include <array>

namespace sharedutils {
namespace {

BypassCodeHelper makeBypassCodeHelper() {
  return BypassCodeHelper();
}

// Fixed at build time: nothing registers or unregisters while the process runs.
constexpr std::array<RuntimeClass, 1> kRegisteredClasses = {
    RuntimeClass{BypassCodeHelper::runtimeName, &BypassCodeHelper::storageKeyFor,
                 &makeBypassCodeHelper},
};

}  // namespace

std::optional<std::string> BypassCodeHelper::storageKeyFor(std::int64_t rawValue) {
  const auto type = bypassCodeTypesFromRawValue(rawValue);
  if (!type) return std::nullopt;
  return std::string(sharedutils::storageKey(*type));
}

const RuntimeClass* lookUpRuntimeClass(std::string_view name) {
  for (const auto& entry : kRegisteredClasses) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

}  // namespace sharedutils
