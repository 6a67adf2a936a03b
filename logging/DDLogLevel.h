#pragma once
// Severity flags and level masks.
//
// A record carries exactly one flag; a level is a mask of flags and admits a record when
// level AND flag is not zero. Both are plain unsigned 64-bit values wrapped in distinct types so
// that a flag is never passed where a level is expected by accident; `rawValue` is the number.

#include <cstdint>

struct DDLogLevel;

struct DDLogFlag {
  std::uint64_t rawValue = 0;

  constexpr DDLogFlag() noexcept = default;
  constexpr explicit DDLogFlag(std::uint64_t value) noexcept : rawValue(value) {}
  // Level to flag: the numeric value is kept unchanged.
  constexpr explicit DDLogFlag(DDLogLevel level) noexcept;
  static constexpr DDLogFlag from(DDLogLevel level) noexcept;
  // Flag to level: the numeric value is kept unchanged.
  constexpr DDLogLevel toLogLevel() const noexcept;

  static const DDLogFlag error;
  static const DDLogFlag warning;
  static const DDLogFlag info;
  static const DDLogFlag debug;
  static const DDLogFlag verbose;

  friend constexpr bool operator==(DDLogFlag, DDLogFlag) = default;
  friend constexpr DDLogFlag operator|(DDLogFlag a, DDLogFlag b) noexcept {
    return DDLogFlag(a.rawValue | b.rawValue);
  }
};

struct DDLogLevel {
  std::uint64_t rawValue = 0;

  constexpr DDLogLevel() noexcept = default;
  constexpr explicit DDLogLevel(std::uint64_t value) noexcept : rawValue(value) {}

  // True when this level lets a record with `flag` through.
  constexpr bool admits(DDLogFlag flag) const noexcept { return (rawValue & flag.rawValue) != 0; }

  static const DDLogLevel off;      // 0: admits nothing
  static const DDLogLevel error;    // 1
  static const DDLogLevel warning;  // 3: error and warning
  static const DDLogLevel info;     // 7
  static const DDLogLevel debug;    // 15
  static const DDLogLevel verbose;  // 31: the five flags together
  static const DDLogLevel all;      // every bit set (minus one)

  friend constexpr bool operator==(DDLogLevel, DDLogLevel) = default;
  friend constexpr DDLogLevel operator|(DDLogLevel a, DDLogLevel b) noexcept {
    return DDLogLevel(a.rawValue | b.rawValue);
  }
  friend constexpr DDLogLevel operator|(DDLogLevel a, DDLogFlag b) noexcept {
    return DDLogLevel(a.rawValue | b.rawValue);
  }
};

inline constexpr DDLogFlag DDLogFlag::error{1};
inline constexpr DDLogFlag DDLogFlag::warning{2};
inline constexpr DDLogFlag DDLogFlag::info{4};
inline constexpr DDLogFlag DDLogFlag::debug{8};
inline constexpr DDLogFlag DDLogFlag::verbose{16};

inline constexpr DDLogLevel DDLogLevel::off{0};
inline constexpr DDLogLevel DDLogLevel::error{1};
inline constexpr DDLogLevel DDLogLevel::warning{3};
inline constexpr DDLogLevel DDLogLevel::info{7};
inline constexpr DDLogLevel DDLogLevel::debug{15};
inline constexpr DDLogLevel DDLogLevel::verbose{31};
inline constexpr DDLogLevel DDLogLevel::all{~std::uint64_t{0}};

constexpr DDLogFlag::DDLogFlag(DDLogLevel level) noexcept : rawValue(level.rawValue) {}
constexpr DDLogFlag DDLogFlag::from(DDLogLevel level) noexcept {
  return DDLogFlag(level);
}
constexpr DDLogLevel DDLogFlag::toLogLevel() const noexcept {
  return DDLogLevel(rawValue);
}
