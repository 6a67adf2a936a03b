#include "SharedUtils/DeviceType.h"

#include <string>

#include <nlohmann/json.hpp>

namespace sharedutils {

std::string_view rawValue(DeviceType type) {
  return type == DeviceType::mac ? "mac" : "ios";
}

std::optional<DeviceType> deviceTypeFromRawValue(std::string_view raw) {
  if (raw == "mac") return DeviceType::mac;
  if (raw == "ios") return DeviceType::ios;
  return std::nullopt;
}

void to_json(nlohmann::json& j, const DeviceType& type) {
  j = std::string(rawValue(type));
}

void from_json(const nlohmann::json& j, DeviceType& type) {
  const auto& raw = j.get_ref<const nlohmann::json::string_t&>();
  auto decoded = deviceTypeFromRawValue(raw);
  if (!decoded) {
    throw nlohmann::json::other_error::create(
        kDeviceTypeDataCorrupted, "Cannot initialize DeviceType from invalid String value " + raw,
        &j);
  }
  type = *decoded;
}

}  // namespace sharedutils
