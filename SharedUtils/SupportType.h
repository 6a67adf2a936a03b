#pragma once
// How the client offers support to its user. The setting `supportType` stores the raw integer;
// this enumeration interprets it.
#include <cstdint>
#include <optional>

namespace sharedutils {

enum class SupportType : std::int64_t {
  disabled = 0,
  tarvoSupportForm = 1,
  customMessage = 2,
};

// The case with raw value `rawValue`; no value for any other integer.
constexpr std::optional<SupportType> supportTypeFromRawValue(std::int64_t rawValue) {
  switch (rawValue) {
    case 0:
      return SupportType::disabled;
    case 1:
      return SupportType::tarvoSupportForm;
    case 2:
      return SupportType::customMessage;
    default:
      return std::nullopt;
  }
}

constexpr std::int64_t rawValue(SupportType type) {
  return static_cast<std::int64_t>(type);
}

}  // namespace sharedutils
