#pragma once
// An executable's info dictionary: identifier, short version and build under the keys
// "CFBundleIdentifier", "CFBundleShortVersionString" and "CFBundleVersion". Each executable
// compiles its own in from CMake definitions.

#include <map>
#include <optional>
#include <string>
#include <string_view>

using InfoDictionary = std::map<std::string, std::string, std::less<>>;

// The value under `key`, or "N/A" when the dictionary or the key is missing.
std::string infoValueOrNA(const std::optional<InfoDictionary>& info, std::string_view key);
