#pragma once
// The kinds of bypass code, one per protected action, and the storage key of each kind's seed.
// Nothing here reads, writes, makes or checks a seed or a code.
#include <cstdint>
#include <optional>
#include <string_view>

namespace sharedutils {

// Equatable and hashable (std::hash) by raw value.
enum class BypassCodeTypes : std::int64_t {
  upgrade = 0,
  uninstall = 1,
  alwaysOn = 2,
};

// Exactly 0, 1 and 2 make a kind; any other integer, negative ones included, makes none.
constexpr std::optional<BypassCodeTypes> bypassCodeTypesFromRawValue(std::int64_t rawValue) {
  switch (rawValue) {
    case 0:
      return BypassCodeTypes::upgrade;
    case 1:
      return BypassCodeTypes::uninstall;
    case 2:
      return BypassCodeTypes::alwaysOn;
    default:
      return std::nullopt;
  }
}

constexpr std::int64_t rawValue(BypassCodeTypes type) {
  return static_cast<std::int64_t>(type);
}

// "upgradeBypassSeed", "uninstallBypassSeed" or "alwaysOnBypassSeed".
constexpr std::string_view storageKey(BypassCodeTypes type) {
  switch (type) {
    case BypassCodeTypes::upgrade:
      return "upgradeBypassSeed";
    case BypassCodeTypes::uninstall:
      return "uninstallBypassSeed";
    case BypassCodeTypes::alwaysOn:
      return "alwaysOnBypassSeed";
  }
  return {};
}

}  // namespace sharedutils
