#pragma once
// `AnyOptional`: what every optional type satisfies, so that generic code (the settings' write
// rule) can tell an absent optional from a present value without knowing the wrapped type.
#include <optional>
#include <type_traits>

namespace sharedutils {

namespace detail {
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
}  // namespace detail

template <class T>
concept AnyOptional = detail::IsOptional<std::remove_cvref_t<T>>::value;

// True when the optional holds no value.
template <AnyOptional T>
constexpr bool isNil(const T& value) {
  return !value.has_value();
}

// True for an optional collection that is absent or empty.
template <AnyOptional T>
requires requires(const T& v) {
  v->empty();
}
constexpr bool isNilOrEmpty(const T& value) {
  return !value.has_value() || value->empty();
}

}  // namespace sharedutils
