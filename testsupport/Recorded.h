#pragma once
// Values that handlers, completions and callbacks hand over from other threads, kept in the order
// they came, for a test to wait on and read.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace testsupport {

template <class T>
class Recorded {
 public:
  void add(T value) {
    std::lock_guard lock(mutex_);
    values_.push_back(std::move(value));
    changed_.notify_all();
  }
  std::vector<T> all() const {
    std::lock_guard lock(mutex_);
    return values_;
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return values_.size();
  }
  // The values that came since the last take().
  std::vector<T> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(values_, {});
  }
  // True as soon as `done` holds for the values so far; false when `limit` passed first.
  bool waitUntil(const std::function<bool(const std::vector<T>&)>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(20)) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return done(values_); });
  }
  // True as soon as `n` values came; false after 20 s.
  bool waitFor(std::size_t n) const {
    return waitUntil([n](const std::vector<T>& values) { return values.size() >= n; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<T> values_;
};

}  // namespace testsupport
