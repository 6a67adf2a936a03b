#pragma once
// Support for tests that sign and check files: copies of a system program to sign.

#include <filesystem>

#include "platform/codesign/tests/TestCertificates.h"

namespace codesign_test {

// A copy of `program` (a system executable) at `to`, executable.
inline std::filesystem::path copyProgram(const std::filesystem::path& program,
                                         const std::filesystem::path& to) {
  std::filesystem::copy_file(program, to, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::permissions(to, std::filesystem::perms::owner_all);
  return to;
}

}  // namespace codesign_test
