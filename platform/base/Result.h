#pragma once
// The outcome of an operation that makes something and whose caller acts on the reason it
// failed: the value, or the Error (or a smaller error value, such as a status code, where the
// caller only branches on it). Where the reason does not matter to the caller, plain
// std::optional or bool are enough (see the README's conventions).
//
//   Result<std::string> readName(const std::string& path);
//   if (auto name = readName(path)) use(name.value());
//   else report(name.error().description);
//   ...
//   return platform::base::Failure{posixError(errno, path)};

#include <utility>
#include <variant>

#include "platform/base/Error.h"

namespace platform::base {

template <class E>
struct Failure {
  E error;
};
template <class E>
Failure(E) -> Failure<E>;

template <class T, class E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  template <class F>
  Result(Failure<F> failure)  // NOLINT: implicit, from `return Failure{...}`
      : state_(std::in_place_index<1>, E(std::move(failure.error))) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // Only when ok().
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  // Only when !ok().
  const E& error() const { return std::get<1>(state_); }

  T valueOr(T fallback) const& { return ok() ? value() : std::move(fallback); }

 private:
  std::variant<T, E> state_;
};

}  // namespace platform::base
