#pragma once
// How many more values a subscriber is ready to receive. Arithmetic saturates: sums and products
// that would overflow become `unlimited`, differences never go below `none`, and `unlimited` on
// the left of any operation stays `unlimited`.

#include <compare>
#include <cstddef>
#include <optional>
#include <string>

namespace platform::reactive {

class Demand {
 public:
  constexpr Demand() = default;  // none

  static constexpr Demand none() { return Demand(); }
  static constexpr Demand unlimited() {
    Demand d;
    d.unlimited_ = true;
    return d;
  }
  static constexpr Demand max(std::size_t count) {
    Demand d;
    d.count_ = count;
    return d;
  }

  constexpr bool isUnlimited() const { return unlimited_; }
  constexpr bool isNone() const { return !unlimited_ && count_ == 0; }
  // The finite count, or nothing for `unlimited`.
  constexpr std::optional<std::size_t> maxCount() const {
    if (unlimited_) return std::nullopt;
    return count_;
  }

  Demand& operator+=(Demand other);
  Demand& operator-=(Demand other);
  Demand& operator+=(std::size_t n) { return *this += max(n); }
  Demand& operator-=(std::size_t n) { return *this -= max(n); }
  Demand& operator*=(std::size_t factor);

  friend Demand operator+(Demand a, Demand b) { return a += b; }
  friend Demand operator-(Demand a, Demand b) { return a -= b; }
  friend Demand operator+(Demand a, std::size_t n) { return a += n; }
  friend Demand operator-(Demand a, std::size_t n) { return a -= n; }
  friend Demand operator*(Demand a, std::size_t factor) { return a *= factor; }

  // `unlimited` compares greater than every finite demand and equal to itself.
  friend constexpr bool operator==(Demand a, Demand b) {
    return a.unlimited_ == b.unlimited_ && (a.unlimited_ || a.count_ == b.count_);
  }
  friend constexpr std::strong_ordering operator<=>(Demand a, Demand b) {
    if (a.unlimited_ || b.unlimited_) return a.unlimited_ <=> b.unlimited_;
    return a.count_ <=> b.count_;
  }
  friend constexpr bool operator==(Demand a, std::size_t n) { return a == max(n); }
  friend constexpr std::strong_ordering operator<=>(Demand a, std::size_t n) {
    return a <=> max(n);
  }

  // "unlimited", "none" or "max(n)".
  std::string description() const;

 private:
  bool unlimited_ = false;
  std::size_t count_ = 0;
};

}  // namespace platform::reactive
