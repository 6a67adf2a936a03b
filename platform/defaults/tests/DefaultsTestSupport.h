#pragma once
// Test support shared by the settings-store tests here and in SharedUtils: a temporary
// directory, waiting for a condition with a generous deadline, and a recorder of changes.
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/defaults/Domain.h"
#include "platform/dispatch/tests/TestSupport.h"

namespace platform::defaults::testing {

using namespace std::chrono_literals;

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "defaults-test-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

using dispatch_test::eventually;

// Collects the changes delivered to an observer and lets the test wait for them.
class ChangeLog {
 public:
  Domain::Observer observer() {
    return [this](const Change& c) {
      std::lock_guard lock(mutex_);
      changes_.push_back(c);
      cv_.notify_all();
    };
  }
  bool waitFor(const std::function<bool(const std::vector<Change>&)>& done) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, 20s, [&] { return done(changes_); });
  }
  bool waitFor(std::size_t n) {
    return waitFor([n](const std::vector<Change>& c) { return c.size() >= n; });
  }
  std::vector<Change> changes() {
    std::lock_guard lock(mutex_);
    return changes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Change> changes_;
};

// "key: old -> new" for each change, in delivery order, so that a test compares whole histories.
inline std::vector<std::string> summary(const std::vector<Change>& changes) {
  const auto text = [](const std::optional<Value>& v) {
    return v ? formatValueText(*v) : std::string("(none)");
  };
  std::vector<std::string> out;
  for (const auto& c : changes)
    out.push_back(c.key + ": " + text(c.oldValue) + " -> " + text(c.newValue));
  return out;
}

}  // namespace platform::defaults::testing
