#include "platform/reactive/Demand.h"

#include <limits>

namespace platform::reactive {

Demand& Demand::operator+=(Demand other) {
  if (unlimited_) return *this;
  if (other.unlimited_ || count_ > std::numeric_limits<std::size_t>::max() - other.count_) {
    *this = unlimited();
  } else {
    count_ += other.count_;
  }
  return *this;
}

Demand& Demand::operator-=(Demand other) {
  if (unlimited_) return *this;
  if (other.unlimited_ || other.count_ >= count_) {
    count_ = 0;
  } else {
    count_ -= other.count_;
  }
  return *this;
}

Demand& Demand::operator*=(std::size_t factor) {
  if (unlimited_) return *this;
  if (factor != 0 && count_ > std::numeric_limits<std::size_t>::max() / factor) {
    *this = unlimited();
  } else {
    count_ *= factor;
  }
  return *this;
}

std::string Demand::description() const {
  if (unlimited_) return "unlimited";
  if (count_ == 0) return "none";
  return "max(" + std::to_string(count_) + ")";
}

}  // namespace platform::reactive
