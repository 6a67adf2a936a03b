#pragma once
// The typed values a defaults domain stores: a small property-list model. Each stored object has
// one kind; reading it "as" a C++ type applies the conversions documented on Value::as.

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace platform::defaults {

using Data = std::vector<std::uint8_t>;
// An instant, kept to the nanosecond so that a stored date reads back equal to what was written.
using Date = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;
using StringMap = std::map<std::string, std::string>;
using DataList = std::vector<Data>;

// The stored kinds. The numbers are what the database keeps; never renumber them.
enum class Kind : std::uint8_t {
  Bool = 1,
  Int = 2,   // signed 64-bit
  UInt = 3,  // unsigned 64-bit
  Double = 4,
  String = 5,
  Date = 6,
  Data = 7,
  Map = 8,  // string -> string
  DataList = 9,
};

// The name the command-line tool and diagnostics use for a kind ("bool", "int", ...).
std::string_view kindName(Kind kind);
std::optional<Kind> kindFromName(std::string_view name);

class Value {
 public:
  using Storage = std::variant<bool, std::int64_t, std::uint64_t, double, std::string, Date, Data,
                               StringMap, DataList>;

  Value(bool v) : v_(v) {}  // NOLINT(google-explicit-constructor): values convert implicitly
  Value(std::int64_t v) : v_(v) {}
  Value(std::int32_t v) : v_(std::int64_t{v}) {}
  Value(std::uint64_t v) : v_(v) {}
  Value(std::uint32_t v) : v_(std::uint64_t{v}) {}
  Value(double v) : v_(v) {}
  Value(std::string v) : v_(std::move(v)) {}
  Value(std::string_view v) : v_(std::string(v)) {}
  Value(const char* v) : v_(std::string(v)) {}
  Value(Date v) : v_(v) {}
  Value(Data v) : v_(std::move(v)) {}
  Value(StringMap v) : v_(std::move(v)) {}
  Value(DataList v) : v_(std::move(v)) {}

  Kind kind() const { return static_cast<Kind>(v_.index() + 1); }
  const Storage& storage() const { return v_; }

  // Reads the value as `T`. Conversions:
  // - bool, the integer types and double are all numbers and convert into one another when the
  //   number is exactly representable in the target (a bool is 0 or 1; 2 does not read as a bool,
  //   3.5 does not read as an integer, -1 does not read as an unsigned integer, 300 does not read
  //   as a uint8). This mirrors how a stored number is bridged to a typed setting.
  // - string, date, data, map and list of data read only as themselves.
  // Anything else yields no value, and the caller falls back to its default.
  template <class T>
  std::optional<T> as() const;

  friend bool operator==(const Value&, const Value&) = default;

 private:
  Storage v_;
};

// One change of a key, with the stored objects before and after (absent when the key had or has
// no entry).
struct Change {
  std::string key;
  std::optional<Value> oldValue;
  std::optional<Value> newValue;
  std::int64_t sequence = 0;  // the change's position in the domain's history
};

// Encoding of the compound kinds for storage. decode* return nullopt on malformed bytes.
std::string encodeMap(const StringMap& map);
std::optional<StringMap> decodeMap(std::string_view bytes);
std::string encodeDataList(const DataList& list);
std::optional<DataList> decodeDataList(std::string_view bytes);

// Text forms used by the command-line tool: formatValue gives "<kind> <text>", parseValue reads
// the text of a given kind (bool: true/false/yes/no/1/0; date: seconds since 1970 or
// "YYYY-MM-DDTHH:MM:SS[.fff]Z"; data: hex; map: key=value pairs separated by commas, with "\,",
// "\=" and "\\" escapes; list of data: hex blobs separated by commas).
std::string formatValueText(const Value& value);
std::optional<Value> parseValueText(Kind kind, std::string_view text);
// Writes formatValueText(value), so that logs and test failures show "int 1", not bytes.
std::ostream& operator<<(std::ostream& os, const Value& value);

namespace detail {

// A number's exact value as one of three shapes, so the checks below are written once.
template <class T>
std::optional<T> fromInt(std::int64_t i) {
  if constexpr (std::is_same_v<T, bool>) {
    if (i == 0 || i == 1) return i == 1;
    return std::nullopt;
  } else if constexpr (std::is_integral_v<T>) {
    if (std::in_range<T>(i)) return static_cast<T>(i);
    return std::nullopt;
  } else {
    const double d = static_cast<double>(i);
    // 2^63 itself is not an int64, so compare before converting back.
    if (d >= 9223372036854775808.0 || static_cast<std::int64_t>(d) != i) return std::nullopt;
    return static_cast<T>(d);
  }
}

template <class T>
std::optional<T> fromUInt(std::uint64_t u) {
  if constexpr (std::is_same_v<T, bool>) {
    if (u <= 1) return u == 1;
    return std::nullopt;
  } else if constexpr (std::is_integral_v<T>) {
    if (std::in_range<T>(u)) return static_cast<T>(u);
    return std::nullopt;
  } else {
    const double d = static_cast<double>(u);
    if (d >= 18446744073709551616.0 || static_cast<std::uint64_t>(d) != u) return std::nullopt;
    return static_cast<T>(d);
  }
}

template <class T>
std::optional<T> fromDouble(double d) {
  if constexpr (std::is_floating_point_v<T>) {
    return static_cast<T>(d);
  } else {
    // Only integral values in range convert; NaN and infinities fail the range checks.
    if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
      const auto i = static_cast<std::int64_t>(d);
      if (static_cast<double>(i) != d) return std::nullopt;
      return fromInt<T>(i);
    }
    if (d >= 0 && d < 18446744073709551616.0) {
      const auto u = static_cast<std::uint64_t>(d);
      if (static_cast<double>(u) != d) return std::nullopt;
      return fromUInt<T>(u);
    }
    return std::nullopt;
  }
}

template <class T>
std::optional<T> numberAs(const Value::Storage& v) {
  switch (v.index()) {
    case 0:
      return fromInt<T>(std::get<0>(v) ? 1 : 0);
    case 1:
      return fromInt<T>(std::get<1>(v));
    case 2:
      return fromUInt<T>(std::get<2>(v));
    case 3:
      return fromDouble<T>(std::get<3>(v));
    default:
      return std::nullopt;
  }
}

}  // namespace detail

template <class T>
std::optional<T> Value::as() const {
  if constexpr (std::is_same_v<T, bool> || std::is_integral_v<T> || std::is_floating_point_v<T>) {
    return detail::numberAs<T>(v_);
  } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, Date> ||
                       std::is_same_v<T, Data> || std::is_same_v<T, StringMap> ||
                       std::is_same_v<T, DataList>) {
    if (const T* p = std::get_if<T>(&v_)) return *p;
    return std::nullopt;
  } else {
    static_assert(sizeof(T) == 0, "no stored kind reads as this type");
  }
}

}  // namespace platform::defaults
