#pragma once
// Test support of the settings-store tests: a recorder of changes and a summary of them.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/defaults/Domain.h"
#include "testsupport/Eventually.h"
#include "testsupport/TemporaryDirectory.h"

namespace platform::defaults::testing {

using namespace std::chrono_literals;

using testsupport::eventually;

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
