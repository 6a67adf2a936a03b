#pragma once
// A fresh directory under the system's temporary directory, removed with everything in it when
// the object goes away. Tests keep every file they make in one, never in the host's own places.

#include <filesystem>
#include <string>
#include <string_view>

namespace testsupport {

class TemporaryDirectory {
 public:
  // `prefix` starts the directory's name, to tell the tests' leftovers apart after a crash.
  explicit TemporaryDirectory(const std::string& prefix = "coreservice-test");
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // A path inside the directory.
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace testsupport
