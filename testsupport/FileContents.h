#pragma once
// Whole-file reads and writes for tests that prepare inputs or inspect what the code wrote.

#include <filesystem>
#include <string>
#include <string_view>

namespace testsupport {

// The file's bytes; empty when it cannot be read (a test compares the contents anyway).
std::string readFile(const std::filesystem::path& path);

// Replaces the file's contents with `bytes`, creating it when missing.
void writeFile(const std::filesystem::path& path, std::string_view bytes);

}  // namespace testsupport
