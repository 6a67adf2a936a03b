#pragma once
// A set of record contexts that several threads may read and change; each operation holds the
// set's mutex for its whole run. The context filters are built on it.

#include <cstdint>
#include <mutex>
#include <unordered_set>
#include <vector>

class DDLoggingContextSet {
 public:
  void addToSet(std::int64_t context);
  void removeFromSet(std::int64_t context);
  // The contexts in the set, in no particular order.
  std::vector<std::int64_t> currentSet() const;
  bool isInSet(std::int64_t context) const;

 private:
  mutable std::mutex mutex_;
  std::unordered_set<std::int64_t> set_;
};
