#pragma once
// The kind of device the client is built for. Coded as its raw value, a single string, in JSON.
// Only the JSON library's declarations are included here: code that codes a DeviceType includes
// <nlohmann/json.hpp> itself; code that only names one does not parse the whole library.
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace sharedutils {

enum class DeviceType { mac, ios };

std::string_view rawValue(DeviceType type);
// The case whose raw value is `raw`; no value for any other string.
std::optional<DeviceType> deviceTypeFromRawValue(std::string_view raw);

// JSON coding. Decoding anything but the string "mac" or "ios" fails: a value of another JSON
// type with nlohmann's own type error, an unknown string with a nlohmann::json::other_error
// whose id is kDeviceTypeDataCorrupted (this system's "data corrupted" code).
inline constexpr int kDeviceTypeDataCorrupted = 590;
void to_json(nlohmann::json& j, const DeviceType& type);
void from_json(const nlohmann::json& j, DeviceType& type);

}  // namespace sharedutils
