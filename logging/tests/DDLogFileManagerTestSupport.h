#pragma once
// Helpers shared by the log file tests: a temporary directory that cleans up after itself, small
// file utilities, and a file-system object whose operations can be made to fail on demand.

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logging/DDLogFileManagerFileSystem.h"

namespace logfiletest {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = std::filesystem::temp_directory_path() / "ddlogfile-XXXXXX";
    if (::mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    // A test may have made files read-only (the archived mark's fallback); root ignores that.
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

inline void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::vector<std::string> sortedNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    names.push_back(e.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Polls `done` until it holds or the (generous) deadline passes.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A real file system whose calls can be intercepted: each hook, when set, runs first and may
// answer instead of the real call (return true from the hook to say "handled").
class ScriptedFileSystem : public DDLogFileManagerFileSystem {
 public:
  std::function<bool(const std::string&, DDLogFileError*, bool&)> onCreateFile;
  std::function<bool(const std::string&, DDLogFileError*, bool&)> onRemoveItem;
  std::atomic<bool> refuseUserXattrs{false};
  std::atomic<int> listings{0};

  bool createFile(const std::string& path, std::string_view contents,
                  DDLogFileError* error) override {
    {
      std::lock_guard lock(mutex_);
      createAttempts.push_back(path);
    }
    bool result = false;
    if (onCreateFile && onCreateFile(path, error, result)) return result;
    return DDLogFileManagerFileSystem::createFile(path, contents, error);
  }
  bool removeItem(const std::string& path, DDLogFileError* error) override {
    bool result = false;
    if (onRemoveItem && onRemoveItem(path, error, result)) return result;
    return DDLogFileManagerFileSystem::removeItem(path, error);
  }
  std::optional<std::vector<DirectoryEntry>> contentsOfDirectory(const std::string& path,
                                                                 DDLogFileError* error) override {
    ++listings;
    return DDLogFileManagerFileSystem::contentsOfDirectory(path, error);
  }
  ssize_t getExtendedAttribute(const std::string& path, const std::string& name, void* buffer,
                               std::size_t size) override {
    if (refuseUserXattrs) return -ENOTSUP;
    return DDLogFileManagerFileSystem::getExtendedAttribute(path, name, buffer, size);
  }
  int setExtendedAttribute(const std::string& path, const std::string& name, const void* value,
                           std::size_t size) override {
    if (refuseUserXattrs) return -ENOTSUP;
    return DDLogFileManagerFileSystem::setExtendedAttribute(path, name, value, size);
  }
  int removeExtendedAttribute(const std::string& path, const std::string& name) override {
    if (refuseUserXattrs) return -ENOTSUP;
    return DDLogFileManagerFileSystem::removeExtendedAttribute(path, name);
  }

  std::vector<std::string> attempts() const {
    std::lock_guard lock(mutex_);
    return createAttempts;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> createAttempts;
};

inline bool failWith(DDLogFileError* error, int code, const std::string& path) {
  if (error) *error = DDLogFileError::fromErrno(code, "open", path);
  return false;
}

}  // namespace logfiletest
