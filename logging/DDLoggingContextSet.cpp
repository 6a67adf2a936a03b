#include "logging/DDLoggingContextSet.h"

void DDLoggingContextSet::addToSet(std::int64_t context) {
  std::lock_guard lock(mutex_);
  set_.insert(context);
}

void DDLoggingContextSet::removeFromSet(std::int64_t context) {
  std::lock_guard lock(mutex_);
  set_.erase(context);
}

std::vector<std::int64_t> DDLoggingContextSet::currentSet() const {
  std::lock_guard lock(mutex_);
  return std::vector<std::int64_t>(set_.begin(), set_.end());
}

bool DDLoggingContextSet::isInSet(std::int64_t context) const {
  std::lock_guard lock(mutex_);
  return set_.contains(context);
}
