#pragma once
// Helpers shared by the benchmarks.

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace bench {

// A fresh temporary directory, removed with everything in it.
class ScratchDir {
 public:
  explicit ScratchDir(const char* prefix = "bench") {
    std::string tmpl = std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX");
    if (::mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace bench
