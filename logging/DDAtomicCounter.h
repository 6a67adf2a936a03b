#pragma once
// A counter that several threads may change at once. increment() and decrement() return the new
// value; they order nothing but the counter itself (relaxed), so it must not be used to publish
// other data.

#include <atomic>
#include <cstdint>

class DDAtomicCountable {
 public:
  virtual ~DDAtomicCountable() = default;
  virtual std::int32_t value() const = 0;
  virtual std::int32_t increment() = 0;
  virtual std::int32_t decrement() = 0;
};

class DDAtomicCounter final : public DDAtomicCountable {
 public:
  explicit DDAtomicCounter(std::int32_t defaultValue = 0) : value_(defaultValue) {}
  std::int32_t value() const override { return value_.load(std::memory_order_relaxed); }
  // Past the largest value the counter wraps around, as the atomic itself does.
  std::int32_t increment() override {
    return wrap(static_cast<std::uint32_t>(value_.fetch_add(1, std::memory_order_relaxed)) + 1u);
  }
  std::int32_t decrement() override {
    return wrap(static_cast<std::uint32_t>(value_.fetch_sub(1, std::memory_order_relaxed)) - 1u);
  }

 private:
  static std::int32_t wrap(std::uint32_t v) { return static_cast<std::int32_t>(v); }
  std::atomic<std::int32_t> value_;
};
