#pragma once
// Questions about optional values.
//
// Ordering: an absent value sorts before every present one, and two present values compare as
// the values do. That is std::optional's own `<` and `>` (absent < absent is false, present <
// absent is false), so sorting a vector of optionals needs nothing more: [3, absent, 1] sorts
// to [absent, 1, 3].

#include <optional>

namespace sharedutils {

template <class T>
bool isNil(const std::optional<T>& value) {
  return !value.has_value();
}

// True when absent, or present and empty (a string, a vector, a map...).
template <class C>
requires requires(const C& c) {
  c.empty();
}
bool isNilOrEmpty(const std::optional<C>& value) {
  return !value.has_value() || value->empty();
}

}  // namespace sharedutils
